// Construction, start-up fill, close sequence and restart of the main window.
#include "ui/mainwindow.h"

#include "amibroker/liveimporter.h"
#include "app/processexit.h"
#include "app/settingskeys.h"
#include "backfill/backfillrun.h"
#include "live/tickedminutes.h"
#include "live/datahealthmonitor.h"
#include "live/livefeed.h"
#include "live/pendingbatches.h"
#include "live/watchlist.h"
#include "platform/installpaths.h"
#include "ui/catalogue.h"
#include "ui/datahealthdialog.h"
#include "ui/messagehelper.h"
#include "ui/settingsdialog.h"
#include "ui/symbolpicker.h"
#include "ui/uptimeoverlay.h"
#include "ui/watchlisttable.h"
#include "ui/windowchoices.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

namespace {

QString vendorSite() { return QString::fromUtf8(VANTREL_VENDOR_SITE); }

QString windowTitleText() { return vendorSite() + QStringLiteral(" (Vantrel 7.10)"); }

} // namespace

MainWindow::MainWindow(ServerDatabase *database, QWidget *parent)
    : QDialog(parent), m_database(database), m_catalogue(database)
{
    // 1. Members.
    m_segmentFlags.fill(false);
    m_contactSupportLink = vendorSite();

    // 2. The form and its adjustments.
    ui.setupUi(this);
    ui.applyAdjustments(this);

    // 3. Uptime overlay.
    m_uptime = new UptimeOverlay(this);

    // 4. Display refresh.
    m_table = new WatchlistTable(ui.displayTableWidget);
    m_picker = std::make_unique<SymbolPicker>(ui.symbolsListWidget);
    m_displayRefreshTimer = new QTimer(this);
    m_displayRefreshTimer->setInterval(500);
    connect(m_displayRefreshTimer, &QTimer::timeout, this, &MainWindow::updateDisplayTable);
    m_displayRefreshTimer->start();

    // 5. Title and minimize button.
    setWindowTitle(windowTitleText());
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);

    // 6. The backfill run with its downloader; nothing is requested before a run starts.
    setupBackfillRun();

    // 7. Settings dialog.
    m_settingsDialog = new settings(this);

    // 8. The live side: the watchlist, the feed and the charting program's importer; the
    // backfill imports make their calls through the importer. Before it, what the user must know about
    // kept ticks (an unusable spool, ticks dropped).
    connect(PendingBatches::notifier(), &PendingBatches::Notifier::statusText, this,
            &MainWindow::showStatusMessage, Qt::QueuedConnection);
    m_watchlist = new Watchlist(this);
    m_feed = new LiveFeed(this);
    m_importer = std::make_unique<LiveImporter>();
    m_backfill->setBroker(m_importer->brokerCalls());

    // 9.
    for (QProgressBar *bar : {ui.progressBar, ui.progressBarRT}) {
        bar->setTextVisible(true);
        bar->setAlignment(Qt::AlignCenter);
    }

    // 10. First run of this installation.
    applyFirstRunValues();

    // 11. On later runs no segment is chosen yet, so this shows an empty list.
    segmentLoad(m_currentSegment);

    // 12. What an earlier run left unrepaired, and the bookkeeping of this one; then the
    // feed's reports reach the importer, the table and the repair.
    m_backfill->setUpGapRepair();
    if (const std::shared_ptr<TickedMinutes> ticked = m_backfill->tickedMinutes())
        m_importer->setTakenTicksObserver([ticked](const QByteArray &ticks) { ticked->note(ticks); });
    wireLiveSide();

    // 13. Which minutes of today each symbol has in the charting program.
    m_health = new DataHealthMonitor(InstallPaths::dayLedgerFile(), this);
    m_health->setHooks({[this] { return m_watchlist->symbols(); }, [this] { return m_backfill->busySymbols(); }});
    m_importer->setImportedTicksObserver(
        [ledger = m_health->ledger()](const QByteArray &ticks) { ledger->noteImported(ticks, DayLedger::Source::Live); });
    m_backfill->setDayLedger(m_health->ledger());
    connect(m_feed, &LiveFeed::connected, m_health, [this] { m_health->noteLink(true); });
    connect(m_feed, &LiveFeed::disconnected, m_health, [this] { m_health->noteLink(false); });
    connect(m_health, &DataHealthMonitor::summaryChanged, ui.dataHealthLabel, &QLabel::setText);
}

MainWindow::~MainWindow()
{
    // A window destroyed without its close sequence must still not leave a running feed
    // thread behind (destroying a running QThread aborts the process). The importer's
    // shutdown releases a backfill import waiting on the charting program before the
    // backfill imports wait for it.
    m_feed->stop();
    m_importer->shutdown();
}

void MainWindow::wireLiveSide()
{
    connect(m_watchlist, &Watchlist::changed, m_importer.get(),
            [this] { m_importer->setFollowedSymbols(m_watchlist->symbols()); });
    connect(m_feed, &LiveFeed::batchStored, m_importer.get(), &LiveImporter::importBatches);
    connect(m_feed, &LiveFeed::batchStored, this, &MainWindow::updateDisplayTable);
    connect(m_feed, &LiveFeed::connected, this, [this] { showStatusMessage(QStringLiteral("Live: Connected")); });
    connect(m_feed, &LiveFeed::disconnected, this,
            [this] { showStatusMessage(QStringLiteral("Live: Disconnected")); });
    // The watchlist table marks quiet symbols only while the link is up.
    connect(m_feed, &LiveFeed::connected, this, [this] { m_table->linkUp(m_uptime->elapsedMs()); });
    connect(m_feed, &LiveFeed::disconnected, this, [this] { m_table->linkDown(); });
    // Outages and the return of the link, for the gap repair.
    m_backfill->followFeed(m_feed);
}

void MainWindow::setSymbolLimit(int limit) { m_watchlist->setLimit(limit); }
void MainWindow::setSymbolLimitUnreadable() { m_watchlist->setLimitUnreadable(); }
int MainWindow::symbolLimit() const { return m_watchlist->limit(); }
void MainWindow::setSecureKey(const QString &key) { m_feed->setSecureKey(key); }
QString MainWindow::secureKey() const { return m_feed->pollingEndpoints().hash; }
QStringList MainWindow::defaultSymbolList() const { return SettingsKeys::defaultSymbols(); }
void MainWindow::setOneDayUrl(const QString &url) { m_backfill->setOneDayUrl(url); }
QString MainWindow::oneDayUrl() const { return m_backfill->oneDayUrl(); }

void MainWindow::setBackfillPaths(const QString &txtBackfillPath,
                                          const QString &txtBackfillPath1Min)
{
    m_txtBackfillPath = txtBackfillPath.trimmed();
    m_txtBackfillPath1Min = txtBackfillPath1Min.trimmed();
}

QString MainWindow::userIdText() const { return ui.machineIDLabel->text(); }

void MainWindow::applyFirstRunValues()
{
    if (!WindowChoices::takeFirstRun())
        return;
    if (ui.spotBox->isEnabled()) {
        ui.spotBox->setChecked(true);
        m_segmentFlags[5] = true;
        m_currentSegment = QStringLiteral("SPOTINDEX");
        segmentLoad(m_currentSegment);
    }
    if (ui.autofillCheckBox->isEnabled())
        ui.autofillCheckBox->setChecked(true);
    if (ui.autoFilldaysBox->isEnabled())
        ui.autoFilldaysBox->setCurrentText(QStringLiteral("5"));
}

void MainWindow::enableInterface(QString userId, QStringList daysbox, QString message)
{
    ui.daysBox->clear();
    ui.daysBox->addItems(daysbox);
    ui.messageBox->setText(message);
    ui.machineIDLabel->setText(userId);

    // The feed starts with the default symbols; the Add Symbol run below re-subscribes it
    // to the restored watchlist.
    ui.connectButton->hide();
    ui.connectButton->click();

    WindowChoices::restoreAutofill(ui.autofillCheckBox, ui.autoFilldaysBox);
    restoreWatchlist();
    for (const int k : WindowChoices::savedSegments())
        ui.segmentButton(k)->click();

    on_addSelected_clicked();

    if (m_watchlist->isEmpty()) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Select Symbols"),
                            QStringLiteral("No Symbol Selected.\nPlease Add Symbols for Live Data!"));
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A running backfill import ends before its next file; no request starts any more.
    m_backfill->stopForClose();
    m_feed->stop();
    m_backfill->flushOutageState();
    m_health->save();
    WindowChoices::saveAtClose(m_segmentFlags, *m_watchlist, ui.autofillCheckBox, ui.autoFilldaysBox, this);
    m_importer->closeBroker(m_settingsDialog->controlAmibrokerFlag, [this] { hide(); });
    event->accept();
}

void MainWindow::reject() { close(); }

void MainWindow::on_dataHealthButton_clicked() { DataHealthDialog::open(this, m_health, m_backfill); }

void MainWindow::on_restartButton_clicked()
{
    if (m_settingsDialog->controlAmibrokerFlag && m_importer->saveForRestart()) {
        // Cleared first, so the close sequence below neither saves again nor ends the
        // charting program: a restart leaves it running.
        m_settingsDialog->controlAmibrokerFlag = false;
        AppSettings().setValue(SettingsKeys::controlAmibroker, false);
        QThread::msleep(500);
    }
    close();
    QCoreApplication::exit(ProcessExit::kRestartCode);
}
