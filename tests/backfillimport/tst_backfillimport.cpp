// The backfill import: chunk limits, pauses, the error log and kept chunks through its
// hooks; then the import worker with the live side's broker thread and the broker
// stand-in, end to end on the file system.

#include "amibroker/liveimporter.h"
#include "app/settingskeys.h"
#include "backfill/backfillimport.h"
#include "backfill/backfilllines.h"
#include "backfill/eodimport.h"
#include "backfill/importworker.h"
#include "backfill/repairscope.h"
#include "live/tickedminutes.h"
#include "backfill/symbolrewriter.h"
#include "platform/installpaths.h"
#include "platform/standin/quotestore.h"
#include "testenv.h"

#include <QDir>
#include <QRegularExpression>

#include <QThread>

#include <atomic>
#include <sched.h>
#include <sys/mount.h>
#include <QSignalSpy>
#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(content), qint64(content.size()));
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString backfillFile(const QString &name) { return InstallPaths::backfillDir() + '/' + name; }

// "NIFTY=1 TCS=0": how many quotes the broker stand-in's store holds for each symbol.
QString stored(const QStringList &symbols)
{
    QuoteStore store;
    if (!store.open(InstallPaths::databaseDir()))
        return QStringLiteral("no store");
    QStringList out;
    for (const QString &symbol : symbols)
        out << symbol + '=' + QString::number(store.quotes(symbol).size());
    return out.join(' ');
}

QStringList logLines()
{
    return QString::fromUtf8(readFile(InstallPaths::backfillErrorLog())).split('\n', Qt::SkipEmptyParts);
}

// Records what the import hands to the charting program instead of importing it.
struct Recorder
{
    QList<qint64> chunkSizes;
    QByteArray imported; // every chunk's content
    QList<int> pauses;
    bool accept = true;
    BackfillImport::Hooks hooks()
    {
        BackfillImport::Hooks h;
        h.importChunk = [this](const QString &path) {
            chunkSizes.append(QFileInfo(path).size());
            imported += readFile(path);
            return accept;
        };
        h.pause = [this](int ms) { pauses.append(ms); };
        return h;
    }
};

const QByteArray kBar = "FUTURE,NIFTY-I,20261208,09:15:00,1,2,0.5,1.5,10,0";

// The import worker as the program has it: its calls go to the live side's broker thread
// and the broker stand-in. While `held` is set, every import call waits.
struct LiveImports
{
    std::atomic<bool> held{false};
    LiveImporter live;
    ImportWorker worker;
    QSignalSpy intraday{&worker, &ImportWorker::intradayImported};
    QSignalSpy eod{&worker, &ImportWorker::eodImported};
    QStringList order; // which import ended, in order

    LiveImports()
    {
        const BrokerCalls real = live.brokerCalls();
        BrokerCalls broker = real;
        broker.importAndWait = [real, this](const QString &file, const QString &format) {
            while (held)
                QThread::msleep(5);
            return real.importAndWait(file, format);
        };
        worker.setBroker(broker);
        QObject::connect(&worker, &ImportWorker::intradayImported, [this] { order << "intraday"; });
        QObject::connect(&worker, &ImportWorker::eodImported, [this] { order << "eod"; });
    }
};

// A file system of a few megabytes over the work folder, in a mount namespace of this
// test process alone: a real full disk. False where mounting is not allowed.
bool mountSmallDisk(const QString &dir, qint64 bytes)
{
    QDir().mkpath(dir);
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    const QByteArray options = "size=" + QByteArray::number(bytes);
    return mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, options.constData()) == 0;
}

} // namespace

class TestBackfillImport : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> m_env;

private slots:
    void initTestCase()
    {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_env->installFormats());
    }

    void init()
    {
        QDir(InstallPaths::backfillDir()).removeRecursively();
        QDir(InstallPaths::backfillWorkDir()).removeRecursively();
        QDir(InstallPaths::databaseDir()).removeRecursively();
        QDir().mkpath(InstallPaths::backfillDir());
        TestEnv::clearSettings();
    }

    void chunkLimit_data()
    {
        QTest::addColumn<int>("lastLineLength");
        QTest::addColumn<QList<qint64>>("chunks");
        // 16383 lines of 1023 characters plus a line feed, then one more line.
        const qint64 full = 16383 * 1024;
        QTest::newRow("exactly 16 MiB") << 1023 << QList<qint64>{full + 1024};
        QTest::newRow("one byte more") << 1024 << QList<qint64>{full, 1025};
    }

    void chunkLimit()
    {
        QFETCH(int, lastLineLength);
        QFETCH(QList<qint64>, chunks);
        QByteArray content;
        const QByteArray line = QByteArray(1023, 'x') + "\r\n"; // the carriage return is not counted
        for (int i = 0; i < 16383; ++i)
            content += line;
        content += QByteArray(lastLineLength, 'y');
        writeFile(backfillFile("big.txt"), content);

        Recorder rec;
        BackfillImport(rec.hooks()).run();
        QCOMPARE(rec.chunkSizes, chunks);
        QVERIFY(!QFile::exists(backfillFile("big.txt")));
        QVERIFY(!QFile::exists(InstallPaths::backfillChunkFile(1)));
        QVERIFY(logLines().isEmpty());
    }

    // Lines that never reach the charting program, one log line a file for those worth
    // telling; the file is gone afterwards either way. Rows name the tests they were.
    void linesLeftOut_data()
    {
        QTest::addColumn<QList<QByteArray>>("files"); // f0.txt, f1.txt, ...
        QTest::addColumn<QByteArray>("imported");
        QTest::addColumn<QString>("logged"); // the one log line after its time (%1: f0.txt's path)
        QTest::newRow("failed lines (failedLinesAreDropped)")
            << QList<QByteArray>{"x,Failed\n  Failed  \n", "  b,failed  \n\n b,Failed\n"} << QByteArray("b,failed\n") << "";
        const QByteArray longLine(200 * 1024, 'z');
        QTest::newRow("long lines (longLinesAreSkippedAndLoggedOncePerFile)")
            << QList<QByteArray>{kBar + "\n" + longLine + "\n" + kBar + "\n" + longLine} << kBar + "\n" + kBar + "\n"
            << " - skipped 2 lines longer than 65536 bytes in %1";
        QTest::newRow("unusable symbols (unusableSymbolsAreRefusedAndCounted)")
            << QList<QByteArray>{kBar + "\nFUTURE,NIF\x1bTY-I,20261208,09:16:00,1,2,0.5,1.5,10,0\n"
                                        "FUTURE,NIFTY-I\xe2\x80\xa8,20261208,09:17:00,1,2,0.5,1.5,10,0\n"
                                        "FUTURE,\xef\xbc\xae\xef\xbc\xa9\xef\xbc\xa6\xef\xbc\xb4\xef\xbc\xb9,20261208,"
                                        "09:18:00,1,2,0.5,1.5,10,0\nsingle field\n"}
            << kBar + "\nsingle field\n"
            << " - refused 3 lines whose symbol holds a control, separator or look-alike character in %1";
    }
    void linesLeftOut()
    {
        QFETCH(QList<QByteArray>, files);
        QFETCH(QByteArray, imported);
        QFETCH(QString, logged);
        for (int i = 0; i < files.size(); ++i)
            writeFile(backfillFile(QStringLiteral("f%1.txt").arg(i)), files.at(i));
        Recorder rec;
        BackfillImport(rec.hooks()).run();
        QCOMPARE(rec.imported, imported);
        QCOMPARE(rec.chunkSizes.size(), 1);
        QStringList log = logLines();
        log.replaceInStrings(QRegularExpression("^\\S+"), QString()); // the time
        QCOMPARE(log, logged.isEmpty() ? QStringList() : QStringList{logged.arg(backfillFile("f0.txt"))});
        QVERIFY(QDir(InstallPaths::backfillDir()).isEmpty());
    }

    void renamingInMemoryGivesTheProcessedCopysChunks()
    {
        // Second-field renames, whole-word renames (chained: A->B, B->C), blank and "Failed"
        // lines in both cases, carriage returns, a line without commas.
        const QByteArray content = "FUTURE,NIFTY-I,20261208,09:15:00,1,2,0.5,1.5,10,0\r\n"
                                   "  \r\n"
                                   "X, A ,1\n"
                                   "note A and B-I and AB\n"
                                   "NIFTY-I\n"
                                   "y,failed,A\n"
                                   "y,Failed,A\n"
                                   "\xe2\x80\x83 B \xe2\x80\x83\n"
                                   "last,B";
        const SymbolMap map{{"NIFTY-I", "NIFTY"}, {"A", "B"}, {"B", "C"}};
        QList<QByteArray> chunks[2];
        for (int inMemory = 0; inMemory < 2; ++inMemory) {
            init();
            writeFile(backfillFile("mixed.txt"), content);
            BackfillImport::Hooks h;
            if (inMemory)
                h.makeRewriter = [&] { return std::make_unique<SymbolRewriter>(map); };
            else
                h.mapFile = [&](const QString &s, const QString &p) { return SymbolRewriter(map).applyToFile(s, p); };
            h.importChunk = [&](const QString &path) {
                chunks[inMemory].append(readFile(path));
                return true;
            };
            h.pause = [](int) {};
            BackfillImport(h).run();
        }
        QCOMPARE(chunks[1], chunks[0]);
        QCOMPARE(chunks[0].size(), 1);
        QVERIFY(chunks[0].first().contains("FUTURE,NIFTY,"));
        QVERIFY(!QFile::exists(InstallPaths::backfillProcessedCopy("mixed.txt")));
    }

    void refusedChunkIsKeptAndLogged()
    {
        writeFile(backfillFile("NIFTY-I.txt"), "FUTURE,NIFTY-I,20261208,09:15:00,1,2,0.5,1.5,10,0\n");
        Recorder rec;
        rec.accept = false;
        BackfillImport(rec.hooks()).run();
        QCOMPARE(rec.chunkSizes.size(), 5);
        QCOMPARE(rec.pauses, (QList<int>{100, 150, 150, 150, 150, 150}));
        const QString kept = InstallPaths::backfillFailedCopy("NIFTY-I.txt", 1);
        QVERIFY(kept.endsWith("failed_NIFTY-I.txt_part001.txt"));
        QCOMPARE(readFile(kept), QByteArray("FUTURE,NIFTY-I,20261208,09:15:00,1,2,0.5,1.5,10,0\n"));
        const QStringList log = logLines();
        QCOMPARE(log.size(), 1);
        QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d - failed to import final "
                                    + QRegularExpression::escape(kept) + "$")
                     .match(log.at(0)).hasMatch(), qPrintable(log.at(0)));
        QVERIFY(!QFile::exists(backfillFile("NIFTY-I.txt")));

        // A second refusal of the same source never overwrites the first kept file.
        writeFile(backfillFile("NIFTY-I.txt"), "FUTURE,NIFTY-I,20261209,09:15:00,1,2,0.5,1.5,10,0\n");
        BackfillImport(rec.hooks()).run();
        QVERIFY(QFile::exists(kept.left(kept.size() - 4) + "-2.txt"));
        QVERIFY(readFile(kept).contains("20261208"));
        QVERIFY(InstallPaths::backfillFailedCopy("../x/..\\y", 2).endsWith("failed__.._x_.._y_part002.txt"));
    }

    void workerImportsMappedBarsAndSignals()
    {
        AppSettings().setValue(SettingsKeys::symbolMappingEntries, QStringList{"NIFTY-I,NIFTY", "X1,Y1"});
        writeFile(backfillFile("nifty.txt"),
                  "FUTURE,NIFTY-I,20261208,09:15:00,1,2,0.5,1.5,10,0\r\n"
                  "failed,NIFTY-I,20261208,09:16:00,1,2,0.5,1.5,10,0\r\n"
                  "FUTURE,NIFTY-I,20261208,09:17:00,1,2,0.5,1.5,10,0 Failed\r\n"
                  "FUTURE , X1 ,20261208,09:15:00,1,2,0.5,1.5,10,0\n");
        LiveImports imports;
        imports.worker.importIntraday();
        // The import runs in a thread of its own; the window's thread goes on meanwhile.
        QVERIFY(imports.worker.isRunning());
        QTRY_COMPARE(imports.intraday.count(), 1);

        // A "failed" line is neither mapped nor dropped.
        QCOMPARE(stored({"NIFTY", "NIFTY-I", "Y1"}), QStringLiteral("NIFTY=1 NIFTY-I=1 Y1=1"));
        QVERIFY(QDir(InstallPaths::backfillDir()).isEmpty());
        QCOMPARE(QDir(InstallPaths::backfillWorkDir()).entryList(QDir::Files), QStringList{"backfill_error.log"});

        // No folder at all: nothing to do, the end still comes.
        QDir(InstallPaths::backfillDir()).removeRecursively();
        imports.worker.importIntraday();
        QTRY_COMPARE(imports.intraday.count(), 2);
    }

    void workerKeepsChunkWhenFormatIsMissing()
    {
        QVERIFY(QFile::remove(InstallPaths::formatIntraday()));
        writeFile(backfillFile("gold.txt"), "MCX,GOLDM-I,20261208,09:15:00,1,2,0.5,1.5,10,0\n");
        LiveImports imports;
        imports.worker.importIntraday();
        QTRY_COMPARE(imports.intraday.count(), 1);
        QVERIFY(m_env->installFormats());
        const QString kept = InstallPaths::backfillFailedCopy("gold.txt", 1);
        QVERIFY(readFile(kept).contains("GOLDM-I"));
        QVERIFY(logLines().last().endsWith(" - failed to import final " + kept));
    }

    void eodImportsWatchlistOnlyAndEmptiesFolder()
    {
        const QStringList names{"b.txt", "A.txt", "NIFTY-I.txt", "RELIANCE.txt", "NIFTY-I.txt.txt"};
        QCOMPARE(EodImport::selectFiles(names, true, {"NIFTY-I", "a", "RELIANCE"}),
                 (QStringList{"NIFTY-I.txt", "RELIANCE.txt", "NIFTY-I.txt.txt"}));
        QCOMPARE(EodImport::selectFiles(names, false, {}), names);

        writeFile(backfillFile("NIFTY-I.txt"), "FUTURE,NIFTY-I,20261208,1,2,0.5,1.5,10,0\n");
        writeFile(backfillFile("RELIANCE.txt"), "CASH,RELIANCE,20261208,1,2,0.5,1.5,10,0\n");
        writeFile(backfillFile("TCS.txt"), "CASH,TCS,20261208,1,2,0.5,1.5,10,0\n");
        LiveImports imports;
        imports.worker.importEod(true, {"NIFTY-I", "TCS"});
        QTRY_COMPARE(imports.eod.count(), 1);
        QCOMPARE(stored({"NIFTY-I", "TCS", "RELIANCE"}), QStringLiteral("NIFTY-I=1 TCS=1 RELIANCE=0"));
        QVERIFY(QDir(InstallPaths::backfillDir()).exists());
        QVERIFY(QDir(InstallPaths::backfillDir()).isEmpty());

        // A file the charting program refuses survives the emptying of the folder (its lines
        // are kept as the refused chunk they went in).
        writeFile(backfillFile("BAD.txt"), "x\n");
        EodImport::run(false, {}, [](const QString &) { return false; });
        QCOMPARE(readFile(InstallPaths::backfillFailedCopy("BAD.txt", 1)), QByteArray("x\n"));
        QVERIFY(logLines().last().contains(" - failed to import "));
    }

    void smallFilesShareChunks_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("stopBeforeFile"); // -1: no stop
        QTest::addColumn<int>("imports");
        QTest::addColumn<int>("left");
        QTest::newRow("2500 files, three imports") << 2500 << -1 << 3 << 0;
        QTest::newRow("close after 1500 files") << 2500 << 1500 << 1 << 1500;
        QTest::newRow("close before the first file") << 10 << 0 << 0 << 10;
    }

    void smallFilesShareChunks()
    {
        QFETCH(int, files);
        QFETCH(int, stopBeforeFile);
        QFETCH(int, imports);
        QFETCH(int, left);
        for (int i = 0; i < files; ++i)
            writeFile(backfillFile(QStringLiteral("f%1.txt").arg(i, 5, 10, QLatin1Char('0'))),
                      "FUTURE,S" + QByteArray::number(i) + ",20261208,09:15:00,1,2,0.5,1.5,10,0\n");
        Recorder rec;
        BackfillImport::Hooks hooks = rec.hooks();
        int between = 0;
        hooks.betweenFiles = [&] { ++between; };
        hooks.stopRequested = [&] { return stopBeforeFile >= 0 && between > stopBeforeFile; };
        BackfillImport import(hooks);
        import.run();
        QCOMPARE(rec.chunkSizes.size(), imports);
        QCOMPARE(rec.imported.count('\n'), imports * BackfillImport::kMaxFilesPerChunk > files ? files : imports * BackfillImport::kMaxFilesPerChunk);
        QCOMPARE(BackfillImport::pendingFiles().size(), left);
        QCOMPARE(import.wasStopped(), stopBeforeFile >= 0);
        // What is left is exactly what was not imported.
        if (left > 0)
            QCOMPARE(BackfillImport::pendingFiles().first(), QStringLiteral("f%1.txt").arg(files - left, 5, 10, QLatin1Char('0')));
        QCOMPARE(logLines().filter(" - import stopped;").size(), stopBeforeFile >= 0 ? 1 : 0);
    }

    void fullDiskKeepsEverySourceFile_data()
    {
        QTest::addColumn<bool>("processedCopy");
        QTest::newRow("renamed in memory") << false;
        QTest::newRow("through the processed copy") << true;
    }

    void fullDiskKeepsEverySourceFile()
    {
        QFETCH(bool, processedCopy);
        const bool mounted = mountSmallDisk(InstallPaths::backfillWorkDir(), 3 << 20);
        if (!mounted) {
            qWarning("no small file system could be mounted; the writer's byte budget stands in");
            BackfillLines::Writer::setTestByteBudget(3 << 20);
        }
        // a.txt's one bar waits in the chunk that b.txt's bars then overfill.
        QByteArray big;
        for (int i = 0; big.size() < (6 << 20); ++i)
            big += "FUTURE,GOLDM-I,20261208," + QByteArray::number(100000 + i) + ",1,2,0.5,1.5,10,0\n";
        writeFile(backfillFile("a.txt"), kBar + "\n");
        writeFile(backfillFile("b.txt"), big);
        Recorder rec;
        BackfillImport::Hooks hooks = rec.hooks();
        const SymbolMap map{{"NIFTY-I", "NIFTY"}};
        if (processedCopy)
            hooks.mapFile = [&](const QString &s, const QString &p) { return SymbolRewriter(map).applyToFile(s, p); };
        BackfillImport(hooks).run();
        QCOMPARE(rec.chunkSizes.size(), 0);
        QCOMPARE(readFile(backfillFile("a.txt")), kBar + "\n");
        QCOMPARE(readFile(backfillFile("b.txt")), big);
        const QStringList log = logLines();
        QVERIFY2(log.filter(" - cannot write chunk ").size() == 1, qPrintable(log.join('\n')));
        QVERIFY(log.filter(" kept for the next run " + backfillFile("a.txt")).size() == 1);
        QVERIFY(log.filter(" kept for the next run " + backfillFile("b.txt")).size() == 1);

        // Room again: the next run imports every bar once.
        if (mounted)
            QCOMPARE(umount2(QFile::encodeName(InstallPaths::backfillWorkDir()).constData(), MNT_DETACH), 0);
        BackfillLines::Writer::setTestByteBudget(-1);
        BackfillImport(hooks).run();
        QByteArray expected = kBar + "\n" + big;
        if (processedCopy)
            expected.replace("NIFTY-I", "NIFTY");
        QCOMPARE(rec.imported, expected);
        QVERIFY(!QFile::exists(InstallPaths::backfillProcessedCopy("b.txt")));
        QVERIFY(BackfillImport::pendingFiles().isEmpty());
    }

    void workerImportsOtherLineEndsAndEncodings_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QString text = "FUTURE,NIFTY-I,20261208,09:15:00,1,2,0.5,1.5,10,0\r\n"
                             "FUTURE,NIFTY-I,20261208,09:16:00,1,2,0.5,1.5,10,0\r\n"
                             "FUTURE,NIFTY-I,20261208,09:17:00,1,2,0.5,1.5,10,0\r\n";
        QByteArray crOnly = text.toUtf8();
        crOnly.replace("\r\n", "\r");
        QTest::newRow("carriage returns only") << crOnly;
        QTest::newRow("utf-16le with mark") << QByteArray("\xff\xfe") + QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
        QTest::newRow("utf-8 with mark") << QByteArray("\xef\xbb\xbf") + text.toUtf8();
    }

    void workerImportsOtherLineEndsAndEncodings()
    {
        QFETCH(QByteArray, content);
        writeFile(backfillFile("nifty.txt"), content);
        LiveImports imports;
        imports.worker.importIntraday();
        QTRY_COMPARE_WITH_TIMEOUT(imports.intraday.count(), 1, 60000);
        QCOMPARE(stored({"NIFTY-I"}), QStringLiteral("NIFTY-I=3"));
    }

    void keptFilesAreBounded_data()
    {
        QTest::addColumn<QList<int>>("ageDays");    // per kept file, oldest first
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<qint64>("byteLimit");
        QTest::addColumn<QStringList>("remaining");
        QTest::newRow("older than 30 days") << QList<int>{40, 31, 29} << QList<int>{10, 10, 10} << qint64(1000)
                                            << QStringList{"failed_c.txt"};
        QTest::newRow("over the size, oldest first") << QList<int>{3, 2, 1} << QList<int>{600, 300, 300} << qint64(1000)
                                                     << QStringList{"failed_b.txt", "failed_c.txt"};
        QTest::newRow("within both bounds") << QList<int>{3, 2} << QList<int>{400, 400} << qint64(1000)
                                            << QStringList{"failed_a.txt", "failed_b.txt"};
    }

    void keptFilesAreBounded()
    {
        QFETCH(QList<int>, ageDays);
        QFETCH(QList<int>, sizes);
        QFETCH(qint64, byteLimit);
        QFETCH(QStringList, remaining);
        const QDateTime now = QDateTime::currentDateTime();
        for (int i = 0; i < ageDays.size(); ++i) {
            QFile f(InstallPaths::backfillWorkDir() + "/failed_" + QChar('a' + i) + ".txt");
            writeFile(f.fileName(), QByteArray(sizes.at(i), 'x'));
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(now.addDays(-ageDays.at(i)), QFileDevice::FileModificationTime));
        }
        writeFile(InstallPaths::backfillWorkDir() + "/other.txt", QByteArray(5000, 'o'));
        BackfillErrorLog log;
        QVERIFY(log.open());
        BackfillImport::pruneKept(&log, byteLimit, 30);
        log.close();
        QCOMPARE(QDir(InstallPaths::backfillWorkDir()).entryList({"failed_*"}, QDir::Files, QDir::Name), remaining);
        QVERIFY(QFile::exists(InstallPaths::backfillWorkDir() + "/other.txt"));
        QCOMPARE(logLines().filter(" - removed kept file").size(), ageDays.size() - remaining.size());
    }

    void eodLinesAreRenamedLikeIntraday()
    {
        AppSettings().setValue(SettingsKeys::symbolMappingEntries, QStringList{"NIFTY-I,NIFTY"});
        writeFile(backfillFile("NIFTY-I.txt"), "FUTURE,NIFTY-I,20261208,1,2,0.5,1.5,10,0\r"
                                               "FUTURE,NIFTY-I,20261209,1,2,0.5,1.5,10,0\r");
        writeFile(backfillFile("TCS.txt"), "CASH,TCS,20261208,1,2,0.5,1.5,10,0\n");
        LiveImports imports;
        imports.worker.importEod(true, {"NIFTY"}); // the user's name of NIFTY-I
        QTRY_COMPARE_WITH_TIMEOUT(imports.eod.count(), 1, 60000);
        QCOMPARE(stored({"NIFTY", "NIFTY-I", "TCS"}), QStringLiteral("NIFTY=2 NIFTY-I=0 TCS=0"));
        QVERIFY(QDir(InstallPaths::backfillDir()).isEmpty());
    }

    void repairImportKeepsOnlyWhatItAskedFor()
    {
        const QByteArray own = "FUTURE,NIFTY-I,20261208,09:20:00,1,2,0.5,1.5,96300,0\n";
        const QByteArray nifty = own + "CASH,ICICIBANK,20261208,09:20:00,1,2,0.5,1.5,10,0\n"
                                       "FUTURE,INJECTED,20261208,09:20:00,1,2,0.5,1.5,10,0\n"
                                       "FUTURE,NIFTY-I,19700101,09:20:00,1,2,0.5,1.5,10,0\n"
                                       "FUTURE,NIFTY-I,20991231,09:20:00,1,2,0.5,1.5,10,0\n"
                                       "FUTURE,NIFTY-I,20261208,09:15:00,1,2,0.5,1.5,96300,0\n"
                                       "\n x,Failed \n";
        const QByteArray gold = "MCX,GOLDM-I,20261208,09:30:00,1,2,0.5,1.5,7,0\nMCX,GOLDM-I,20261208,09:31:00,1,2,0.5,1.5,7,0\n";
        const SymbolMap map{{"NIFTY-I", "NIFTY"}};
        TickedMinutes ticked;
        ticked.note("T,NIFTY-I,20261208,09:15:40.000,1,75,0,1\n");
        qint64 first = 0, last = 0;
        QVERIFY(MinuteKey::parse("20261208", 8, "09:15", 5, &first) && MinuteKey::parse("20261208", 8, "09:30", 5, &last));
        auto tally = std::make_shared<RepairScope::Tally>();
        const auto scope = std::make_shared<const RepairScope>(QStringList{"NIFTY-I", "GOLDM-I"}, first, last,
                                                               ticked.snapshot(), tally);
        for (const bool accepted : {true, false}) {
            init();
            writeFile(backfillFile("GOLDM-I.txt"), gold);
            writeFile(backfillFile("NIFTY-I.txt"), nifty);
            Recorder rec;
                rec.accept = accepted;
            BackfillImport::Hooks h = rec.hooks();
            h.makeRewriter = [&] { return std::make_unique<SymbolRewriter>(map); };
            h.repairScope = scope;
            QTest::ignoreMessage(QtDebugMsg, qPrintable("Gap repair import of " + InstallPaths::join(InstallPaths::backfillDirNative(), "NIFTY-I.txt")
                                                        + ": kept 1, refused 5 (2 foreign symbol, 2 outside the outage, 1 minute with live ticks)"));
            BackfillImport(h).run();
            // Judged on the server's name, stored under the user's.
            const QByteArray expected = "MCX,GOLDM-I,20261208,09:30:00,1,2,0.5,1.5,7,0\n"
                                        "FUTURE,NIFTY,20261208,09:20:00,1,2,0.5,1.5,96300,0\n";
            QCOMPARE(rec.imported, accepted ? expected : expected.repeated(BackfillImport::kImportAttempts));
            QVERIFY(BackfillImport::pendingFiles().isEmpty());
            // Only bars the charting program took are counted as stored.
            QCOMPARE(tally->stored("NIFTY-I"), qint64(1));
            QCOMPARE(tally->stored("GOLDM-I"), qint64(1));
            QCOMPARE(tally->stored("NIFTY"), qint64(0));
        }

        // A backfill of the user's imports every line as before.
        init();
        writeFile(backfillFile("NIFTY-I.txt"), nifty);
        Recorder rec;
        BackfillImport(rec.hooks()).run();
        QCOMPARE(rec.imported.count('\n'), 6);
    }

    void requestsDuringAnImportWaitForIt()
    {
        writeFile(backfillFile("NIFTY-I.txt"), kBar + "\n");
        LiveImports imports;
        imports.held = true;
        imports.worker.importIntraday();
        QTRY_VERIFY(imports.worker.isRunning());
        // A second download's files and an end-of-day request while the import is held.
        writeFile(backfillFile("GOLDM-I.txt"), "MCX,GOLDM-I,20261208,09:15:00,1,2,0.5,1.5,10,0\n");
        imports.worker.importIntraday();
        imports.worker.importEod(false, {});
        imports.held = false;
        QTRY_COMPARE_WITH_TIMEOUT(imports.order, (QStringList{"intraday", "eod"}), 30000);
        // One end for both intraday requests, and the end-of-day import never emptied the
        // folder under the running one.
        QCOMPARE(stored({"NIFTY-I", "GOLDM-I"}), QStringLiteral("NIFTY-I=1 GOLDM-I=1"));
        QVERIFY(!imports.worker.isRunning());
    }

    void importsFailAtOnceWhenTheLiveSideIsGone()
    {
        writeFile(backfillFile("x.txt"), kBar + "\n");
        BrokerCalls broker;
        {
            LiveImporter live;
            broker = live.brokerCalls();
            QVERIFY(broker.importAndWait(InstallPaths::join(InstallPaths::backfillDirNative(), "x.txt"), InstallPaths::formatIntraday()));
        }
        // An import thread that outlives the live side finds no charting program, and no wait.
        QVERIFY(!broker.importAndWait(InstallPaths::join(InstallPaths::backfillDirNative(), "x.txt"), InstallPaths::formatIntraday()));
        broker.rest(10);
    }
};

QTEST_GUILESS_MAIN(TestBackfillImport)
#include "tst_backfillimport.moc"
