// Archive extraction with the real 7za and unzip, into real folders.

#include "app/diskbudget.h"
#include "archive/extraction.h"
#include "platform/archiver.h"
#include "platform/childprocess.h"
#include "testenv.h"
#include "zipwriter.h"

#include <cstdio>
#include <cstdlib>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

using Entries = QList<QPair<QByteArray, QByteArray>>;
Q_DECLARE_METATYPE(Entries)

namespace {

bool processAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // A zombie has ended; only its parent has not collected it yet.
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) != "Z";
}

qint64 readPid(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLongLong() : 0;
}

} // namespace

class TestExtraction : public QObject
{
    Q_OBJECT

private:
    QString m_path;
    QTemporaryDir m_tmp;

    // An entry whose data starts with "->" is a symbolic link to the rest.
    QString writeZip(const QString &name, const QList<QPair<QByteArray, QByteArray>> &entries)
    {
        ZipWriter zip;
        for (const auto &e : entries) {
            if (e.second.startsWith("->"))
                zip.addFile(e.first, e.second.mid(2), 0120777);
            else
                zip.addFile(e.first, e.second);
        }
        const QString path = m_tmp.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(zip.finish()) < 0)
            return QString();
        return path;
    }

    // PATH holding only the named tools, so the others are "missing".
    void limitPath(const QStringList &tools)
    {
        const QString bin = m_tmp.filePath(QStringLiteral("bin-") + tools.join(QLatin1Char('-')));
        QDir().mkpath(bin);
        for (const QString &t : tools)
            QFile::link(QStandardPaths::findExecutable(t, {QStringLiteral("/usr/bin"), QStringLiteral("/bin")}),
                        bin + QLatin1Char('/') + t);
        qputenv("PATH", bin.toLocal8Bit());
    }

    // A folder on PATH whose "7za" hangs (writing its PID to pidFile) and whose other
    // tools are the real ones.
    void hangingArchiverPath(const QString &pidFile, bool unzipHangsToo)
    {
        const QString bin = m_tmp.filePath(QStringLiteral("bin-hang-%1").arg(unzipHangsToo));
        QDir().mkpath(bin);
        const QByteArray script = "#!/bin/sh\necho $$ > '" + pidFile.toUtf8() + "'\nexec sleep 600\n";
        QStringList hanging{QStringLiteral("7za")};
        if (unzipHangsToo)
            hanging << QStringLiteral("unzip");
        else
            QFile::link(QStandardPaths::findExecutable(QStringLiteral("unzip")), bin + QStringLiteral("/unzip"));
        for (const QString &t : hanging) {
            QFile f(bin + QLatin1Char('/') + t);
            f.open(QIODevice::WriteOnly);
            f.write(script);
            f.close();
            f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
        qputenv("PATH", (bin + QStringLiteral(":/usr/bin:/bin")).toLocal8Bit());
    }

    static QStringList listing(const QString &dir)
    {
        return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

    // Runs one extraction to its end; returns the finished() arguments.
    QList<QVariant> extract(ArchiveExtractor &x, const QString &archive, const QString &dest)
    {
        QSignalSpy done(&x, &ArchiveExtractor::finished);
        if (!x.start(archive, dest))
            return {};
        if (!done.wait(20000))
            return {};
        // A late second report would show up here.
        QTest::qWait(200);
        return done.size() == 1 ? done.first() : QList<QVariant>{QStringLiteral("count %1").arg(done.size())};
    }

private slots:
    void initTestCase()
    {
        m_path = qEnvironmentVariable("PATH");
        QVERIFY(m_tmp.isValid());
    }
    void cleanup() { qputenv("PATH", m_path.toLocal8Bit()); }

    void powerShellCommandDoublesQuotes()
    {
        QCOMPARE(Archiver::expandArchiveCommand(QStringLiteral("C:/K/it's%2.zip"), QStringLiteral("C:/K/Back'fill/")),
                 QStringLiteral("try { Expand-Archive -Force -LiteralPath 'C:/K/it''s%2.zip' -DestinationPath "
                                "'C:/K/Back''fill/' -ErrorAction Stop } catch { exit 1 }"));
        const Archiver::Invocation a = Archiver::archiverCall(QStringLiteral("/r/a.zip"), QStringLiteral("/r/B/"));
        QCOMPARE(a.arguments, (QStringList{QStringLiteral("x"), QStringLiteral("/r/a.zip"), QStringLiteral("-o/r/B/"), QStringLiteral("-y"), QStringLiteral("-p-")}));
    }

    void entryNames()
    {
        const QString zip = writeZip(QStringLiteral("names.zip"), {{"a/b.txt", "x"}, {"../up.txt", "y"}});
        bool readable = false;
        QCOMPARE(ArchiveExtractor::zipEntryNames(zip, &readable), (QStringList{QStringLiteral("a/b.txt"), QStringLiteral("../up.txt")}));
        QVERIFY(readable);
        for (const char *bad : {"../x", "a/../../x", "/etc/x", "C:/x", "c:x", "..\\x"})
            QVERIFY2(ArchiveExtractor::isEscapingEntryName(QString::fromLatin1(bad)), bad);
        for (const char *good : {"x.txt", "a/b/x", "..x", "a..b/c"})
            QVERIFY2(!ArchiveExtractor::isEscapingEntryName(QString::fromLatin1(good)), good);
        QCOMPARE(ArchiveExtractor::keptInsideForms(QStringLiteral("a/../../b.txt")),
                 (QStringList{QStringLiteral("a/b.txt"), QStringLiteral("b.txt")}));
    }

    void goodArchive_data()
    {
        QTest::addColumn<QStringList>("tools");
        QTest::newRow("7za") << QStringList{QStringLiteral("7za"), QStringLiteral("unzip")};
        QTest::newRow("7za missing, unzip") << QStringList{QStringLiteral("unzip")};
    }
    void goodArchive()
    {
        QFETCH(QStringList, tools);
        const QString dest = m_tmp.filePath(QStringLiteral("good-%1/Backfill/").arg(tools.size()));
        QDir().mkpath(dest);
        QFile old(dest + QStringLiteral("A.txt"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old\n") == 4);
        old.close();
        const QString zip = writeZip(QStringLiteral("good.zip"), {{"A.txt", "new\n"}, {"sub/B.txt", "b\n"}});
        limitPath(tools);
        ArchiveExtractor x;
        const QList<QVariant> r = extract(x, zip, dest);
        QCOMPARE(r.value(0).toBool(), true);
        QVERIFY(!QFile::exists(zip));
        QFile a(dest + QStringLiteral("A.txt"));
        QVERIFY(a.open(QIODevice::ReadOnly));
        QCOMPARE(a.readAll(), QByteArray("new\n"));
        QVERIFY(QFile::exists(dest + QStringLiteral("sub/B.txt")));
        // No staging folder is left beside the destination.
        const QStringList beside = QDir(dest + QStringLiteral("..")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        QCOMPARE(beside, QStringList{QStringLiteral("Backfill")});
    }

    void corruptArchiveLeavesDestination()
    {
        const QString dest = m_tmp.filePath(QStringLiteral("corrupt/Backfill"));
        QDir().mkpath(dest);
        QFile keep(dest + QStringLiteral("/KEEP.txt"));
        QVERIFY(keep.open(QIODevice::WriteOnly) && keep.write("keep\n") == 5);
        keep.close();
        QByteArray bytes;
        {
            ZipWriter zip;
            zip.addFile("TCS.txt", QByteArray(20000, 'x'));
            bytes = zip.finish();
        }
        bytes.truncate(bytes.size() * 3 / 5);
        const QString path = m_tmp.filePath(QStringLiteral("corrupt.zip"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        f.close();
        ArchiveExtractor x;
        const QList<QVariant> r = extract(x, path, dest);
        QCOMPARE(r.size(), 2);
        QCOMPARE(r.value(0).toBool(), false);
        QVERIFY(!x.fallbackCouldNotRun());
        QVERIFY(QFile::exists(path));
        QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{QStringLiteral("KEEP.txt")});
        QCOMPARE(QDir(m_tmp.filePath(QStringLiteral("corrupt"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("Backfill")});
    }

    void noExtractorAtAll()
    {
        const QString zip = writeZip(QStringLiteral("none.zip"), {{"A.txt", "a\n"}});
        limitPath({});
        ArchiveExtractor x;
        const QList<QVariant> r = extract(x, zip, m_tmp.filePath(QStringLiteral("none/Backfill")));
        QCOMPARE(r.value(0).toBool(), false);
        QVERIFY(x.fallbackCouldNotRun());
        QVERIFY(QFile::exists(zip));
    }

    void escapingEntriesStayInside_data()
    {
        QTest::addColumn<QStringList>("tools");
        QTest::newRow("7za") << QStringList{QStringLiteral("7za"), QStringLiteral("unzip")};
        QTest::newRow("unzip") << QStringList{QStringLiteral("unzip")};
    }
    void escapingEntriesStayInside()
    {
        QFETCH(QStringList, tools);
        const QString top = m_tmp.filePath(QStringLiteral("escape-%1").arg(tools.size()));
        const QString dest = top + QStringLiteral("/root/Backfill");
        const QString absolute = top + QStringLiteral("/abs/escaped.txt");
        QDir().mkpath(dest);
        const QString zip = writeZip(QStringLiteral("evil.zip"),
                                     {{"GOOD.txt", "good\n"}, {"../evil.txt", "e\n"}, {"../../evil2.txt", "e\n"},
                                      {absolute.toUtf8(), "abs\n"}});
        limitPath(tools);
        ArchiveExtractor x;
        const QList<QVariant> r = extract(x, zip, dest);
        QCOMPARE(r.value(0).toBool(), true);
        QVERIFY(QFile::exists(dest + QStringLiteral("/GOOD.txt")));
        QVERIFY(!QFile::exists(absolute));
        QVERIFY(!QFile::exists(top + QStringLiteral("/root/evil.txt")));
        QVERIFY(!QFile::exists(top + QStringLiteral("/evil2.txt")));
        // The hostile entries are not delivered under another name either.
        QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{QStringLiteral("GOOD.txt")});
    }

    void linksInTheArchiveAreRefused()
    {
        // 7za restores symbolic links stored in a ZIP made by zip --symlinks.
        const QString work = m_tmp.filePath(QStringLiteral("links"));
        QDir().mkpath(work + QStringLiteral("/src"));
        QFile plain(work + QStringLiteral("/src/PLAIN.txt"));
        QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write("p\n") == 2);
        plain.close();
        QVERIFY(QFile::link(QStringLiteral("/etc/hostname"), work + QStringLiteral("/src/LINK.txt")));
        QProcess zip;
        zip.setWorkingDirectory(work + QStringLiteral("/src"));
        zip.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("--symlinks"), QStringLiteral("../links.zip"),
                                          QStringLiteral("PLAIN.txt"), QStringLiteral("LINK.txt")});
        QVERIFY(zip.waitForFinished(10000) && zip.exitCode() == 0);
        ArchiveExtractor x;
        const QString dest = work + QStringLiteral("/Backfill");
        QCOMPARE(extract(x, work + QStringLiteral("/links.zip"), dest).value(0).toBool(), true);
        QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("PLAIN.txt")});
    }

    // Every hostile entry form, the same rules with either tool: what is refused or
    // dropped never reaches the destination, safe files in folders arrive flattened, and
    // nothing else is left behind.
    void hostileEntries_data()
    {
        QTest::addColumn<Entries>("entries");
        QTest::addColumn<QStringList>("expected"); // files in the destination; empty = failure
        const QPair<QByteArray, QByteArray> good{"GOOD.txt", "good\n"};
        const QStringList justGood{QStringLiteral("GOOD.txt")};
        struct Row
        {
            const char *name;
            Entries entries;
            QStringList expected;
        };
        const QList<Row> rows{
            {"backslash folder", {{"sub\\A.txt", "a\n"}}, {QStringLiteral("A.txt")}},
            {"drive backslash", {{"C:\\x.txt", "x\n"}, good}, justGood},
            {"drive relative", {{"c:x.txt", "x\n"}, good}, justGood},
            {"drive slash", {{"C:/x.txt", "x\n"}, good}, justGood},
            {"network name", {{"\\\\server\\share\\x.txt", "x\n"}, good}, justGood},
            {"absolute", {{"/tmp/vantrel-abs-entry.txt", "x\n"}, good}, justGood},
            {"climbing", {{"../up.txt", "x\n"}, {"a/../../b.txt", "x\n"}, {"a\\..\\..\\c.txt", "x\n"}, good}, justGood},
            {"sub-folders", {{"deep/er/B.txt", "b\n"}, good}, {QStringLiteral("B.txt"), QStringLiteral("GOOD.txt")}},
            {"folder entry", {{"X.txt/", ""}, good}, justGood},
            {"hidden names", {{".hidden.txt", "h\n"}, {"sub/.h/C.txt", "h\n"}, good}, justGood},
            {"symlink entry", {{"LINK.txt", "->/etc/hostname"}, good}, justGood},
            {"same name twice", {{"a/GOOD.txt", "good\n"}, {"b/GOOD.txt", "other\n"}}, justGood},
            {"control character", {{"A\nB.txt", "x\n"}, good}, justGood},
            {"no Windows name", {{"a|b.txt", "x\n"}, {"CON.txt", "x\n"}, {"x.txt:stream", "x\n"}, good}, justGood},
            {"nothing usable", {{"../x.txt", "x\n"}, {"L.txt", "->/etc/passwd"}}, {}},
        };
        for (const char *tool : {"7za", "unzip"}) {
            for (const Row &r : rows)
                QTest::newRow(qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(tool), QLatin1String(r.name))))
                    << r.entries << r.expected;
        }
    }
    void hostileEntries()
    {
        QFETCH(Entries, entries);
        QFETCH(QStringList, expected);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        if (tag.startsWith(QLatin1String("unzip")))
            limitPath({QStringLiteral("unzip")});
        const QString top = m_tmp.filePath(QStringLiteral("hostile-%1").arg(qHash(tag)));
        const QString dest = top + QStringLiteral("/root/Backfill");
        QDir().mkpath(dest);
        const QString zip = writeZip(QStringLiteral("hostile-%1.zip").arg(qHash(tag)), entries);
        ArchiveExtractor x;
        x.setFlatten(true);
        const QList<QVariant> r = extract(x, zip, dest);
        QCOMPARE(r.size(), 2);
        QCOMPARE(r.value(0).toBool(), !expected.isEmpty());
        QCOMPARE(listing(dest), expected);
        if (expected.contains(QStringLiteral("GOOD.txt"))) {
            QFile f(dest + QStringLiteral("/GOOD.txt"));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("good\n"));
        }
        // Nothing beside the destination, nothing at the absolute name.
        QCOMPARE(listing(top + QStringLiteral("/root")), QStringList{QStringLiteral("Backfill")});
        QCOMPARE(listing(top), QStringList{QStringLiteral("root")});
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/vantrel-abs-entry.txt")));
    }

    void protectedEntriesNeverPrompt()
    {
        // A mixed archive: a plain entry and one with a password.
        const QString work = m_tmp.filePath(QStringLiteral("protected"));
        QDir().mkpath(work);
        for (const char *name : {"PLAIN.txt", "SECRET.txt"}) {
            QFile f(work + QLatin1Char('/') + QLatin1String(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("bars\n") == 5);
        }
        QProcess zip;
        zip.setWorkingDirectory(work);
        zip.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("mixed.zip"), QStringLiteral("PLAIN.txt")});
        QVERIFY(zip.waitForFinished(10000) && zip.exitCode() == 0);
        zip.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-P"), QStringLiteral("pw"),
                                          QStringLiteral("mixed.zip"), QStringLiteral("SECRET.txt")});
        QVERIFY(zip.waitForFinished(10000) && zip.exitCode() == 0);
        QFile::copy(work + QStringLiteral("/mixed.zip"), work + QStringLiteral("/raw.zip"));

        // The tools themselves, as called, end on a protected entry instead of asking.
        for (bool fallback : {false, true}) {
            const QString out = work + (fallback ? QStringLiteral("/raw-unzip") : QStringLiteral("/raw-7za"));
            const Archiver::Invocation call = fallback ? Archiver::fallbackCall(work + QStringLiteral("/raw.zip"), out)
                                                       : Archiver::archiverCall(work + QStringLiteral("/raw.zip"), out);
            ChildProcess tool;
            tool.setProcessChannelMode(QProcess::MergedChannels);
            tool.start(call.program, call.arguments);
            QVERIFY2(tool.waitForFinished(30000), qPrintable(call.program));
            QVERIFY2(tool.exitCode() != 0, qPrintable(call.program));
        }

        // The extraction drops the protected entry and imports the rest.
        ArchiveExtractor x;
        x.setFlatten(true);
        const QString dest = work + QStringLiteral("/Backfill");
        QCOMPARE(extract(x, work + QStringLiteral("/mixed.zip"), dest).value(0).toBool(), true);
        QCOMPARE(listing(dest), QStringList{QStringLiteral("PLAIN.txt")});
    }

    void timeLimitEndsAHangingTool_data()
    {
        QTest::addColumn<bool>("unzipHangsToo");
        QTest::newRow("7za hangs, unzip unpacks") << false;
        QTest::newRow("both hang") << true;
    }
    void timeLimitEndsAHangingTool()
    {
        QFETCH(bool, unzipHangsToo);
        const QString pidFile = m_tmp.filePath(QStringLiteral("hang-%1.pid").arg(unzipHangsToo));
        hangingArchiverPath(pidFile, unzipHangsToo);
        const QString zip = writeZip(QStringLiteral("hang.zip"), {{"A.txt", "a\n"}});
        const QString top = m_tmp.filePath(QStringLiteral("hang-%1").arg(unzipHangsToo));
        ArchiveExtractor x;
        x.setTimeLimit(1500);
        QSignalSpy done(&x, &ArchiveExtractor::finished);
        QVERIFY(x.start(zip, top + QStringLiteral("/Backfill")));
        QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 20000);
        const qint64 pid = readPid(pidFile);
        QVERIFY(done.wait(60000));
        QCOMPARE(done.size(), 1);
        QCOMPARE(done.first().value(0).toBool(), !unzipHangsToo);
        QVERIFY(!processAlive(pid));
        QCOMPARE(listing(top), unzipHangsToo ? QStringList{} : QStringList{QStringLiteral("Backfill")});
    }

    void cancelKillsTheToolAndItsStaging()
    {
        const QString pidFile = m_tmp.filePath(QStringLiteral("cancel.pid"));
        hangingArchiverPath(pidFile, true);
        const QString zip = writeZip(QStringLiteral("cancel.zip"), {{"A.txt", "a\n"}});
        const QString top = m_tmp.filePath(QStringLiteral("cancel"));
        ArchiveExtractor x;
        QSignalSpy done(&x, &ArchiveExtractor::finished);
        QVERIFY(x.start(zip, top + QStringLiteral("/Backfill")));
        QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 20000);
        QCOMPARE(listing(top).size(), 1); // the staging folder
        x.cancel();
        QVERIFY(!x.isRunning());
        QVERIFY(!processAlive(readPid(pidFile)));
        QCOMPARE(listing(top), QStringList{});
        QTest::qWait(300);
        QCOMPARE(done.size(), 0);
        QVERIFY(QFile::exists(zip));
    }

    void announcedSizeOverTheBudgetIsRefused_data()
    {
        QTest::addColumn<qint64>("cap");
        QTest::addColumn<qint64>("freeBytes"); // what the disk pretends to have (-1: its own)
        QTest::addColumn<QString>("reason");
        const qint64 mb = DiskBudget::kMB;
        // 5000 bytes unpacked and their rewritten copy: 11 KB, so "needs 1 MB".
        QTest::newRow("over the job's cap") << qint64(4000) << qint64(-1)
                                            << "needs 1 MB; one job may use at most 0 MB whatever the disk has free";
        QTest::newRow("over half the free space above the floor")
            << DiskBudget::kJobCapBytes << DiskBudget::kFloorBytes + 8000
            << "needs 1 MB; 0 MB may be used: free space on %1 is 100 MB; free 1 MB more on %1 and try again";
        QTest::newRow("fits") << DiskBudget::kJobCapBytes << 150 * mb << QString();
    }
    void announcedSizeOverTheBudgetIsRefused()
    {
        QFETCH(qint64, cap);
        QFETCH(qint64, freeBytes);
        QFETCH(QString, reason);
        const QString zip = writeZip(QStringLiteral("big.zip"), {{"BIG.txt", QByteArray(5000, 'b')}});
        const QString top = m_tmp.filePath(QStringLiteral("cap"));
        ArchiveExtractor x;
        x.setSpaceCap(cap);
        DiskBudget::setFreeBytesForTests(freeBytes);
        const QList<QVariant> r = extract(x, zip, top + QStringLiteral("/Backfill"));
        DiskBudget::setFreeBytesForTests(-1);
        if (reason.isEmpty()) {
            QVERIFY2(r.value(0).toBool(), qPrintable(r.value(1).toString()));
            QVERIFY(!x.refusedForSpace());
            QCOMPARE(listing(top + QStringLiteral("/Backfill")), QStringList{QStringLiteral("BIG.txt")});
            QDir(top).removeRecursively();
            return;
        }
        const QString volume = DiskBudget::roomFor(top, cap).volume;
        const QString expected = reason.contains(QLatin1String("%1")) ? reason.arg(volume) : reason;
        QCOMPARE(r.value(0).toBool(), false);
        QCOMPARE(r.value(1).toString(), QStringLiteral("not enough disk space to unpack: ") + expected);
        QVERIFY(x.refusedForSpace());
        QCOMPARE(x.spaceRefusal(), expected);
        QCOMPARE(listing(top), QStringList{});
        QVERIFY(QFile::exists(zip));
    }

    void failedMovePutsBackWhatMoved()
    {
        const QString dest = m_tmp.filePath(QStringLiteral("atomic/Backfill"));
        QDir().mkpath(dest + QStringLiteral("/B.txt")); // a folder where a file must go
        QFile old(dest + QStringLiteral("/A.txt"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old\n") == 4);
        old.close();
        const QString zip = writeZip(QStringLiteral("atomic.zip"), {{"A.txt", "new\n"}, {"B.txt", "b\n"}, {"C.txt", "c\n"}});
        ArchiveExtractor x;
        x.setFlatten(true);
        const QList<QVariant> r = extract(x, zip, dest);
        QCOMPARE(r.value(0).toBool(), false);
        QFile a(dest + QStringLiteral("/A.txt"));
        QVERIFY(a.open(QIODevice::ReadOnly));
        QCOMPARE(a.readAll(), QByteArray("old\n"));
        QCOMPARE(listing(dest), (QStringList{QStringLiteral("A.txt"), QStringLiteral("B.txt")}));
        QVERIFY(QFile::exists(zip));
    }

    void staleStagingFoldersAreRemoved()
    {
        const QString root = m_tmp.filePath(QStringLiteral("stale"));
        const QString keep = m_tmp.filePath(QStringLiteral("stale-target"));
        for (const QString &d : {root + QStringLiteral("/Backfill-staging-abc123/files"),
                                 root + QStringLiteral("/.Backfill-staging-old"), root + QStringLiteral("/Backfill"),
                                 root + QStringLiteral("/Other-staging-x"), keep})
            QVERIFY(QDir().mkpath(d));
        QFile inside(keep + QStringLiteral("/precious.txt"));
        QVERIFY(inside.open(QIODevice::WriteOnly));
        inside.close();
        QVERIFY(QFile::link(keep, root + QStringLiteral("/Backfill-staging-link")));
        ArchiveExtractor::removeStaleStaging(root, root + QStringLiteral("/Backfill/"));
        QCOMPARE(listing(root), (QStringList{QStringLiteral("Backfill"), QStringLiteral("Other-staging-x")}));
        QVERIFY(QFile::exists(keep + QStringLiteral("/precious.txt")));
    }

    void archiverEndsWithTheProgram()
    {
        // A helper copy of this test starts a tool through ChildProcess and dies at once.
        const QString pidFile = m_tmp.filePath(QStringLiteral("orphan.pid"));
        QProcess helper;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VANTREL_CHILD_HELPER"), pidFile);
        helper.setProcessEnvironment(env);
        helper.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(helper.waitForFinished(30000));
        const qint64 pid = readPid(pidFile);
        QVERIFY(pid > 0);
        // Generous: the kernel's kill is immediate, a loaded CI machine's scheduling is not.
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pid), 60000);
    }

    void busyExtractorRefusesSecondStart()
    {
        const QString zip = writeZip(QStringLiteral("busy.zip"), {{"A.txt", "a\n"}});
        ArchiveExtractor x;
        QSignalSpy done(&x, &ArchiveExtractor::finished);
        QVERIFY(x.start(zip, m_tmp.filePath(QStringLiteral("busy"))));
        QVERIFY(!x.start(zip, m_tmp.filePath(QStringLiteral("busy2"))));
        QVERIFY(done.wait(20000));
        QCOMPARE(done.first().value(0).toBool(), true);
    }
};

// With VANTREL_CHILD_HELPER set, the test program only starts "sleep" through
// ChildProcess, writes its PID there and dies without any clean-up.
int main(int argc, char **argv)
{
    const QByteArray helperPid = qgetenv("VANTREL_CHILD_HELPER");
    if (!helperPid.isEmpty()) {
        QCoreApplication app(argc, argv);
        auto *tool = new ChildProcess;
        tool->start(QStringLiteral("sleep"), {QStringLiteral("600")});
        if (!tool->waitForStarted(10000))
            return 1;
        QFile f(QString::fromLocal8Bit(helperPid));
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::number(tool->processId())) <= 0)
            return 1;
        f.close();
        std::_Exit(0);
    }
    QCoreApplication app(argc, argv);
    TestExtraction test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_extraction.moc"
