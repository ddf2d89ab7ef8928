// The backfill buttons of the main window, against the real server database, the
// devserver's HTTP side and the broker stand-in: what they ask of the backfill run and
// what the window shows of it. The run's own rules are tested without a window
// (tests/backfillrun).
#include "amibroker/liveimporter.h"
#include "app/settingskeys.h"
#include "backfill/backfillrun.h"
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

    void backfillButtonsStopARunningRun()
    {
        QCOMPARE(m_server.control(QStringLiteral("http-fault slow 3")), QStringLiteral("ok"));
        setWatchlist({"NIFTY-I", "GOLDM-I"}, {"FUTURE", "MCX"});
        m_window->setOneDayUrl(QStringLiteral("http://127.0.0.1:%1/backfillS21/1/2026-01-05/oneday/")
                                   .arg(m_server.httpPort));
        // The Backfill button, a row's button and the EOD dialog's request each stop a run
        // instead of starting one.
        for (int how = 0; how < 3; ++how) {
            const int before = m_server.requests().size();
            button()->click();
            QCOMPARE(button()->text(), QStringLiteral("Stop"));
            QCOMPARE(barText(), QStringLiteral("Starting Intraday Backfill..."));
            QTRY_COMPARE(m_server.requests().size(), before + 1);
            if (how == 0) {
                button()->click();
            } else if (how == 1) {
                auto *row = qobject_cast<QPushButton *>(child<QTableWidget>("displayTableWidget")->cellWidget(1, 3));
                QVERIFY(row);
                row->click();
            } else {
                child<QPushButton>("pushButton")->click();
                auto *dialog = m_window->findChild<eoddata *>();
                QVERIFY(dialog);
                dialog->findChild<QPushButton *>("backfillButton")->click();
                QCOMPARE(barText(), QStringLiteral("Backfill Stopped"));
            }
            QCOMPARE(button()->text(), QStringLiteral("Backfill"));
            QVERIFY(button()->isEnabled());
            QVERIFY(m_window->backfillRun()->isIdle());
            QVERIFY(m_window->backfillRun()->queue().isEmpty());
            QCOMPARE(m_server.requests().size(), before + 1);
        }
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

    void endOfDayThroughTheDialog()
    {
        setWatchlist({"RELIANCE", "TCS", "NIFTY-I"}, {"CASH", "CASH", "FUTURE"});
        m_window->setOneDayUrl(QStringLiteral("http://127.0.0.1:%1/backfillS21/1/2026-01-05/oneday/")
                                   .arg(m_server.httpPort));
        child<QPushButton>("pushButton")->click();
        auto *dialog = m_window->findChild<eoddata *>();
        QVERIFY(dialog);
        dialog->findChild<QComboBox *>("eodFeedBox")->setCurrentText("CASH");
        dialog->findChild<QComboBox *>("eodDataSelectorBox")->setCurrentIndex(0);
        auto *box = dialog->findChild<QCheckBox *>("selectedSymbolsBackfill");
        if (!box->isChecked())
            box->click();
        const int before = m_server.requests().size();
        dialog->findChild<QPushButton *>("backfillButton")->click();
        QCOMPARE(barText(), QStringLiteral("Starting EOD Backfill..."));
        QCOMPARE(button()->text(), QStringLiteral("Stop"));
        QTRY_COMPARE_WITH_TIMEOUT(barText(), QStringLiteral("EOD Backfill Done"), 60000);
        QCOMPARE(button()->text(), QStringLiteral("Backfill"));
        QCOMPARE(m_server.requests().mid(before), QStringList{"GET /backfillS21/e/2026-01-05/oneday/CASH-1.zip"});
        // Only the watchlist's files, as the dialog asked.
        const auto counts = storedCounts();
        QVERIFY(counts.value("TCS") > 0);
        QVERIFY(!counts.contains("INFY"));
        QCOMPARE(AppSettings().value(SettingsKeys::lastFeed).toString(), QStringLiteral("CASH"));
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
