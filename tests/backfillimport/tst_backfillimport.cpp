// The backfill import: chunk limits, pauses, the error log and kept chunks through its
// hooks; then liveDataUpdator with the broker stand-in, end to end on the file system.

#include "amibroker/livedataupdator.h"
#include "app/settingskeys.h"
#include "backfill/backfillimport.h"
#include "backfill/eodimport.h"
#include "backfill/symbolrewriter.h"
#include "platform/installpaths.h"
#include "platform/standin/quotestore.h"
#include "testenv.h"

#include <QDir>
#include <QRegularExpression>
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

QStringList logLines()
{
    return QString::fromUtf8(readFile(InstallPaths::backfillErrorLog())).split('\n', Qt::SkipEmptyParts);
}

// Records what the import hands to the charting program instead of importing it.
struct Recorder
{
    QList<qint64> chunkSizes;
    QList<int> pauses;
    bool accept = true;
    BackfillImport::Hooks hooks()
    {
        BackfillImport::Hooks h;
        h.importChunk = [this](const QString &path) {
            chunkSizes.append(QFileInfo(path).size());
            return accept;
        };
        h.pause = [this](int ms) { pauses.append(ms); };
        return h;
    }
};

} // namespace

class TestBackfillImport : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void chunkLimit_data();
    void chunkLimit();
    void failedLinesAreDropped();
    void renamingInMemoryGivesTheProcessedCopysChunks();
    void refusedChunkIsKeptAndLogged();
    void workerImportsMappedBarsAndSignals();
    void workerKeepsChunkWhenFormatIsMissing();
    void eodImportsWatchlistOnlyAndEmptiesFolder();

private:
    std::unique_ptr<TestEnv> m_env;
};

void TestBackfillImport::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    QVERIFY(m_env->installFormats());
}

void TestBackfillImport::init()
{
    QDir(InstallPaths::backfillDir()).removeRecursively();
    QDir(InstallPaths::backfillWorkDir()).removeRecursively();
    QDir(InstallPaths::databaseDir()).removeRecursively();
    QDir().mkpath(InstallPaths::backfillDir());
    TestEnv::clearSettings();
}

void TestBackfillImport::chunkLimit_data()
{
    QTest::addColumn<int>("lastLineLength");
    QTest::addColumn<QList<qint64>>("chunks");
    // 16383 lines of 1023 characters plus a line feed, then one more line.
    const qint64 full = 16383 * 1024;
    QTest::newRow("exactly 16 MiB") << 1023 << QList<qint64>{full + 1024};
    QTest::newRow("one byte more") << 1024 << QList<qint64>{full, 1025};
}

void TestBackfillImport::chunkLimit()
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

void TestBackfillImport::failedLinesAreDropped()
{
    writeFile(backfillFile("a.txt"), "x,Failed\n  Failed  \n");
    writeFile(backfillFile("b.txt"), "  b,failed  \n\n b,Failed\n");
    Recorder rec;
    BackfillImport(rec.hooks()).run();
    QCOMPARE(rec.chunkSizes, QList<qint64>{9}); // only "b,failed\n"; a.txt imports nothing
    QVERIFY(QDir(InstallPaths::backfillDir()).isEmpty());
}

void TestBackfillImport::renamingInMemoryGivesTheProcessedCopysChunks()
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

void TestBackfillImport::refusedChunkIsKeptAndLogged()
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

void TestBackfillImport::workerImportsMappedBarsAndSignals()
{
    AppSettings().setValue(SettingsKeys::symbolMappingEntries, QStringList{"NIFTY-I,NIFTY", "X1,Y1"});
    writeFile(backfillFile("nifty.txt"),
              "FUTURE,NIFTY-I,20261208,09:15:00,1,2,0.5,1.5,10,0\r\n"
              "failed,NIFTY-I,20261208,09:16:00,1,2,0.5,1.5,10,0\r\n"
              "FUTURE,NIFTY-I,20261208,09:17:00,1,2,0.5,1.5,10,0 Failed\r\n"
              "FUTURE , X1 ,20261208,09:15:00,1,2,0.5,1.5,10,0\n");
    liveDataUpdator worker;
    QStringList order;
    connect(&worker, &liveDataUpdator::backfillDone, [&] { order << "backfillDone"; });
    connect(&worker, &liveDataUpdator::doAutoBackfill, [&] { order << "doAutoBackfill"; });
    worker.doBackFill();
    // The import runs in a worker thread; the window's thread goes on meanwhile.
    QVERIFY(worker.isBackfillImportRunning());
    QTRY_COMPARE(order, (QStringList{"backfillDone", "doAutoBackfill"}));

    QuoteStore store;
    QVERIFY(store.open(InstallPaths::databaseDir()));
    QCOMPARE(store.quotes("NIFTY").size(), 1);
    QCOMPARE(store.quotes("NIFTY-I").size(), 1); // a "failed" line is neither mapped nor dropped
    QCOMPARE(store.quotes("Y1").size(), 1);
    QVERIFY(QDir(InstallPaths::backfillDir()).isEmpty());
    QCOMPARE(QDir(InstallPaths::backfillWorkDir()).entryList(QDir::Files), QStringList{"backfill_error.log"});

    // No folder at all: nothing to do, both signals still come.
    QDir(InstallPaths::backfillDir()).removeRecursively();
    worker.doBackFill();
    QTRY_COMPARE(order.size(), 4);
}

void TestBackfillImport::workerKeepsChunkWhenFormatIsMissing()
{
    QVERIFY(QFile::remove(InstallPaths::formatIntraday()));
    writeFile(backfillFile("gold.txt"), "MCX,GOLDM-I,20261208,09:15:00,1,2,0.5,1.5,10,0\n");
    liveDataUpdator worker;
    QSignalSpy done(&worker, &liveDataUpdator::doAutoBackfill);
    worker.doBackFill();
    QTRY_COMPARE(done.count(), 1);
    QVERIFY(m_env->installFormats());
    const QString kept = InstallPaths::backfillFailedCopy("gold.txt", 1);
    QVERIFY(readFile(kept).contains("GOLDM-I"));
    QVERIFY(logLines().last().endsWith(" - failed to import final " + kept));
}

void TestBackfillImport::eodImportsWatchlistOnlyAndEmptiesFolder()
{
    const QStringList names{"b.txt", "A.txt", "NIFTY-I.txt", "RELIANCE.txt", "NIFTY-I.txt.txt"};
    QCOMPARE(EodImport::selectFiles(names, true, {"NIFTY-I", "a", "RELIANCE"}),
             (QStringList{"NIFTY-I.txt", "RELIANCE.txt", "NIFTY-I.txt.txt"}));
    QCOMPARE(EodImport::selectFiles(names, false, {}), names);

    writeFile(backfillFile("NIFTY-I.txt"), "FUTURE,NIFTY-I,20261208,1,2,0.5,1.5,10,0\n");
    writeFile(backfillFile("RELIANCE.txt"), "CASH,RELIANCE,20261208,1,2,0.5,1.5,10,0\n");
    writeFile(backfillFile("TCS.txt"), "CASH,TCS,20261208,1,2,0.5,1.5,10,0\n");
    liveDataUpdator worker;
    worker.selectedSymbols = QStringList{"NIFTY-I", "TCS"};
    worker.eodWatchlistOnly = true;
    QSignalSpy done(&worker, &liveDataUpdator::eodBackfillDone);
    worker.doEodBackfill();
    QTRY_COMPARE(done.count(), 1);
    QuoteStore store;
    QVERIFY(store.open(InstallPaths::databaseDir()));
    QCOMPARE(store.quotes("NIFTY-I").size(), 1);
    QCOMPARE(store.quotes("TCS").size(), 1);
    QCOMPARE(store.quotes("RELIANCE").size(), 0);
    QVERIFY(QDir(InstallPaths::backfillDir()).exists());
    QVERIFY(QDir(InstallPaths::backfillDir()).isEmpty());

    // A file the charting program refuses survives the emptying of the folder.
    writeFile(backfillFile("BAD.txt"), "x\n");
    EodImport::run(false, {}, [](const QString &) { return false; });
    QCOMPARE(readFile(InstallPaths::backfillFailedCopy("BAD.txt", 0)), QByteArray("x\n"));
    QVERIFY(logLines().last().contains(" - failed to import "));
}

QTEST_GUILESS_MAIN(TestBackfillImport)
#include "tst_backfillimport.moc"
