// Construction, start-up fill, close sequence and restart of the main window.
#include "ui/mainwindow.h"

#include "amibroker/liveimporter.h"
#include "app/processexit.h"
#include "app/settingskeys.h"
#include "backfill/backfillrun.h"
#include "backfill/tickedminutes.h"
#include "live/livefeed.h"
#include "live/pendingbatches.h"
#include "live/watchlist.h"
#include "platform/installpaths.h"
#include "ui/catalogue.h"
#include "ui/messagehelper.h"
#include "ui/settingsdialog.h"
#include "ui/uptimeoverlay.h"
#include "ui/watchlisttable.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
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

verodezuvivuderaz2::verodezuvivuderaz2(ServerDatabase *database, QWidget *parent)
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
    m_displayRefreshTimer = new QTimer(this);
    m_displayRefreshTimer->setInterval(500);
    connect(m_displayRefreshTimer, &QTimer::timeout, this, &verodezuvivuderaz2::updateDisplayTable);
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
            &verodezuvivuderaz2::showStatusMessage, Qt::QueuedConnection);
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
}

verodezuvivuderaz2::~verodezuvivuderaz2()
{
    // A window destroyed without its close sequence must still not leave a running feed
    // thread behind (destroying a running QThread aborts the process). The importer's
    // shutdown releases a backfill import waiting on the charting program before the
    // backfill imports wait for it.
    m_feed->stop();
    m_importer->shutdown();
}

void verodezuvivuderaz2::wireLiveSide()
{
    connect(m_watchlist, &Watchlist::changed, m_importer.get(),
            [this] { m_importer->setFollowedSymbols(m_watchlist->symbols()); });
    connect(m_feed, &LiveFeed::batchStored, m_importer.get(), &LiveImporter::importBatches);
    connect(m_feed, &LiveFeed::batchStored, this, &verodezuvivuderaz2::updateDisplayTable);
    connect(m_feed, &LiveFeed::connected, this, [this] { showStatusMessage(QStringLiteral("Live: Connected")); });
    connect(m_feed, &LiveFeed::disconnected, this,
            [this] { showStatusMessage(QStringLiteral("Live: Disconnected")); });
    // The watchlist table marks quiet symbols only while the link is up.
    connect(m_feed, &LiveFeed::connected, this, [this] { m_table->linkUp(m_uptime->elapsedMs()); });
    connect(m_feed, &LiveFeed::disconnected, this, [this] { m_table->linkDown(); });
    // Outages and the return of the link, for the gap repair.
    m_backfill->followFeed(m_feed);
}

void verodezuvivuderaz2::setSymbolLimit(int limit) { m_watchlist->setLimit(limit); }
void verodezuvivuderaz2::setSymbolLimitUnreadable() { m_watchlist->setLimitUnreadable(); }
int verodezuvivuderaz2::symbolLimit() const { return m_watchlist->limit(); }
void verodezuvivuderaz2::setSecureKey(const QString &key) { m_feed->setSecureKey(key); }
QString verodezuvivuderaz2::secureKey() const { return m_feed->pollingEndpoints().hash; }
QStringList verodezuvivuderaz2::defaultSymbolList() const { return SettingsKeys::defaultSymbols(); }
void verodezuvivuderaz2::setOneDayUrl(const QString &url) { m_backfill->setOneDayUrl(url); }
QString verodezuvivuderaz2::oneDayUrl() const { return m_backfill->oneDayUrl(); }

void verodezuvivuderaz2::setBackfillPaths(const QString &txtBackfillPath,
                                          const QString &txtBackfillPath1Min)
{
    m_txtBackfillPath = txtBackfillPath.trimmed();
    m_txtBackfillPath1Min = txtBackfillPath1Min.trimmed();
}

QString verodezuvivuderaz2::userIdText() const { return ui.machineIDLabel->text(); }

void verodezuvivuderaz2::applyFirstRunValues()
{
    if (!AppSettings().value(SettingsKeys::firstRun, true).toBool())
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

    AppSettings store;
    store.setValue(SettingsKeys::firstRun, false);
    store.setValue(SettingsKeys::autoBackfillChecked, true);
    store.setValue(SettingsKeys::autoFilldays, QStringLiteral("5"));
    store.sync();
}

void verodezuvivuderaz2::enableInterface(QString userId, QStringList daysbox, QString message)
{
    ui.daysBox->clear();
    ui.daysBox->addItems(daysbox);
    ui.messageBox->setText(message);
    ui.machineIDLabel->setText(userId);

    // The feed starts with the default symbols; the Add Symbol run below re-subscribes it
    // to the restored watchlist.
    ui.connectButton->hide();
    ui.connectButton->click();

    {
        AppSettings store;
        ui.autofillCheckBox->setChecked(store.value(SettingsKeys::autoBackfillChecked, false).toBool());
        ui.autoFilldaysBox->setCurrentText(store.value(SettingsKeys::autoFilldays, QString()).toString());
    }

    restoreWatchlist();

    for (int k = 0; k < Catalogue::kSegmentCount; ++k) {
        const bool checked =
            AppSettings().value(QStringLiteral("checkbox") + QString::number(k), false).toBool();
        if (checked)
            ui.segmentButton(k)->click();
    }

    on_addSelected_clicked();

    if (m_watchlist->isEmpty()) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Select Symbols"),
                            QStringLiteral("No Symbol Selected.\nPlease Add Symbols for Live Data!"));
    }
}

void verodezuvivuderaz2::writeSettingsOnClose()
{
    AppSettings store;
    for (int k = 0; k < Catalogue::kSegmentCount; ++k)
        store.setValue(SettingsKeys::segmentCheckbox(k), m_segmentFlags[k]);
    m_watchlist->save(store);
    store.setValue(SettingsKeys::autoBackfillChecked, ui.autofillCheckBox->isChecked());
    store.setValue(SettingsKeys::autoFilldays, ui.autoFilldaysBox->currentText());
    // A store that cannot be written (a folder in its place, an immutable file) would lose
    // the whole session's changes without a word.
    store.sync();
    if (store.status() != QSettings::NoError) {
        qDebug().noquote() << "Settings could not be written to" << store.fileName()
                           << "status" << store.status();
        MessageHelper::show(this, QMessageBox::Warning, QStringLiteral("Settings Not Saved"),
                            QStringLiteral("Your settings could not be written to\n%1\n\n"
                                           "The watchlist and the choices of this session are "
                                           "not kept for the next start.")
                                .arg(QDir::toNativeSeparators(store.fileName())));
    }
}

void verodezuvivuderaz2::closeEvent(QCloseEvent *event)
{
    // A running backfill import ends before its next file; no request starts any more.
    m_backfill->stopForClose();
    m_feed->stop();
    m_backfill->flushOutageState();
    writeSettingsOnClose();
    m_importer->closeBroker(m_settingsDialog->controlAmibrokerFlag, [this] { hide(); });
    event->accept();
}

void verodezuvivuderaz2::reject() { close(); }

void verodezuvivuderaz2::on_restartButton_clicked()
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
