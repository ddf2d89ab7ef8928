// Archive extraction with the real 7za and unzip, into real folders.

#include "backfill/extraction.h"
#include "platform/archiver.h"
#include "testenv.h"
#include "zipwriter.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestExtraction : public QObject
{
    Q_OBJECT

private:
    QString m_path;
    QTemporaryDir m_tmp;

    QString writeZip(const QString &name, const QList<QPair<QByteArray, QByteArray>> &entries)
    {
        ZipWriter zip;
        for (const auto &e : entries)
            zip.addFile(e.first, e.second);
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
        QCOMPARE(a.arguments, (QStringList{QStringLiteral("x"), QStringLiteral("/r/a.zip"), QStringLiteral("-o/r/B/"), QStringLiteral("-y")}));
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

QTEST_GUILESS_MAIN(TestExtraction)
#include "tst_extraction.moc"
