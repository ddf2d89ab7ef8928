// The live road end to end: the data server sends batches, the feed worker records them in
// its own thread, the import cycle hands every batch to the broker stand-in, and every tick
// the server sent is found in the stand-in's store under its mapped name.
#include "amibroker/liveimporter.h"
#include "app/settingskeys.h"
#include "live/websocketworker.h"
#include "live/pendingbatches.h"
#include "app/diskbudget.h"
#include "platform/standin/brokerstandin.h"
#include "platform/installpaths.h"
#include "platform/standin/quotestore.h"
#include "testenv.h"

#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTcpServer>
#include <QThread>
#include <QtTest>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

struct SentTick
{
    QString symbol;
    QString date;
    QString time;
};

QVector<SentTick> readSentLog(const QString &path)
{
    QVector<SentTick> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return out;
    while (!f.atEnd()) {
        const QList<QByteArray> parts = f.readLine().trimmed().split(',');
        if (parts.size() >= 3)
            out.append({QString::fromUtf8(parts[0]), QString::fromUtf8(parts[1]),
                        QString::fromUtf8(parts[2])});
    }
    return out;
}

// "20261208" + "09:15:01.250" -> the store's text form "2026-12-08 09:15:01.250".
QString storeTimestamp(const SentTick &t)
{
    return QStringLiteral("%1-%2-%3 %4")
        .arg(t.date.left(4), t.date.mid(4, 2), t.date.mid(6, 2), t.time);
}

// What the store holds for `symbol`: "<quotes>: <first close>..<last close>", "0" for none.
QString storedCloses(const QString &symbol)
{
    QuoteStore store;
    if (!store.open(InstallPaths::databaseDir()))
        return QStringLiteral("<no store>");
    const QVector<ImportedQuote> quotes = store.quotes(symbol);
    if (quotes.isEmpty())
        return QStringLiteral("0");
    return QStringLiteral("%1: %2..%3")
        .arg(quotes.size())
        .arg(quotes.first().close, 0, 'g', 15)
        .arg(quotes.last().close, 0, 'g', 15);
}

} // namespace

class tst_LivePipeline : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    QString sentLog1, sentLog2;
    quint16 wsPort = 0;

    std::unique_ptr<QProcess> startServer(const QString &sentLog)
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->start(TestEnv::builtExecutable(QStringLiteral("vantrel-devserver")),
                 {QStringLiteral("--ws-port"), QString::number(wsPort), QStringLiteral("--rate"),
                  QStringLiteral("300"), QStringLiteral("--batch"), QStringLiteral("7"),
                  QStringLiteral("--log-sent"), sentLog});
        if (!p->waitForStarted(5000))
            return nullptr;
        QByteArray out;
        while (!out.contains("listening ws") && p->waitForReadyRead(5000))
            out += p->readAll();
        return out.contains("listening ws") ? std::move(p) : nullptr;
    }

    // Everything stored, as "symbol|timestamp" keys.
    QSet<QString> storedKeys(qint64 *rows)
    {
        QSet<QString> keys;
        QuoteStore store;
        if (!store.open(InstallPaths::databaseDir()))
            return keys;
        *rows = 0;
        for (const auto &sym : store.symbols()) {
            for (const ImportedQuote &q : store.quotes(sym.first)) {
                keys.insert(sym.first + QLatin1Char('|') + QuoteStore::formatTimestamp(q.timestampMs));
                ++*rows;
            }
        }
        return keys;
    }

private slots:
    void initTestCase()
    {
        env = std::make_unique<TestEnv>();
        QVERIFY(!TestEnv::builtExecutable(QStringLiteral("vantrel-devserver")).isEmpty());
        QVERIFY(env->installFormats());
        sentLog1 = env->root() + "/sent-1.log";
        sentLog2 = env->root() + "/sent-2.log";
        wsPort = freePort();
    }

    void init() { PendingBatches::clear(); }

    // What a test changed in the kept batches' settings goes back, also when it failed.
    void cleanup()
    {
        DiskBudget::setFreeBytesForTests(-1);
        PendingBatches::setSpoolLimits(LiveSpool::Limits());
        PendingBatches::setFlushDelayMs(0);
        PendingBatches::clear();
    }

    void everySentTickArrivesAcrossAServerRestart()
    {
        AppSettings().setValue(SettingsKeys::symbolMappingEntries,
                               QStringList{QStringLiteral("NIFTY-I, NIFTY_MAPPED"),
                                           QStringLiteral("EURUSD,EUR-USD")});
        const QStringList symbols{QStringLiteral("NIFTY-I"), QStringLiteral("BANKNIFTY-I"),
                                  QStringLiteral("EURUSD"), QStringLiteral("GOLDM-I"),
                                  QStringLiteral("ICICIBANK")};

        auto server = startServer(sentLog1);
        QVERIFY(server);

        LiveImporter updator;
        updator.setFollowedSymbols(symbols);
        auto *standIn = qobject_cast<BrokerStandIn *>(updator.broker());
        QVERIFY(standIn);

        QThread feedThread;
        auto *worker = new WebSocketWorker(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(wsPort)),
                                           symbols, QStringLiteral("rtsocket.txt"),
                                           QStringLiteral("VANTREL-DEMO-0001"));
        worker->moveToThread(&feedThread);
        connect(&feedThread, &QThread::started, worker, &WebSocketWorker::start);
        connect(&feedThread, &QThread::finished, worker, &QObject::deleteLater);
        connect(worker, &WebSocketWorker::rtDataDownloaded, &updator,
                &LiveImporter::importBatches, Qt::QueuedConnection);
        int accepted = 0, connects = 0;
        connect(worker, &WebSocketWorker::rtDataDownloaded, this, [&] { ++accepted; },
                Qt::QueuedConnection);
        connect(worker, &WebSocketWorker::connected, this, [&] { ++connects; },
                Qt::QueuedConnection);
        int drops = 0;
        connect(worker, &WebSocketWorker::disconnected, this, [&] { ++drops; },
                Qt::QueuedConnection);
        feedThread.start();
        // Whatever the outcome, the feed thread must be gone before its QThread object.
        const auto guard = qScopeGuard([&feedThread] {
            feedThread.quit();
            if (!feedThread.wait(5000)) {
                feedThread.terminate();
                feedThread.wait();
            }
        });

        // First server: stream for a while, then kill it mid-stream.
        QTRY_VERIFY_WITH_TIMEOUT(readSentLog(sentLog1).size() >= 400, 20000);
        server->kill();
        server->waitForFinished(5000);
        const int acceptedBeforeRestart = accepted;

        // Second server on the same port: the worker reconnects on its own.
        QElapsedTimer sinceRestart;
        sinceRestart.start();
        server = startServer(sentLog2);
        QVERIFY(server);
        QTRY_VERIFY_WITH_TIMEOUT(connects >= 2, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(accepted > acceptedBeforeRestart, 10000);
        QVERIFY2(sinceRestart.elapsed() < 8000, "the feed did not resume within a few seconds");
        QTRY_VERIFY_WITH_TIMEOUT(readSentLog(sentLog2).size() >= 600, 20000);

        // Stop the second server cleanly and let the last batches drain. Its close comes
        // after its last batch, and both signals arrive here in that order: once the drop is
        // seen, every batch it sent has been counted.
        const int dropsBeforeStop = drops;
        server->terminate();
        QVERIFY(server->waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(drops > dropsBeforeStop, 10000);
        const QVector<SentTick> sent2 = readSentLog(sentLog2);
        QTRY_VERIFY_WITH_TIMEOUT(PendingBatches::count() == 0
                                     && int(updator.importedBatches()) == accepted, 10000);

        QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
        feedThread.quit();
        QVERIFY(feedThread.wait(5000));

        const QHash<QString, QString> mapping{{QStringLiteral("NIFTY-I"), QStringLiteral("NIFTY_MAPPED")},
                                              {QStringLiteral("EURUSD"), QStringLiteral("EUR-USD")}};
        auto mapped = [&mapping](const QString &s) { return mapping.value(s, s); };

        qint64 rows = 0;
        const QSet<QString> stored = storedKeys(&rows);
        QVERIFY(!stored.isEmpty());
        // Nothing is stored under a server name that has a mapping.
        for (const QString &k : stored) {
            QVERIFY2(!k.startsWith(QLatin1String("NIFTY-I|")), qPrintable(k));
            QVERIFY2(!k.startsWith(QLatin1String("EURUSD|")), qPrintable(k));
        }

        // After the reconnect: every tick the server sent is stored, exactly once.
        for (const SentTick &t : sent2) {
            const QString key = mapped(t.symbol) + QLatin1Char('|') + storeTimestamp(t);
            QVERIFY2(stored.contains(key), qPrintable(QStringLiteral("missing after restart: ") + key));
        }
        // Before the kill: only the ticks caught in flight by the kill may be missing.
        const QVector<SentTick> sent1 = readSentLog(sentLog1);
        int found1 = 0;
        for (const SentTick &t : sent1)
            found1 += stored.contains(mapped(t.symbol) + QLatin1Char('|') + storeTimestamp(t));
        QVERIFY2(found1 >= sent1.size() - 7 * 10,
                 qPrintable(QStringLiteral("%1 of %2 first-run ticks stored").arg(found1).arg(sent1.size())));
        QCOMPARE(stored.size(), found1 + sent2.size());

        // Every accepted batch was imported once: the rows the stand-in stored over all
        // imports equal the distinct quotes it holds.
        QCOMPARE(standIn->counters().rowsStored, qint64(stored.size()));
        QCOMPARE(rows, qint64(stored.size()));
        QVERIFY(standIn->counters().refreshes >= 1);
    }

    void queuedCyclesImportEveryBatchOnceAndInOrder()
    {
        // Two batches recorded before the first queued cycle runs: the first batch must not
        // be lost and the second not imported twice.
        LiveImporter updator;
        auto *standIn = qobject_cast<BrokerStandIn *>(updator.broker());
        QVERIFY(standIn);
        const qint64 rowsBefore = standIn->counters().rowsStored;
        PendingBatches::clear();
        PendingBatches::append("T,ORDERSYM,20261208,10:00:00.001,101,1,0,1\n");
        PendingBatches::append("T,ORDERSYM,20261208,10:00:00.001,102,2,0,3\n"
                               "T,ORDERSYM,20261208,10:00:00.002,103,1,0,4\n");
        QMetaObject::invokeMethod(&updator, "importBatches", Qt::QueuedConnection);
        QMetaObject::invokeMethod(&updator, "importBatches", Qt::QueuedConnection);
        QTRY_COMPARE(int(updator.importedBatches()), 2);
        QCOMPARE(updator.importCycles(), qint64(1));
        QCOMPARE(standIn->counters().rowsStored - rowsBefore, qint64(3));
        // The later batch's quote at the same timestamp replaced the earlier one: order kept.
        QCOMPARE(storedCloses(QStringLiteral("ORDERSYM")), QStringLiteral("2: 102..103"));
    }

    void failedImportsKeepBatchesUntilTheBrokerWorksAgain()
    {
        LiveImporter updator;
        updator.setImportRetryIntervalMs(20);
        PendingBatches::clear();
        const QString format = updator.realtimeFormatPath();
        const QString aside = format + QStringLiteral(".aside");
        QVERIFY(QFile::rename(format, aside));

        // The charting program refuses the file (its format is gone for a moment).
        PendingBatches::append("T,KEEPSYM,20261208,11:00:00.001,201,1,0,1\n");
        updator.importBatches();
        QTRY_VERIFY(updator.isImportFailing());
        QCOMPARE(PendingBatches::count(), 1);
        PendingBatches::append("T,KEEPSYM,20261208,11:00:00.002,202,1,0,2\n");

        // The import file cannot be opened: the batches stay as well.
        const QString importPath = updator.importFilePath();
        updator.setImportFilePath(env->root() + QStringLiteral("/import-is-a-folder"));
        QVERIFY(QDir().mkpath(updator.importFilePath()));
        updator.importBatches();
        const qint64 cyclesBefore = updator.importCycles();
        QTRY_VERIFY(updator.importCycles() > cyclesBefore + 2);
        QCOMPARE(PendingBatches::count(), 2);
        updator.setImportFilePath(importPath);
        updator.importBatches();

        // No new batch comes; the retry imports both, in order, once the format is back.
        QVERIFY(QFile::rename(aside, format));
        QTRY_VERIFY(!updator.isImportFailing());
        QTRY_COMPARE(PendingBatches::count(), 0);
        QCOMPARE(updator.importedBatches(), qint64(2));
        QCOMPARE(storedCloses(QStringLiteral("KEEPSYM")), QStringLiteral("2: 201..202"));
    }

    void catchUpAfterAStallImportsAtMostEightMegabytesAtATime()
    {
        LiveImporter updator;
        updator.setFollowedSymbols(QStringList{QStringLiteral("CATCHUP")}); // most is read back from the spool
        auto *standIn = qobject_cast<BrokerStandIn *>(updator.broker());
        QVERIFY(standIn);
        const QString stall = InstallPaths::databaseDir() + "/" + BrokerStandIn::stallFileName();
        QVERIFY(QDir().mkpath(InstallPaths::databaseDir()));
        QVERIFY(writeFile(stall, ""));

        // About 10 MB of ticks arrive while the charting program is busy.
        int ticks = 0;
        for (int b = 0; b < 230; ++b) {
            QByteArray batch;
            for (int t = 0; t < 1000; ++t, ++ticks) {
                batch += QStringLiteral("T,CATCHUP,20261208,%1:%2:%3.%4,%5,1,0,1\n")
                             .arg(10 + ticks / 3600000, 2, 10, QLatin1Char('0'))
                             .arg(ticks / 60000 % 60, 2, 10, QLatin1Char('0'))
                             .arg(ticks / 1000 % 60, 2, 10, QLatin1Char('0'))
                             .arg(ticks % 1000, 3, 10, QLatin1Char('0'))
                             .arg(ticks + 1)
                             .toUtf8();
            }
            PendingBatches::append(batch);
            updator.importBatches(); // returns at once: the cycle waits in the broker thread
        }
        QVERIFY(PendingBatches::totalBytes() > 9 * 1024 * 1024);
        QCOMPARE(updator.liveImports(), qint64(0));

        QVERIFY(QFile::remove(stall));
        QTRY_COMPARE_WITH_TIMEOUT(PendingBatches::count(), 0, 120000);
        QVERIFY(updator.liveImports() >= 2);
        QVERIFY(updator.largestLiveImportBytes() <= 8 * 1024 * 1024);
        QCOMPARE(updator.importedBatches(), qint64(230));
        QCOMPARE(storedCloses(QStringLiteral("CATCHUP")), QStringLiteral("%1: 1..%1").arg(ticks));
        QCOMPARE(standIn->counters().rowsStored, qint64(ticks));
    }

    void keptBatchesAreSpooledAndImportedInOrder()
    {
        PendingBatches::setFlushDelayMs(600000);
        const QByteArray line40(39, 'x');
        PendingBatches::append(line40 + "\n");
        PendingBatches::append(line40 + "\n");
        PendingBatches::persist(); // these two are on the disk now, with copies in memory
        PendingBatches::append("a\nb\n" + QByteArray(36, 'y'));
        PendingBatches::append(line40 + "1\n");
        QCOMPARE(PendingBatches::count(), 4);
        QCOMPARE(PendingBatches::memoryBytes(), qint64(161));
        QCOMPARE(PendingBatches::unwrittenBytes(), qint64(81));
        QCOMPARE(PendingBatches::spoolBytes(), qint64(80));
        QVERIFY(QDir(InstallPaths::liveSpoolDir()).entryList({"batches-*.spool"}, QDir::Files).size() == 1);

        // Oldest first, each at most maxBytes (at least one); spooled and unwritten together.
        PendingBatches::Snapshot s = PendingBatches::peek(50);
        QCOMPARE(s.batches.size(), 1);
        QVERIFY(!s.fromSpool);
        s = PendingBatches::peek(1000);
        QCOMPARE(s.batches.size(), 4);
        PendingBatches::acknowledge(s);
        QCOMPARE(PendingBatches::count(), 0);
        QCOMPARE(PendingBatches::spoolBytes(), qint64(0));
        // What was imported from the copies is read in the spool too: a next start finds nothing.
        PendingBatches::clear();
        PendingBatches::recover();
        QVERIFY(PendingBatches::isEmpty());
    }

    void batchesNotYetImportedAreSpooledWhenAPassEnds()
    {
        PendingBatches::setFlushDelayMs(600000); // only the end of the pass writes
        const QByteArray a(39, 'a'), b(39, 'b'), c(39, 'c');
        {
            LiveImporter updator; // no cycle is asked for: nothing is imported
            PendingBatches::append(a + "\n");
            PendingBatches::append(b + "\n");
            PendingBatches::append(c + "\n");
            QCOMPARE(PendingBatches::spoolBytes(), qint64(0));
        }
        QCOMPARE(PendingBatches::unwrittenBytes(), qint64(0));
        QCOMPARE(PendingBatches::spoolBytes(), qint64(120));
        QCOMPARE(PendingBatches::takeAll(), (QList<QByteArray>{a + "\n", b + "\n", c + "\n"}));
    }

    void spoolCapsDropTheOldestSegmentFirst_data()
    {
        QTest::addColumn<bool>("freeSpaceCap");
        QTest::newRow("size cap") << false;
        QTest::newRow("half the free space above the floor") << true;
    }

    void spoolCapsDropTheOldestSegmentFirst()
    {
        QFETCH(bool, freeSpaceCap);
        PendingBatches::setFlushDelayMs(600000);
        LiveSpool::Limits limits;
        const qint64 record = LiveSpool::kRecordHeaderBytes + 100;
        limits.segmentBytes = LiveSpool::kSegmentHeaderBytes + 2 * record; // two batches a segment
        if (!freeSpaceCap)
            limits.capBytes = 3 * limits.segmentBytes + LiveSpool::kSegmentHeaderBytes;
        PendingBatches::setSpoolLimits(limits);
        // With this much free the spool may hold (free - floor + what it holds) / 2: three
        // segments, as with the size cap.
        if (freeSpaceCap)
            DiskBudget::setFreeBytesForTests(DiskBudget::kFloorBytes + 3 * limits.segmentBytes + 160);
        QSignalSpy dropped(PendingBatches::notifier(), &PendingBatches::Notifier::batchesDropped);
        auto batch = [](int n) { return QByteArray::number(n).rightJustified(99, '0') + "\n"; };
        for (int n = 0; n <= 9; ++n) {
            PendingBatches::append(batch(n));
            PendingBatches::persist();
        }
        // Three segments of two fit: 0-3 went with two segments, 4-9 are there.
        QCOMPARE(PendingBatches::spoolBytes(), qint64(6 * 100));
        int droppedTicks = 0;
        for (const auto &args : dropped)
            droppedTicks += args.first().toInt();
        QCOMPARE(droppedTicks, 4);
        QCOMPARE(dropped.count(), 2);

        // A disk with no room left at all: nothing more is written, the batch stays in
        // memory and the status line says why.
        QSignalSpy status(PendingBatches::notifier(), &PendingBatches::Notifier::statusText);
        DiskBudget::setFreeBytesForTests(0);
        PendingBatches::append(batch(10));
        PendingBatches::persist();
        QCOMPARE(PendingBatches::unwrittenBytes(), qint64(100));
        QVERIFY(!status.isEmpty() && status.last().first().toString().contains("no room"));
        QList<QByteArray> kept = PendingBatches::takeAll();
        QCOMPARE(kept.size(), 7);
        for (int i = 0; i < kept.size(); ++i)
            QCOMPARE(kept.at(i), batch(4 + i));
    }

    void spoolOfAKilledRunIsImportedFirstAndOnce()
    {
        // A child process keeps batches, imports part of them and is killed.
        const QString folder = InstallPaths::liveSpoolDir();
        QDir(folder).removeRecursively();
        QProcess child;
        child.setProgram(QCoreApplication::applicationFilePath());
        child.setArguments({QStringLiteral("spoolChildThenWait")});
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("VANTREL_SPOOL_CHILD_ROOT"), env->root());
        child.setProcessEnvironment(e);
        child.start();
        QVERIFY(child.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(env->root() + "/spool-child-ready"), 60000);
        child.kill();
        QVERIFY(child.waitForFinished(10000));
        QFile::remove(env->root() + "/spool-child-ready");
        // Hand-written batches with a right checksum, one for a symbol not on the watchlist
        // and one that is no tick line, then a torn write as a kill in the middle of one leaves.
        {
            LiveSpool spool;
            QVERIFY(spool.open(folder));
            QVector<LiveSpool::Placed> placed;
            LiveSpool::Dropped dropped;
            QVERIFY(spool.append({"T,INTRUDER,20261208,12:59:58,5,1,0,1\n", "T,SPOOLED,20261208,12:59:57\n"},
                                 &placed, &dropped));
        }
        {
            QStringList segs = QDir(folder).entryList({"batches-*.spool"}, QDir::Files, QDir::Name);
            QVERIFY(!segs.isEmpty());
            QFile last(folder + "/" + segs.last());
            QVERIFY(last.open(QIODevice::Append));
            last.write(QByteArray("VR\0\2\x40\0\0\0\0\0\0\0T,PARTIAL", 21));
        }

        // Next start: the spool is imported before the new batch, each of its ticks once.
        const QString symbol = QStringLiteral("SPOOLED");
        {
            LiveImporter updator;
            updator.setFollowedSymbols(QStringList{symbol});
            auto *standIn = qobject_cast<BrokerStandIn *>(updator.broker());
            QVERIFY(standIn);
            QVERIFY(PendingBatches::count() > 0);
            PendingBatches::append("T,SPOOLED,20261208,12:59:59,999,1,0,1\n");
            updator.importBatches();
            QTRY_COMPARE_WITH_TIMEOUT(PendingBatches::count(), 0, 30000);
            // 40 batches of 5 ticks: the child imported the first 10 batches before the kill.
            QCOMPARE(storedCloses(symbol), QStringLiteral("151: 51..999"));
            QCOMPARE(standIn->counters().rowsStored, qint64(30 * 5 + 1));
            QCOMPARE(standIn->counters().badLines, qint64(0));
            QCOMPARE(storedCloses(QStringLiteral("INTRUDER")), QStringLiteral("0"));
        }
        // A further start finds nothing left.
        PendingBatches::clear();
        PendingBatches::recover();
        QCOMPARE(PendingBatches::count(), 0);
    }
};

// The killed run of spoolOfAKilledRunIsImportedFirstAndOnce: 40 batches of 5 ticks are kept
// and written ahead; the first 10 are imported (acknowledged), then it says it is ready
// and waits to be killed.
static int spoolChild()
{
    InstallPaths::setTestRoot(qEnvironmentVariable("VANTREL_SPOOL_CHILD_ROOT"));
    PendingBatches::setFlushDelayMs(10);
    for (int b = 0; b < 40; ++b) {
        QByteArray batch;
        for (int t = 0; t < 5; ++t) {
            const int n = b * 5 + t;
            batch += QStringLiteral("T,SPOOLED,20261208,12:%1:%2,%3,1,0,1\n")
                         .arg(n / 60, 2, 10, QLatin1Char('0'))
                         .arg(n % 60, 2, 10, QLatin1Char('0'))
                         .arg(n + 1)
                         .toUtf8();
        }
        PendingBatches::append(batch);
    }
    while (PendingBatches::unwrittenBytes() > 0)
        QThread::msleep(5);
    for (int b = 0; b < 10; ++b)
        PendingBatches::acknowledge(PendingBatches::peek(1));
    QFile ready(InstallPaths::root() + "/spool-child-ready");
    ready.open(QIODevice::WriteOnly);
    ready.close();
    for (;;)
        QThread::sleep(1);
}

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "spoolChildThenWait") == 0)
        return spoolChild();
    QCoreApplication app(argc, argv);
    tst_LivePipeline tc;
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_livepipeline.moc"
