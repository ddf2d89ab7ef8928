// The backfill run without a window: intraday and end-of-day runs against the devserver's
// HTTP side, imported into the broker stand-in; a symbol that keeps failing, refused
// requests, Stop, and the close during an import.
#include "backfill/archivedownloader.h"
#include "backfill/backfillimport.h"

#include "runfixture.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <atomic>

class TestBackfillRun : public QObject, protected RunFixture
{
    Q_OBJECT
    std::atomic<bool> m_holdImports{false};

private slots:
    void initTestCase() { QVERIFY(startServices()); }
    void init()
    {
        ArchiveDownloader::setIntervalScaleForTests(1);
        makeRun();
    }
    void cleanup() { m_run.reset(); }

    void intradayRunAsksForServerNamesAndStoresTheUsers()
    {
        AppSettings().setValue(SettingsKeys::symbolMappingEntries, QStringList{"NIFTY-I,NIFTY"});
        m_path = backfillPath("/backfill1min");
        const int before = m_server.requests().size();
        m_run->startIntraday({"NIFTY", "M&M-I", "GOLDM-I"}, "1");
        QVERIFY(!m_run->isIdle());
        QCOMPARE(m_texts.first(), QStringLiteral("Starting Intraday Backfill..."));
        QTRY_VERIFY_WITH_TIMEOUT(m_run->isIdle(), 60000);
        QCOMPARE(lastText(), QStringLiteral("Backfill Done"));
        QCOMPARE(m_value, 100);
        // One run: active once, styled once, whatever the number of symbols.
        QCOMPARE(m_active, (QList<bool>{true, false}));
        QCOMPARE(m_styled, 1);
        QVERIFY(m_status.isEmpty());
        QVERIFY2(!m_texts.filter(QRegularExpression("^\\(M&M-I\\) ")).isEmpty(), qPrintable(m_texts.join(" | ")));

        const QString prefix = "GET /backfill1min?uid=VANTREL-DEMO-0001&hash=key-1&d=1&send=";
        QCOMPARE(requestsSince(before), (QStringList{prefix + "NIFTY-I", prefix + "M%26M-I", prefix + "GOLDM-I"}));
        QCOMPARE(stored("NIFTY"), qint64(375));
        QCOMPARE(stored("M&M-I"), qint64(375));
        QCOMPARE(stored("GOLDM-I"), qint64(375));
        QCOMPARE(stored("NIFTY-I"), qint64(0));
    }

    void stopEndsTheTransferInFlightAndTheQueue()
    {
        QCOMPARE(m_server.control("http-fault slow 3"), QStringLiteral("ok"));
        const int before = m_server.requests().size();
        m_run->startIntraday({"NIFTY-I", "GOLDM-I"}, "1");
        QTRY_COMPARE(m_server.requests().size(), before + 1);
        const QString partial = ArchiveDownloader::partialPath(m_run->downloader()->outputFilePath());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(partial), 20000);
        QTRY_VERIFY(lastText().startsWith("(NIFTY-I) "));
        m_run->stop();
        QVERIFY(m_run->isIdle());
        QVERIFY(m_run->queue().isEmpty());
        QVERIFY(m_run->downloader()->isIdle());
        QVERIFY(!QFileInfo::exists(partial));
        QCOMPARE(m_active, (QList<bool>{true, false}));
        // Had the transfer gone on, it would have ended and unpacked within this time.
        QTest::qWait(4500);
        QCOMPARE(m_server.requests().size(), before + 1);
        QVERIFY(QDir(InstallPaths::backfillDir()).entryList(QDir::Files).isEmpty());
        QVERIFY(!QFileInfo::exists(m_run->downloader()->outputFilePath()));
    }

    void failingSymbolIsGivenUpAndTheRunGoesOn()
    {
        // Retry delays and time limits a hundred times shorter.
        ArchiveDownloader::setIntervalScaleForTests(0.01);
        QCOMPARE(m_server.control("http-fail-symbol NIFTY-I"), QStringLiteral("ok"));
        const int before = m_server.requests().size();
        m_run->startIntraday({"NIFTY-I", "GOLDM-I"}, "1");
        QTRY_VERIFY_WITH_TIMEOUT(m_run->isIdle(), 90000);
        // The end of the run names the symbol it had to give up; the status line too.
        QCOMPARE(lastText(), QStringLiteral("Backfill Done (skipped: NIFTY-I)"));
        QVERIFY(m_texts.contains("(NIFTY-I) skipped"));
        QCOMPARE(m_status.size(), 2);
        QVERIFY2(m_status.first().startsWith("Backfill skipped NIFTY-I: network error"), qPrintable(m_status.first()));
        QCOMPARE(m_status.last(), lastText());
        const QStringList asked = requestsSince(before);
        QCOMPARE(asked.filter("&send=NIFTY-I").size(), ArchiveDownloader::kMaxFailures);
        QCOMPARE(asked.filter("&send=GOLDM-I").size(), 1);
        QCOMPARE(stored("GOLDM-I"), qint64(375));
        QCOMPARE(stored("NIFTY-I"), qint64(0));
        const QString log = readText(InstallPaths::backfillErrorLog());
        QVERIFY2(log.contains(" - backfill given up for NIFTY-I after 5 failed attempts: network error"), qPrintable(log));
    }

    void refusedRequestsAreNamedOnceInsteadOfDone_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("symbols");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<int>("requests");
        QTest::newRow("backfill path") << "127.0.0.1:65536/backfill" << QStringList{"NIFTY-I", "GOLDM-I"}
                                       << "Backfill not requested: unusable backfill path"
                                       << " - request not made (unusable backfill path) for NIFTY-I\n" << 0;
        // A symbol from the settings store cannot break the log's lines.
        QTest::newRow("symbol with a line break") << "" << QStringList{"EVIL\nLINE", "GOLDM-I"}
                                                  << "Backfill not requested: unusable symbol EVIL\\x0aLINE"
                                                  << " - request not made (unusable symbol) for EVIL\\x0aLINE\n" << 1;
    }
    void refusedRequestsAreNamedOnceInsteadOfDone()
    {
        QFETCH(QString, path);
        QFETCH(QStringList, symbols);
        QFETCH(QString, end);
        QFETCH(QString, logged);
        QFETCH(int, requests);
        if (!path.isEmpty())
            m_path = path;
        const int before = m_server.requests().size();
        m_run->startIntraday(symbols, "1");
        QTRY_VERIFY_WITH_TIMEOUT(m_run->isIdle(), 30000);
        QCOMPARE(lastText(), end);
        QCOMPARE(m_status, QStringList{end});
        QCOMPARE(requestsSince(before).size(), requests);
        const QString log = readText(InstallPaths::backfillErrorLog());
        QVERIFY2(log.contains(logged), qPrintable(log));
        QCOMPARE(log.count(" - request not made "), 1);
    }

    void endOfDayImportsWatchlistOnlyWhenAsked_data()
    {
        QTest::addColumn<bool>("watchlistOnly");
        QTest::newRow("watchlist only") << true;
        QTest::newRow("all files") << false;
    }
    void endOfDayImportsWatchlistOnlyWhenAsked()
    {
        QFETCH(bool, watchlistOnly);
        m_watchlist = QStringList{"RELIANCE", "TCS", "NIFTY-I"};
        m_run->setOneDayUrl(QStringLiteral("http://127.0.0.1:%1/backfillS21/1/2026-01-05/oneday/").arg(m_server.httpPort));
        // A second request builds on the same stored URL, already carrying "/e/".
        for (int round = 0; round < 2; ++round) {
            const int before = m_server.requests().size();
            m_texts.clear();
            m_run->startEod("CASH-1.zip", watchlistOnly);
            QCOMPARE(m_texts, QStringList{"Starting EOD Backfill..."});
            QVERIFY(!m_run->isIdle());
            QTRY_VERIFY_WITH_TIMEOUT(m_run->isIdle(), 60000);
            QCOMPARE(lastText(), QStringLiteral("EOD Backfill Done"));
            QCOMPARE(m_value, 100);
            QCOMPARE(requestsSince(before), QStringList{"GET /backfillS21/e/2026-01-05/oneday/CASH-1.zip"});
        }
        QCOMPARE(m_run->oneDayUrl(), QStringLiteral("http://127.0.0.1:%1/backfillS21/e/2026-01-05/oneday/").arg(m_server.httpPort));
        QVERIFY(stored("RELIANCE") > 0);
        QVERIFY(stored("TCS") > 0);
        QCOMPARE(stored("INFY") > 0, !watchlistOnly);
        QCOMPARE(stored("NIFTY-I"), qint64(0));
        QVERIFY(QDir(InstallPaths::backfillDir()).isEmpty());
        QVERIFY(!QFile::exists(InstallPaths::backfillZip()));
        QCOMPARE(m_active, (QList<bool>{true, false, true, false}));
    }

    void importOfAStoppedRunNeverEndsTheNextOne()
    {
        // The first run's import is held in the charting program; the run is stopped, and
        // the import ends while the next run's download is still under way.
        const BrokerCalls real = m_live->brokerCalls();
        BrokerCalls held = real;
        m_holdImports = true;
        held.importAndWait = [real, this](const QString &file, const QString &format) {
            while (m_holdImports)
                QThread::msleep(5);
            return real.importAndWait(file, format);
        };
        m_run->setBroker(held);
        m_run->startIntraday({"NIFTY-I"}, "1");
        QTRY_VERIFY_WITH_TIMEOUT(m_run->imports()->isRunning(), 20000);
        m_run->stop();
        QCOMPARE(m_server.control("http-fault slow 2"), QStringLiteral("ok"));
        const int before = m_server.requests().size();
        m_run->startIntraday({"GOLDM-I"}, "1");
        QTRY_COMPARE(m_server.requests().size(), before + 1);
        m_holdImports = false;
        QTRY_VERIFY_WITH_TIMEOUT(!m_run->imports()->isRunning(), 20000);
        QVERIFY(!m_run->isIdle());
        QTRY_VERIFY_WITH_TIMEOUT(m_run->isIdle(), 30000);
        // The second run ended only once its own bars were in.
        QCOMPARE(stored("GOLDM-I"), qint64(375));
        QCOMPARE(stored("NIFTY-I"), qint64(375));
        QCOMPARE(lastText(), QStringLiteral("Backfill Done"));
    }

    void closeEndsARunningImportBeforeItsNextFile()
    {
        // Thousands of small files, as an archive of many entries unpacks; the close
        // arrives while the import runs in its thread.
        QDir().mkpath(InstallPaths::backfillDir());
        const int files = 3000;
        for (int i = 0; i < files; ++i) {
            QFile f(InstallPaths::backfillDir() + QStringLiteral("/s%1.txt").arg(i, 5, 10, QLatin1Char('0')));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("FUTURE,S" + QByteArray::number(i) + ",20261208,09:15:00,1,2,0.5,1.5,10,0\n");
        }
        QSignalSpy done(m_run->imports(), &ImportWorker::intradayImported);
        m_run->imports()->importIntraday();
        m_run->stopForClose();
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 60000);
        // Nothing was lost: what was not imported waits in the folder for the next start.
        const int left = QDir(InstallPaths::backfillDir()).entryList(QDir::Files).size();
        QVERIFY2(left > files - BackfillImport::kMaxFilesPerChunk, qPrintable(QString::number(left)));
        QVERIFY(readText(InstallPaths::backfillErrorLog()).contains(" - import stopped; files not yet imported stay in "));
        // Closing: no run and no import starts any more.
        m_run->startIntraday({"NIFTY-I"}, "1");
        m_run->imports()->importIntraday();
        QVERIFY(m_run->isIdle());
        QVERIFY(!m_run->imports()->isRunning());
    }
};

QTEST_GUILESS_MAIN(TestBackfillRun)
#include "tst_backfillrun.moc"
