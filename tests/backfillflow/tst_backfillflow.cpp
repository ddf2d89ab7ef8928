// The backfill flows in the main window, driven through its buttons against the real
// server database, the devserver's HTTP side and the broker stand-in.
#include "amibroker/livedataupdator.h"
#include "app/settingskeys.h"
#include "backfill/backfillimport.h"
#include "backfill/backfillrequest.h"
#include "backfill/mydownloader.h"
#include "platform/installpaths.h"
#include "platform/standin/quotestore.h"
#include "ui/eoddata.h"
#include "ui/mainwindow.h"
#include "ui/settingsdialog.h"

#include "../mainwindow/backfillwindowfixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSignalSpy>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

namespace {
constexpr int kBarsPerDay = 375;
const QString kDone = QStringLiteral("Backfill Done");

QMap<QString, qint64> storedCounts()
{
    QMap<QString, qint64> out;
    QuoteStore store;
    if (store.open(InstallPaths::databaseDir())) {
        for (const auto &s : store.symbols())
            out.insert(s.first, s.second);
    }
    return out;
}
} // namespace

class TestBackfillFlow : public QObject, protected BackfillWindowFixture
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(startServices()); }
    void cleanupTestCase() { m_hooks.uninstall(); }

    void init()
    {
        TestEnv::clearSettings();
        AppSettings().setValue(SettingsKeys::firstRun, false);
        QDir(InstallPaths::databaseDir()).removeRecursively();
        m_hooks.clear();
        QVERIFY(makeBackfillWindow({"1", "60", "90"}));
        QCOMPARE(m_server.control(QStringLiteral("http-fault normal")), QStringLiteral("ok"));
    }
    void cleanup() { m_window.reset(); }

    void backfillButtonImportsEveryRowUnderMappedNames()
    {
        AppSettings().setValue(SettingsKeys::symbolMappingEntries, QStringList{"NIFTY-I,NIFTY"});
        m_window->settingsDialog()->slowBackfillFlag = true;
        setWatchlist({"NIFTY", "M&M-I", "GOLDM-I"}, {"FUTURE", "FUTURE", "MCX"});
        const int before = m_server.requests().size();
        button()->click();
        QTRY_COMPARE_WITH_TIMEOUT(barText(), kDone, 60000);
        QCOMPARE(button()->text(), QStringLiteral("Backfill"));

        const QStringList requests = m_server.requests().mid(before);
        QCOMPARE(requests.size(), 3);
        const QString prefix = "GET /backfill1min?uid=VANTREL-DEMO-0001&hash=key-1&d=1&send=";
        QCOMPARE(requests, (QStringList{prefix + "NIFTY-I", prefix + "M%26M-I", prefix + "GOLDM-I"}));
        const auto counts = storedCounts();
        QCOMPARE(counts.value("NIFTY"), qint64(kBarsPerDay));
        QCOMPARE(counts.value("M&M-I"), qint64(kBarsPerDay));
        QCOMPARE(counts.value("GOLDM-I"), qint64(kBarsPerDay));
        QVERIFY(!counts.contains("NIFTY-I"));
        QVERIFY(m_hooks.boxes.isEmpty());
    }

    void stopEndsTheRunAndRowButtonStopsToo()
    {
        QCOMPARE(m_server.control(QStringLiteral("http-fault slow 3")), QStringLiteral("ok"));
        setWatchlist({"NIFTY-I", "GOLDM-I"}, {"FUTURE", "MCX"});
        const int before = m_server.requests().size();
        button()->click();
        QCOMPARE(button()->text(), QStringLiteral("Stop"));
        QCOMPARE(barText(), QStringLiteral("Starting Intraday Backfill..."));
        QTRY_COMPARE(m_server.requests().size(), before + 1);
        QTRY_VERIFY(barText().startsWith("(NIFTY-I) "));
        button()->click(); // reads "Stop"
        QCOMPARE(button()->text(), QStringLiteral("Backfill"));
        QVERIFY(m_window->liveUpdator()->backfillQueue.isEmpty());
        QVERIFY(!m_window->backfillDownloader()->requestTimer()->isActive());
        // The transfer in flight still completes and unpacks, but nothing asks for more.
        QTest::qWait(4500);
        QCOMPARE(m_server.requests().size(), before + 1);

        // A row's button during a run stops it instead of adding its symbol.
        QCOMPARE(m_server.control(QStringLiteral("http-fault normal")), QStringLiteral("ok"));
        button()->click();
        QCOMPARE(button()->text(), QStringLiteral("Stop"));
        auto *row = qobject_cast<QPushButton *>(child<QTableWidget>("displayTableWidget")->cellWidget(1, 3));
        QVERIFY(row);
        row->click();
        QCOMPARE(button()->text(), QStringLiteral("Backfill"));
        QVERIFY(m_window->liveUpdator()->backfillQueue.isEmpty());
    }

    void warningOnceAboveSixtyDays()
    {
        auto *days = child<QComboBox>("daysBox");
        days->setCurrentText("60");
        button()->click(); // empty table: the run ends at once
        QCOMPARE(barText(), kDone);
        QVERIFY(m_hooks.boxes.isEmpty());
        days->setCurrentText("90");
        button()->click();
        button()->click();
        QCOMPARE(m_hooks.boxes.size(), 1);
        QCOMPARE(m_hooks.boxes.at(0).title, QStringLiteral("Performance Warning"));
        QCOMPARE(m_hooks.boxes.at(0).text,
                 QStringLiteral("Downloading more than 60 days Backfill might slow down performance."));
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
        setWatchlist({"RELIANCE", "TCS", "NIFTY-I"}, {"CASH", "CASH", "FUTURE"});
        m_window->setOneDayUrl(QStringLiteral("http://127.0.0.1:%1/backfillS21/1/2026-01-05/oneday/")
                                   .arg(m_server.httpPort));
        for (int round = 0; round < 2; ++round) {
            child<QPushButton>("pushButton")->click();
            auto *dialog = m_window->findChild<eoddata *>();
            QVERIFY(dialog);
            dialog->findChild<QComboBox *>("eodFeedBox")->setCurrentText("CASH");
            dialog->findChild<QComboBox *>("eodDataSelectorBox")->setCurrentIndex(0);
            auto *box = dialog->findChild<QCheckBox *>("selectedSymbolsBackfill");
            if (box->isChecked() != watchlistOnly)
                box->click();
            const int before = m_server.requests().size();
            dialog->findChild<QPushButton *>("backfillButton")->click();
            QCOMPARE(barText(), QStringLiteral("Starting EOD Backfill..."));
            QTRY_COMPARE_WITH_TIMEOUT(barText(), QStringLiteral("EOD Backfill Done"), 60000);
            QCOMPARE(m_server.requests().mid(before),
                     QStringList{"GET /backfillS21/e/2026-01-05/oneday/CASH-1.zip"});
        }
        const auto counts = storedCounts();
        QVERIFY(counts.value("RELIANCE") > 0);
        QVERIFY(counts.value("TCS") > 0);
        QCOMPARE(counts.contains("INFY"), !watchlistOnly);
        QVERIFY(!counts.contains("NIFTY-I"));
        QVERIFY(QDir(InstallPaths::backfillDir()).isEmpty());
        QCOMPARE(AppSettings().value(SettingsKeys::lastFeed).toString(), QStringLiteral("CASH"));
    }

    void requestPiecesFromTheServerAreChecked()
    {
        using namespace BackfillRequest;
        QCOMPARE(intradayUrl("127.0.0.1:1/b", "ID", "k", "5", "M&M"), QStringLiteral("http://127.0.0.1:1/b?uid=ID&hash=k&d=5&send=M%26M"));
        for (const char *path : {"127.0.0.1/../x", "127.0.0.1/b?x=1", "127.0.0.1/b#f", "127.0.0.1 b", "http://127.0.0.1/b", ""})
            QVERIFY2(intradayUrl(path, "ID", "k", "5", "X").isEmpty(), path);
        QVERIFY(intradayUrl("127.0.0.1/b", "ID", "k&d=9", "5", "X").isEmpty());
        QVERIFY(intradayUrl("127.0.0.1/b", "ID", "k", "5 ", "X").isEmpty());
        QCOMPARE(intradayUrl("127.0.0.1/b", "ID", "k", "5", "A B"), QStringLiteral("http://127.0.0.1/b?uid=ID&hash=k&d=5&send=A%20B"));
        QVERIFY(oneDayUrl("http://127.0.0.1:1", "2026-01-05", "../x").isEmpty());
        QVERIFY(oneDayUrl("http://127.0.0.1:1", "2026/01", "p").isEmpty());
        QCOMPARE(symbolOfUrl("http://127.0.0.1/b?send=x&d=1&send=M%26M"), QStringLiteral("M&M"));
        QCOMPARE(intradayProgressValue(" 45.5% "), 46);
        QCOMPARE(intradayProgressValue("--%"), 0);
        QCOMPARE(intradayProgressValue("180%"), 100);
        QCOMPARE(intradayProgressText("", " "), QStringLiteral("--"));
        QString stored = "http://127.0.0.1:9/backfillS21/1/d/p/";
        QCOMPARE(eodUrl(&stored, eodRequestName("SPOT", 3)), QStringLiteral("http://127.0.0.1:9/backfillS21/e/d/p/SPOT-3.zip"));
        QCOMPARE(stored, QStringLiteral("http://127.0.0.1:9/backfillS21/e/d/p/"));
    }

    void requestValuesAreEncodedOrRefusedWithAReason_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("send"); // the URL's send= value; empty when refused
        QTest::addColumn<QString>("why");
        const QString p = "127.0.0.1:1/b";
        QTest::newRow("ampersand") << p << "k" << "M&M" << "M%26M" << "";
        QTest::newRow("blank") << p << "k" << "NIFTY 50" << "NIFTY%2050" << "";
        QTest::newRow("hash") << p << "k" << "X#1" << "X%231" << "";
        QTest::newRow("question mark") << p << "k" << "Q?" << "Q%3F" << "";
        QTest::newRow("percent") << p << "k" << "5%26" << "5%2526" << "";
        QTest::newRow("escape in symbol") << p << "k" << "A\x1b" << "" << "unusable symbol";
        QTest::newRow("port 65536") << "127.0.0.1:65536/b" << "k" << "X" << "" << "unusable backfill path";
        QTest::newRow("port -1") << "127.0.0.1:-1/b" << "k" << "X" << "" << "unusable backfill path";
        QTest::newRow("dot dot") << "127.0.0.1/../b" << "k" << "X" << "" << "unusable backfill path";
        QTest::newRow("empty path") << "" << "k" << "X" << "" << "unusable backfill path";
        QTest::newRow("user part") << "evil@127.0.0.1/b" << "k" << "X" << "" << "unusable backfill path";
        QTest::newRow("key with ampersand") << p << "k&d=9" << "X" << "" << "unusable key";
    }
    void requestValuesAreEncodedOrRefusedWithAReason()
    {
        QFETCH(QString, path);
        QFETCH(QString, key);
        QFETCH(QString, symbol);
        QFETCH(QString, send);
        QFETCH(QString, why);
        symbol.replace("\\x1b", QChar(0x1b));
        QString reason;
        const QString url = BackfillRequest::intradayUrl(path, "ID", key, "5", symbol, &reason);
        QCOMPARE(reason, why);
        if (send.isEmpty()) {
            QVERIFY(url.isEmpty());
            return;
        }
        QCOMPARE(url, "http://" + path + "?uid=ID&hash=" + key + "&d=5&send=" + send);
        QCOMPARE(BackfillRequest::symbolOfUrl(url), symbol);
    }

    void refusedSettingsShowTheReasonInsteadOfDone()
    {
        m_window->setBackfillPaths(QStringLiteral("127.0.0.1:65536/backfill"), QString());
        setWatchlist({"NIFTY-I", "GOLDM-I"}, {"FUTURE", "MCX"});
        const int before = m_server.requests().size();
        button()->click();
        QTRY_COMPARE(button()->text(), QStringLiteral("Backfill"));
        QCOMPARE(barText(), QStringLiteral("Backfill not requested: unusable backfill path"));
        QCOMPARE(child<QLabel>("statusLabel")->text(), barText());
        QCOMPARE(m_server.requests().size(), before);
        QFile log(InstallPaths::backfillErrorLog());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        QVERIFY2(text.contains(" - request not made (unusable backfill path) for NIFTY-I\n"), qPrintable(text));
    }

    void closeEndsARunningImportBeforeItsNextFile()
    {
        // Thousands of small files, as an archive of many entries unpacks; the close
        // arrives while the import runs in its worker thread.
        QDir().mkpath(InstallPaths::backfillDir());
        const int files = 3000;
        for (int i = 0; i < files; ++i) {
            QFile f(InstallPaths::backfillDir() + QStringLiteral("/s%1.txt").arg(i, 5, 10, QLatin1Char('0')));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("FUTURE,S" + QByteArray::number(i) + ",20261208,09:15:00,1,2,0.5,1.5,10,0\n");
        }
        m_window->show();
        QSignalSpy done(m_window->liveUpdator(), &liveDataUpdator::backfillDone);
        m_window->liveUpdator()->doBackFill();
        m_window->close();
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 60000);
        QVERIFY(!m_window->isVisible());
        // Nothing was lost: what was not imported waits in the folder for the next start.
        const int left = QDir(InstallPaths::backfillDir()).entryList(QDir::Files).size();
        QVERIFY2(left > files - BackfillImport::kMaxFilesPerChunk, qPrintable(QString::number(left)));
        QFile log(InstallPaths::backfillErrorLog());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains(" - import stopped; files not yet imported stay in "));
        QDir(InstallPaths::backfillDir()).removeRecursively();
    }

    void eodDialogRestoresItsChoices()
    {
        AppSettings().setValue(SettingsKeys::lastFeed, "FOREX");
        AppSettings().setValue(SettingsKeys::selectedSymbolsBackfill, false);
        eoddata dialog;
        QCOMPARE(dialog.findChild<QComboBox *>("eodFeedBox")->currentText(), QStringLiteral("CASH"));
        QVERIFY(!dialog.watchlistOnly());
        QVERIFY(!dialog.findChild<QCheckBox *>("selectedSymbolsBackfill")->isChecked());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Vantrel EOD"));
    }
};

QTEST_MAIN(TestBackfillFlow)
#include "tst_backfillflow.moc"
