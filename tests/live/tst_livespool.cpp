// The spool of kept live batches against real files: what an earlier (crashed, killed or
// tampered-with) run leaves in its folder, the write-ahead of the kept batches, and an
// unusable folder.
#include "live/crc32.h"
#include "live/livespool.h"
#include "live/pendingbatches.h"
#include "platform/installpaths.h"
#include "testenv.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtEndian>
#include <QtTest>

#include <sys/stat.h>

namespace {

QByteArray batch(int n) { return QByteArray("T,SYM,20261208,10:00:0") + QByteArray::number(n) + ",1" + QByteArray::number(n) + ",1,0,1\n"; }

QList<QByteArray> batches(std::initializer_list<int> ns)
{
    QList<QByteArray> out;
    for (int n : ns)
        out << batch(n);
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile f(path);
    return f.open(mode) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

QList<QByteArray> readBack(LiveSpool *spool)
{
    QList<QByteArray> out;
    for (LiveSpool::Read r = spool->peek(1 << 20); !r.batches.isEmpty(); r = spool->peek(1 << 20)) {
        out += r.batches;
        spool->acknowledge(r);
    }
    return out;
}

// What a kill would leave: the folder as it is at this moment, in another place.
bool copyFolder(const QString &from, const QString &to)
{
    QDir(to).removeRecursively();
    if (!QDir().mkpath(to))
        return false;
    for (const QString &name : QDir(from).entryList(QDir::Files))
        if (!QFile::copy(from + "/" + name, to + "/" + name))
            return false;
    return true;
}

enum class Damage {
    FlippedByte,
    FlippedLength,
    CutShort,
    PositionPastTheSegments,
    PositionAtThirdBatch,
    PositionInsideARecord,
    PositionIsAFifo,
    SegmentIsALinkToAUsersFile,
    SegmentIsAFifo,
    EarlierFormat,
};

} // namespace

Q_DECLARE_METATYPE(Damage)

class TstLiveSpool : public QObject
{
    Q_OBJECT
    TestEnv m_env;

    QString folder() const { return m_env.root() + "/spoolcase"; }
    QString segment() const { return folder() + "/batches-0001000000.spool"; }
    QString userFile() const { return m_env.root() + "/users-own.txt"; }

    // Four batches written by the spool itself, the folder closed again.
    void writeFourBatches()
    {
        QDir(folder()).removeRecursively();
        LiveSpool spool;
        QVERIFY(spool.open(folder()));
        QVector<LiveSpool::Placed> placed;
        LiveSpool::Dropped dropped;
        QVERIFY(spool.append(batches({0, 1, 2, 3}), &placed, &dropped));
        QCOMPARE(placed.size(), 4);
        QCOMPARE(placed.first().start, (LiveSpool::Position{LiveSpool::kFirstSegment, LiveSpool::kSegmentHeaderBytes}));
        QCOMPARE(placed.at(1).start, placed.at(0).end);
    }

    // Offset of batch n's record in the segment of writeFourBatches().
    static qint64 recordOffset(int n)
    {
        return LiveSpool::kSegmentHeaderBytes + n * (LiveSpool::kRecordHeaderBytes + batch(0).size());
    }

    void patch(qint64 offset, const QByteArray &bytes)
    {
        QFile f(segment());
        QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(offset) && f.write(bytes) == bytes.size());
    }

private slots:
    void initTestCase() { QVERIFY(m_env.isValid()); }

    void leftoversOfAnEarlierRunAreCheckedBeforeUse_data()
    {
        QTest::addColumn<Damage>("damage");
        QTest::addColumn<QList<int>>("expected");
        QTest::addColumn<QString>("logged");
        QTest::newRow("a flipped byte in a batch") << Damage::FlippedByte << QList<int>{0, 2, 3} << "checksum that does not match";
        QTest::newRow("a flipped length") << Damage::FlippedLength << QList<int>{0, 2, 3} << "does not fit";
        QTest::newRow("a write cut short") << Damage::CutShort << QList<int>{0, 1, 2, 3} << "interrupted write";
        QTest::newRow("a position past the segments") << Damage::PositionPastTheSegments << QList<int>{0, 1, 2, 3}
                                                      << "not a record boundary.*nothing removed";
        QTest::newRow("a position at the third batch") << Damage::PositionAtThirdBatch << QList<int>{2, 3} << "";
        QTest::newRow("a position inside a batch") << Damage::PositionInsideARecord << QList<int>{0, 1, 2, 3}
                                                   << "not a record boundary";
        QTest::newRow("spool.pos is a FIFO") << Damage::PositionIsAFifo << QList<int>{0, 1, 2, 3} << "a FIFO; not used";
        QTest::newRow("a segment is a link to a user's file") << Damage::SegmentIsALinkToAUsersFile
                                                              << QList<int>{0, 1, 2, 3} << "symbolic link.*removed";
        QTest::newRow("a segment is a FIFO") << Damage::SegmentIsAFifo << QList<int>{0, 1, 2, 3} << "FIFO.*removed";
        QTest::newRow("a segment of the earlier format") << Damage::EarlierFormat << QList<int>{0, 1, 2, 3}
                                                         << "earlier format.*2 batch\\(es\\), 3 tick";
    }

    void leftoversOfAnEarlierRunAreCheckedBeforeUse()
    {
        QFETCH(Damage, damage);
        QFETCH(QList<int>, expected);
        QFETCH(QString, logged);
        writeFourBatches();
        const QString pos = folder() + "/spool.pos";
        const QString planted = folder() + "/batches-0000999999.spool";
        // Starting like a segment: followed, it would be cut to its first whole record.
        const QByteArray users = QByteArray("VTSPOOL\x02", 8) + "the user's own text\n";
        QVERIFY(writeFile(userFile(), users));
        switch (damage) {
        case Damage::FlippedByte:
            patch(recordOffset(1) + LiveSpool::kRecordHeaderBytes + 17, "9");
            break;
        case Damage::FlippedLength:
            patch(recordOffset(1) + 6, QByteArray(1, '\x7f'));
            break;
        case Damage::CutShort:
            QVERIFY(writeFile(segment(), QByteArray("VR\0\2\x40\0\0\0\0\0\0\0T,PARTIAL", 21), QIODevice::Append));
            break;
        case Damage::PositionPastTheSegments:
            QVERIFY(writeFile(pos, "999999999999 0\n"));
            break;
        case Damage::PositionAtThirdBatch:
            QVERIFY(writeFile(pos, QByteArray::number(LiveSpool::kFirstSegment) + ' ' + QByteArray::number(recordOffset(2))));
            break;
        case Damage::PositionInsideARecord:
            QVERIFY(writeFile(pos, QByteArray::number(LiveSpool::kFirstSegment) + ' ' + QByteArray::number(recordOffset(2) + 5)));
            break;
        case Damage::PositionIsAFifo:
            QFile::remove(pos);
            QCOMPARE(::mkfifo(QFile::encodeName(pos).constData(), 0644), 0);
            break;
        case Damage::SegmentIsALinkToAUsersFile:
            QVERIFY(QFile::link(userFile(), planted));
            break;
        case Damage::SegmentIsAFifo:
            QCOMPARE(::mkfifo(QFile::encodeName(planted).constData(), 0644), 0);
            break;
        case Damage::EarlierFormat: {
            QByteArray old;
            for (const QByteArray &b : {QByteArray("T,OLD,d,t,1,1,0,1\n"), QByteArray("T,OLD,d,t,2,1,0,1\nT,OLD,d,t,3,1,0,1\n")}) {
                char len[4];
                qToLittleEndian<quint32>(quint32(b.size()), len);
                old += QByteArray("VB\0\0", 4) + QByteArray(len, 4) + b;
            }
            QVERIFY(writeFile(planted, old));
            break;
        }
        }
        if (!logged.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(logged));

        LiveSpool spool;
        LiveSpool::Dropped droppedAtOpen;
        QVERIFY(spool.open(folder(), &droppedAtOpen));
        // Whatever the position says, no segment went before it was read.
        QVERIFY(QFile::exists(segment()));
        QList<QByteArray> want;
        for (int n : expected)
            want << batch(n);
        QCOMPARE(readBack(&spool), want);
        QCOMPARE(droppedAtOpen.batches, damage == Damage::EarlierFormat ? 2 : 0);
        QCOMPARE(readFile(userFile()), users);
        QVERIFY(!QFileInfo(planted).isSymLink() && !QFileInfo::exists(planted));
        spool.close();

        // Read to its end, the next start finds nothing to import again.
        LiveSpool again;
        QVERIFY(again.open(folder()));
        QVERIFY(again.isEmpty());
        QCOMPARE(readBack(&again), QList<QByteArray>());
    }

    void keptBatchesAreOnDiskSoonAfterTheyCome()
    {
        PendingBatches::clear();
        PendingBatches::setFlushDelayMs(600000);
        const qint64 writtenBefore = PendingBatches::spoolBytesWritten();

        // Taken by the charting program at once: never written.
        PendingBatches::append(batch(7));
        PendingBatches::acknowledge(PendingBatches::peek());
        PendingBatches::persist();
        QCOMPARE(PendingBatches::spoolBytesWritten(), writtenBefore);

        // Kept: on the disk in order shortly after, as a kill would find them.
        PendingBatches::setFlushDelayMs(20);
        for (int n = 0; n < 3; ++n)
            PendingBatches::append(batch(n));
        QTRY_COMPARE(PendingBatches::unwrittenBytes(), qint64(0));
        QVERIFY(copyFolder(InstallPaths::liveSpoolDir(), folder()));
        LiveSpool left;
        QVERIFY(left.open(folder()));
        QCOMPARE(readBack(&left), batches({0, 1, 2}));

        // Memory holds copies of only the newest few MB; the rest is read back from the disk.
        QByteArray big(1024 * 1024 - 1, 'x');
        big += '\n';
        for (int n = 0; n < 12; ++n)
            PendingBatches::append(QByteArray::number(n) + big);
        QTRY_COMPARE(PendingBatches::unwrittenBytes(), qint64(0));
        QVERIFY(PendingBatches::memoryBytes() <= PendingBatches::kWindowBytes);
        const QList<QByteArray> all = PendingBatches::takeAll();
        QCOMPARE(all.size(), 15);
        QCOMPARE(all.mid(0, 3), batches({0, 1, 2}));
        for (int n = 0; n < 12; ++n)
            QCOMPARE(all.at(3 + n), QByteArray::number(n) + big);
        QVERIFY(PendingBatches::isEmpty());
        PendingBatches::setFlushDelayMs(0);
    }

    void anUnusableSpoolFolderIsToldAndMemoryIsBounded()
    {
        PendingBatches::clear();
        QDir(InstallPaths::liveSpoolDir()).removeRecursively();
        QVERIFY(writeFile(InstallPaths::liveSpoolDir(), "a plain file"));
        QSignalSpy status(PendingBatches::notifier(), &PendingBatches::Notifier::statusText);
        QSignalSpy dropped(PendingBatches::notifier(), &PendingBatches::Notifier::batchesDropped);
        PendingBatches::setMemoryLimitBytes(3 * batch(0).size());
        PendingBatches::recover();
        QCOMPARE(status.count(), 1);
        QVERIFY2(status.first().first().toString().contains(QRegularExpression("cannot be kept on disk .*is not a folder")),
                 qPrintable(status.first().first().toString()));

        // Nothing can be written; past the bound the oldest go, counted and told.
        for (int n = 0; n < 5; ++n)
            PendingBatches::append(batch(n));
        QCOMPARE(dropped.count(), 2);
        QCOMPARE(dropped.first().first().toInt(), 1);
        QVERIFY2(status.last().first().toString().startsWith("Live: 1 tick(s) dropped: more than"),
                 qPrintable(status.last().first().toString()));
        PendingBatches::persist();
        QCOMPARE(PendingBatches::takeAll(), batches({2, 3, 4}));
        QCOMPARE(readFile(InstallPaths::liveSpoolDir()), QByteArray("a plain file"));
        PendingBatches::setMemoryLimitBytes(0);
        QVERIFY(QFile::remove(InstallPaths::liveSpoolDir()));
        PendingBatches::clear();
    }

    void recordsCarryTheirChecksum()
    {
        QCOMPARE(Crc32::of("123456789", 9), 0xCBF43926u);
        writeFourBatches();
        const QByteArray seg = readFile(segment());
        QCOMPARE(seg.left(8), QByteArray("VTSPOOL\x02"));
        const QByteArray payload = seg.mid(int(recordOffset(0) + LiveSpool::kRecordHeaderBytes), batch(0).size());
        QCOMPARE(payload, batch(0));
        QCOMPARE(qFromLittleEndian<quint32>(seg.constData() + recordOffset(0) + 8),
                 Crc32::of(payload.constData(), std::size_t(payload.size())));
    }
};

QTEST_GUILESS_MAIN(TstLiveSpool)
#include "tst_livespool.moc"
