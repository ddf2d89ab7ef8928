// Construction, start-up fill, close sequence and restart of the main window.
#include "ui/mainwindow.h"

#include "amibroker/livedataupdator.h"
#include "app/applicationloop.h"
#include "app/processexit.h"
#include "app/settingskeys.h"
#include "backfill/backfillrun.h"
#include "live/pendingbatches.h"
#include "platform/brokerautomation.h"
#include "platform/brokerprocess.h"
#include "platform/brokerthread.h"
#include "platform/desktop.h"
#include "platform/installpaths.h"
#include "platform/singleinstance.h"
#include "serverdb/serverdatabase.h"
#include "ui/catalogue.h"
#include "ui/messagehelper.h"
#include "ui/settingsdialog.h"
#include "update/updateleftovers.h"

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

constexpr int kExitCommand = 33029; // the charting program's "exit" command (0x8105)

QString vendorSite() { return QString::fromUtf8(VANTREL_VENDOR_SITE); }

QString windowTitleText() { return vendorSite() + QStringLiteral(" (Vantrel 7.10)"); }

} // namespace

verodezuvivuderaz2::verodezuvivuderaz2(QWidget *parent) : QDialog(parent)
{
    // 1. Members.
    const QString title = windowTitleText();
    m_amibrokerDatabasePath = InstallPaths::databaseDir();
    m_urlScheme = QStringLiteral("http");
    m_endpoints.scheme = m_urlScheme;
    m_segmentFlags.fill(false);
    m_contactSupportLink = vendorSite();
    m_defaultSymbols = SettingsKeys::defaultSymbols();
    m_symbolLimit = 0;

    // 2. The form and its adjustments.
    ui.setupUi(this);
    ui.applyAdjustments(this);

    // 3. Uptime overlay.
    setupUptimeOverlay();

    // 4. Display refresh.
    m_displayRefreshTimer = new QTimer(this);
    m_displayRefreshTimer->setInterval(500);
    connect(m_displayRefreshTimer, &QTimer::timeout, this, &verodezuvivuderaz2::updateDisplayTable);
    m_displayRefreshTimer->start();

    // 5. Title and minimize button.
    setWindowTitle(title);
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);

    // 6. One copy only.
    if (!singleInstanceCheck())
        return;

    // 7. The backfill run with its downloader; nothing is requested before a run starts.
    setupBackfillRun();

    // 8. Settings dialog.
    m_settingsDialog = new settings(this);

    // 9. The worker with the database connection and the charting program's object. Before
    // it, what the user must know about kept ticks (an unusable spool, ticks dropped).
    connect(PendingBatches::notifier(), &PendingBatches::Notifier::statusText, this,
            &verodezuvivuderaz2::showStatusMessage, Qt::QueuedConnection);
    m_updator = std::make_unique<liveDataUpdator>();
    m_backfill->setBroker(m_updator->backfillBroker());

    // 10. Without the server database nothing can work.
    if (!databaseOpenCheck())
        return;

    // 11.
    for (QProgressBar *bar : {ui.progressBar, ui.progressBarRT}) {
        bar->setTextVisible(true);
        bar->setAlignment(Qt::AlignCenter);
    }

    // 12. First run of this installation.
    applyFirstRunValues();

    // 13. On later runs no segment is chosen yet, so this shows an empty list.
    segmentLoad(m_currentSegment);

    // 14. What an earlier run left unrepaired, and the bookkeeping of this one.
    m_backfill->setUpGapRepair();
    if (const auto ticked = m_backfill->tickedMinutes())
        m_updator->setTickedMinutes(ticked);

    m_constructed = true;
}

verodezuvivuderaz2::~verodezuvivuderaz2()
{
    // A window destroyed without its close sequence must still not leave a running
    // feed thread behind (destroying a running QThread aborts the process).
    stopLiveFeed();
}

void verodezuvivuderaz2::setBackfillPaths(const QString &txtBackfillPath,
                                          const QString &txtBackfillPath1Min)
{
    m_txtBackfillPath = txtBackfillPath.trimmed();
    m_txtBackfillPath1Min = txtBackfillPath1Min.trimmed();
}

void verodezuvivuderaz2::setLivePaths(const QString &get, const QString &post)
{
    m_endpoints.liveGet = get.trimmed();
    m_endpoints.livePost = post.trimmed();
}

void verodezuvivuderaz2::setNetworkPaths(const QString &get, const QString &post)
{
    m_endpoints.networkGet = get.trimmed();
    m_endpoints.networkPost = post.trimmed();
}

QString verodezuvivuderaz2::userIdText() const { return ui.machineIDLabel->text(); }

void verodezuvivuderaz2::setOneDayUrl(const QString &url)
{
    if (m_backfill)
        m_backfill->setOneDayUrl(url);
}

QString verodezuvivuderaz2::oneDayUrl() const { return m_backfill ? m_backfill->oneDayUrl() : QString(); }

bool verodezuvivuderaz2::singleInstanceCheck()
{
    switch (SingleInstance::claim()) {
    case SingleInstance::Claim::Held:
        // Only the one copy may clear what a failed or killed update left behind.
        UpdateLeftovers::removeAll();
        return true;
    case SingleInstance::Claim::Taken:
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Already Running"),
                            QStringLiteral("An Instance of Application is already Running...\n"
                                           "Close it to use here. Quiting!"));
        break;
    case SingleInstance::Claim::Unusable:
        // Without the lock a second copy could run beside this one: refuse instead.
        MessageHelper::show(this, QMessageBox::Critical, QStringLiteral("Cannot Start"),
                            QStringLiteral("Vantrel cannot make sure that it runs only once.\n\n")
                                + SingleInstance::problem());
        break;
    }
    ProcessExit::endNow(0);
    return false;
}

bool verodezuvivuderaz2::databaseOpenCheck()
{
    ServerDatabase *db = m_updator->serverDatabase();
    m_databaseOpen = db->openCheck();
    if (m_databaseOpen) {
        m_serverDatabase = db;
        m_database = m_updator->database();
        m_sharedQuery = m_updator->sharedQuery();
        return true;
    }

    qDebug() << "Server database cannot be opened:" << db->lastErrorText();
    const QUrl site = QUrl::fromUserInput(vendorSite());
    Desktop::openUrl(site);

    QMessageBox box(QMessageBox::Critical, QStringLiteral("Connection Error"),
                    QStringLiteral("Unable to connect to Server\n\n"
                                   "Kindly download and install latest version from the website."),
                    QMessageBox::NoButton, this);
    box.setInformativeText(db->lastErrorText());
    QPushButton *contactSupport =
        box.addButton(QStringLiteral("Contact Support"), QMessageBox::ActionRole);
    box.setDefaultButton(box.addButton(QMessageBox::Ok));
    MessageHelper::applyStyle(box);
    MessageHelper::exec(box);
    if (box.clickedButton() == contactSupport)
        Desktop::openUrl(site);
    ProcessExit::endNow(0);
    return false;
}

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

    if (!m_updator || m_updator->selectedSymbols.isEmpty()) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Select Symbols"),
                            QStringLiteral("No Symbol Selected.\nPlease Add Symbols for Live Data!"));
    }
}

void verodezuvivuderaz2::stopLiveFeed()
{
    if (m_feedWorker) {
        m_feedWorker->deleteLater();
        m_feedWorker = nullptr;
    }
    if (m_feedThread) {
        m_feedThread->quit();
        if (!m_feedThread->wait(2000)) {
            qDebug() << "Live-feed thread did not stop within 2000 ms; terminating it";
            m_feedThread->terminate();
            m_feedThread->wait();
        }
        m_feedThread->deleteLater();
        m_feedThread = nullptr;
    }
}

void verodezuvivuderaz2::writeSettingsOnClose()
{
    AppSettings store;
    for (int k = 0; k < Catalogue::kSegmentCount; ++k)
        store.setValue(SettingsKeys::segmentCheckbox(k), m_segmentFlags[k]);
    QStringList symbols = m_updator ? m_updator->selectedSymbols : QStringList();
    QStringList exchanges = m_updator ? m_updator->correspondingExchanges : QStringList();
    if (symbols.isEmpty() && !m_setAsideSymbols.isEmpty()) {
        symbols = m_setAsideSymbols;
        exchanges = m_setAsideExchanges;
    }
    store.setValue(SettingsKeys::selectedSymbolsList, symbols);
    store.setValue(SettingsKeys::corrExchList, exchanges);
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

namespace {

// The close sequence and Restart are the only places where the GUI thread waits for the
// charting program, and there only for a bounded time per call: a busy or hung charting
// program costs the close at most that long, after which it goes on without the answer.
BrokerThread *brokerOnClose(liveDataUpdator *updator)
{
    BrokerThread *broker = updator ? updator->brokerThread() : nullptr;
    if (!broker || !broker->waitUntilReady(BrokerThread::kCloseCallBoundMs) || !broker->automation())
        return nullptr;
    return broker;
}

void callOnClose(BrokerThread *broker, const QByteArray &call, const QVariantList &args = {})
{
    bool timedOut = false;
    broker->callAndWait(call, args, BrokerThread::kCloseCallBoundMs, &timedOut);
    if (timedOut) {
        qDebug().noquote() << QStringLiteral("The charting program did not answer %1 within %2 ms; "
                                             "closing goes on without it")
                                  .arg(QString::fromUtf8(call))
                                  .arg(BrokerThread::kCloseCallBoundMs);
    }
}

} // namespace

void verodezuvivuderaz2::saveBrokerDatabaseAndLayout()
{
    BrokerThread *broker = brokerOnClose(m_updator.get());
    if (!broker)
        return;
    callOnClose(broker, "SaveDatabase()");
    if (AppSettings().value(SettingsKeys::saveLayout, false).toBool())
        callOnClose(broker, QStringLiteral("SaveLayout(%1)").arg(InstallPaths::layoutFile()).toLocal8Bit());
}

void verodezuvivuderaz2::closeEvent(QCloseEvent *event)
{
    // A running backfill import ends before its next file; no request starts any more.
    if (m_backfill)
        m_backfill->stopForClose();
    stopLiveFeed();
    if (m_backfill)
        m_backfill->flushOutageState();
    writeSettingsOnClose();

    BrokerThread *broker = brokerOnClose(m_updator.get());
    if (broker)
        callOnClose(broker, "ExecuteCommand(int)", {kExitCommand});

    if (m_settingsDialog && m_settingsDialog->controlAmibrokerFlag) {
        if (broker)
            saveBrokerDatabaseAndLayout();
        hide();
        // The charting program needs a moment to finish its own shutdown before it is ended.
        QThread::msleep(1000);
        BrokerProcess::endBroker();
    }
    event->accept();
}

void verodezuvivuderaz2::reject() { close(); }

void verodezuvivuderaz2::on_restartButton_clicked()
{
    if (m_settingsDialog && m_settingsDialog->controlAmibrokerFlag && brokerOnClose(m_updator.get())) {
        saveBrokerDatabaseAndLayout();
        // Cleared first, so the close sequence below neither saves again nor ends the
        // charting program: a restart leaves it running.
        m_settingsDialog->controlAmibrokerFlag = false;
        AppSettings().setValue(SettingsKeys::controlAmibroker, false);
        QThread::msleep(500);
    }
    close();
    QCoreApplication::exit(ApplicationLoop::kRestartCode);
}
