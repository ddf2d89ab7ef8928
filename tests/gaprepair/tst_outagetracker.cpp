#include "testenv.h"

#include "live/outagetracker.h"
#include "platform/installpaths.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>

namespace {

QDateTime g_now;
QDateTime fakeNow() { return g_now; }

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

} // namespace

class TstOutageTracker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_env.isValid()); }
    void init()
    {
        g_now = QDateTime(QDate(2026, 3, 2), QTime(10, 0), Qt::UTC);
        QFile::remove(InstallPaths::outageStateFile());
    }

    void stateOutlivesTheProcessAndStartsAnOutage();
    void writtenByTheTimerWithoutAClose();
    void nothingMissedGivesNoOutage();
    void causesOfAnOutage();
    void decodeRefusesDamage_data();
    void decodeRefusesDamage();
    void unusableFileIsRemoved();
    void stateFileInTheWayIsReplacedNeverFollowed_data();
    void stateFileInTheWayIsReplacedNeverFollowed();

private:
    TestEnv m_env;
};

void TstOutageTracker::stateOutlivesTheProcessAndStartsAnOutage()
{
    const QString path = InstallPaths::outageStateFile();
    QVERIFY(path.startsWith(m_env.root()));
    {
        OutageTracker first(path);
        first.setClockForTests(&fakeNow);
        first.load();
        first.noteTicksImported();
        g_now = g_now.addSecs(5);
        first.noteTicksImported();
        QCOMPARE(first.stateWrites(), 0); // not on the live path
        // the close
    }
    QCOMPARE(readAll(path), QByteArray("lastImport=2026-03-02T10:00:05.000Z\n"));

    g_now = g_now.addDays(1);
    OutageTracker second(path);
    second.setClockForTests(&fakeNow);
    QSignalSpy spy(&second, &OutageTracker::outageBegan);
    second.load();
    QCOMPARE(second.lastImport(), QDateTime(QDate(2026, 3, 2), QTime(10, 0, 5), Qt::UTC));
    QCOMPARE(spy.count(), 0); // queued: receivers wired after load() still see it
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(0).value<OutageTracker::Cause>(), OutageTracker::Cause::EarlierRun);
    QCOMPARE(spy.first().at(1).toDateTime(), second.lastImport());
    QCOMPARE(second.unrepairedSince(), second.lastImport());

    // Repaired, then closed: the next start still knows the last import but nothing older.
    second.noteRepairStarted();
    second.noteRepairEnded(QDateTime());
    second.flush();
    QCOMPARE(readAll(path), QByteArray("lastImport=2026-03-02T10:00:05.000Z\n"));
}

void TstOutageTracker::writtenByTheTimerWithoutAClose()
{
    const QString path = InstallPaths::outageStateFile();
    auto *running = new OutageTracker(path); // never closed: stands for a killed process
    running->setClockForTests(&fakeNow);
    running->setWriteIntervalMs(50);
    running->noteTicksImported();
    QTRY_COMPARE(running->stateWrites(), 1);
    // Nothing new: no more writes.
    QTest::qWait(300);
    QCOMPARE(running->stateWrites(), 1);

    OutageTracker next(path);
    next.setClockForTests(&fakeNow);
    QSignalSpy spy(&next, &OutageTracker::outageBegan);
    next.load();
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(1).toDateTime(), g_now);
    // Leaked on purpose until here, as a killed process would leave it.
    running->setWriteIntervalMs(OutageTracker::kWriteIntervalMs);
    QCOMPARE(running->writeIntervalMs(), OutageTracker::kWriteIntervalMs);
    delete running;
}

void TstOutageTracker::nothingMissedGivesNoOutage()
{
    OutageTracker tracker(InstallPaths::outageStateFile());
    tracker.setClockForTests(&fakeNow);
    QSignalSpy spy(&tracker, &OutageTracker::outageBegan);
    tracker.load(); // no earlier run
    tracker.noteLinkLost(); // nothing fed yet
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 0);

    tracker.noteTicksImported();
    g_now = g_now.addSecs(60);
    tracker.noteRepairStarted();
    tracker.noteRepairEnded(QDateTime());
    g_now = g_now.addSecs(60);
    tracker.noteLinkLost(); // the repair fetched everything up to its start
    QCOMPARE(spy.count(), 0);

    g_now = g_now.addSecs(1);
    tracker.noteTicksImported();
    tracker.noteLinkLost();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(1).toDateTime(), g_now);
}

void TstOutageTracker::causesOfAnOutage()
{
    OutageTracker tracker(InstallPaths::outageStateFile());
    tracker.setClockForTests(&fakeNow);
    QSignalSpy spy(&tracker, &OutageTracker::outageBegan);
    const QDateTime first = g_now;
    tracker.noteTicksImported();
    g_now = g_now.addSecs(30);
    tracker.noteDroppedBatches(7);
    tracker.noteLinkLost();
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).value<OutageTracker::Cause>(), OutageTracker::Cause::DroppedBatches);
    QCOMPARE(spy.at(1).at(0).value<OutageTracker::Cause>(), OutageTracker::Cause::LinkLost);
    QCOMPARE(tracker.unrepairedSince(), first);

    // A repair that left a gap keeps it for the next start.
    tracker.noteRepairEnded(first.addSecs(-3600));
    tracker.flush();
    QCOMPARE(readAll(tracker.stateFile()),
             QByteArray("lastImport=2026-03-02T10:00:00.000Z\nunrepairedSince=2026-03-02T09:00:00.000Z\n"));
}

void TstOutageTracker::decodeRefusesDamage_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("lastImport");
    QTest::addColumn<QString>("unrepaired");
    QTest::newRow("both") << QByteArray("lastImport=2026-03-01T09:15:00.000Z\nunrepairedSince=2026-02-28T15:00:00Z\n")
                          << true << "2026-03-01T09:15:00.000Z" << "2026-02-28T15:00:00.000Z";
    QTest::newRow("CRLF and blanks") << QByteArray("  lastImport=2026-03-01T09:15:00.000Z \r\n")
                                     << true << "2026-03-01T09:15:00.000Z" << "";
    QTest::newRow("future is now") << QByteArray("lastImport=2099-01-01T00:00:00Z\n")
                                   << true << "2026-03-02T10:00:00.000Z" << "";
    QTest::newRow("before 2000") << QByteArray("lastImport=1970-01-01T00:00:00Z\n") << false << "" << "";
    QTest::newRow("not a date") << QByteArray("lastImport=yesterday\n") << false << "" << "";
    QTest::newRow("unknown keys only") << QByteArray("evil=2026-03-01T09:15:00Z\n") << false << "" << "";
    QTest::newRow("binary") << QByteArray("\x00\xff\x01=\x02", 5) << false << "" << "";
    QTest::newRow("too long") << QByteArray(5000, 'x') << false << "" << "";
    QTest::newRow("long value")
        << QByteArray("lastImport=2026-03-01T09:15:00.000Z") + QByteArray(40, '0') << false << "" << "";
}

void TstOutageTracker::decodeRefusesDamage()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, usable);
    QFETCH(QString, lastImport);
    QFETCH(QString, unrepaired);
    QDateTime last;
    QDateTime since;
    QCOMPARE(OutageTracker::decode(text, g_now, &last, &since), usable);
    QCOMPARE(last.toString(Qt::ISODateWithMs), lastImport);
    QCOMPARE(since.toString(Qt::ISODateWithMs), unrepaired);
    if (usable)
        QCOMPARE(OutageTracker::encode(last, since).isEmpty(), false);
}

void TstOutageTracker::unusableFileIsRemoved()
{
    const QString path = InstallPaths::outageStateFile();
    writeFile(path, QByteArray(OutageTracker::kMaxStateBytes + 1, '\n'));
    OutageTracker tracker(path);
    QSignalSpy spy(&tracker, &OutageTracker::outageBegan);
    tracker.load();
    QVERIFY(!QFile::exists(path));
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 0);
    QVERIFY(!tracker.lastImport().isValid());
}

void TstOutageTracker::stateFileInTheWayIsReplacedNeverFollowed_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<bool>("beforeLoad");
    QTest::newRow("a FIFO at the start") << "fifo" << true;
    QTest::newRow("a link to a user's file at the start") << "link" << true;
    QTest::newRow("a link to a user's file made while running") << "link" << false;
}

void TstOutageTracker::stateFileInTheWayIsReplacedNeverFollowed()
{
    QFETCH(QString, what);
    QFETCH(bool, beforeLoad);
    const QString path = InstallPaths::outageStateFile();
    const QString users = m_env.root() + QStringLiteral("/users-notes.txt");
    const QByteArray usersText = OutageTracker::encode(g_now.addSecs(-60), QDateTime());
    writeFile(users, usersText);
    auto plant = [&] {
        if (what == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        else
            QVERIFY(QFile::link(users, path));
    };
    OutageTracker tracker(path);
    tracker.setClockForTests(&fakeNow);
    QSignalSpy spy(&tracker, &OutageTracker::outageBegan);
    if (beforeLoad)
        plant();
    tracker.load(); // neither waits for a writer nor reads through the link
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 0);
    if (!beforeLoad)
        plant();
    tracker.noteTicksImported();
    tracker.flush();
    QVERIFY(!QFileInfo(path).isSymLink());
    QVERIFY(QFileInfo(path).isFile());
    QCOMPARE(readAll(users), usersText);
    QDateTime last, since;
    QVERIFY(OutageTracker::decode(readAll(path), g_now, &last, &since));
    QCOMPARE(last, g_now);
}

QTEST_GUILESS_MAIN(TstOutageTracker)
#include "tst_outagetracker.moc"
