#include "shell/startupcontroller.h"

#include "app/installlayout.h"
#include "app/processexit.h"
#include "app/settingskeys.h"
#include "app/userid.h"
#include "backfill/backfillrequest.h"
#include "live/livefeed.h"
#include "platform/desktop.h"
#include "platform/sessionsignals.h"
#include "platform/singleinstance.h"
#include "serverdb/serverdatabase.h"
#include "shell/splash.h"
#include "shell/updatehandover.h"
#include "ui/mainwindow.h"
#include "ui/messagehelper.h"
#include "update/buildversion.h"
#include "update/updateleftovers.h"
#include "update/updaterecovery.h"

#include <QApplication>
#include <QClipboard>
#include <QDebug>
#include <QPushButton>
#include <QSqlQuery>
#include <QSqlRecord>

StartupController::StartupController(QWidget *parent)
    : QDialog(parent)
{
    QFont f(QStringLiteral("Verdana"));
    f.setPixelSize(13);
    setFont(f);
    for (QWidget *w : findChildren<QWidget *>())
        w->setFont(f);
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);

    m_days = QStringList{QStringLiteral("1"),   QStringLiteral("3"),   QStringLiteral("5"),
              QStringLiteral("10"),  QStringLiteral("15"),  QStringLiteral("20"),
              QStringLiteral("30"),  QStringLiteral("60"),  QStringLiteral("90"),
              QStringLiteral("120"), QStringLiteral("180"), QStringLiteral("270"),
              QStringLiteral("365")};
    m_userId = UserId::current();

    m_update = new UpdateHandOver(this);
    connect(this, &StartupController::updateRequested, m_update, &UpdateHandOver::start);
    connect(m_update, &UpdateHandOver::abandoned, this, &StartupController::continueStartup);

    connect(&m_monitor, &ConnectivityMonitor::statusMessage, this, [this](const QString &text) {
        if (m_mainWindow)
            m_mainWindow->showStatusMessage(text);
    });

    // A session that asks the program to close or restart gets the same sequence as the
    // user's own close or Restart button.
    auto *session = new SessionSignals(this);
    connect(session, &SessionSignals::closeRequested, this, [this] {
        if (m_mainWindow && m_mainWindow->isVisible())
            m_mainWindow->close();
        else
            QCoreApplication::exit(0);
    });
    connect(session, &SessionSignals::restartRequested, this, [this] {
        if (m_mainWindow && m_mainWindow->isVisible())
            m_mainWindow->on_restartButton_clicked();
    });
}

StartupController::~StartupController()
{
    if (m_monitorTimer)
        m_monitorTimer->stop();
}

void StartupController::startupSequence()
{
    m_splash = std::make_unique<Splash>();
    m_splash->showAnimation();

    // One copy only. Before anything else touches the installation: an update killed
    // while it moved files is finished or undone, and what failed updates left goes,
    // by the one running copy alone.
    if (!claimSingleInstance())
        return;
    UpdateRecovery::finishInterruptedInstall();
    InstallLayout::prepare();
    UpdateLeftovers::removeAll();

    // Without the server database nothing can work.
    if (!openServerDatabase())
        return;
    m_mainWindow = std::make_unique<MainWindow>(m_database.get());

    m_monitorTimer = std::make_unique<QTimer>();
    m_monitorTimer->setInterval(kMonitorIntervalMs);
    connect(m_monitorTimer.get(), &QTimer::timeout, this, &StartupController::checkConnection);

    checkIfAlreadyExists();

    m_splash->hideSplash();
}

bool StartupController::claimSingleInstance()
{
    switch (SingleInstance::claim()) {
    case SingleInstance::Claim::Held:
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

bool StartupController::openServerDatabase()
{
    m_database = std::make_unique<ServerDatabase>();
    m_database->connect();
    if (m_database->openCheck())
        return true;

    qDebug() << "Server database cannot be opened:" << m_database->lastErrorText();
    const QUrl site = QUrl::fromUserInput(QString::fromUtf8(VANTREL_VENDOR_SITE));
    Desktop::openUrl(site);

    QMessageBox box(QMessageBox::Critical, QStringLiteral("Connection Error"),
                    QStringLiteral("Unable to connect to Server\n\n"
                                   "Kindly download and install latest version from the website."),
                    QMessageBox::NoButton, this);
    box.setInformativeText(m_database->lastErrorText());
    QPushButton *contactSupport = box.addButton(QStringLiteral("Contact Support"), QMessageBox::ActionRole);
    box.setDefaultButton(box.addButton(QMessageBox::Ok));
    MessageHelper::applyStyle(box);
    MessageHelper::exec(box);
    if (box.clickedButton() == contactSupport)
        Desktop::openUrl(site);
    ProcessExit::endNow(0);
    return false;
}

void StartupController::checkIfAlreadyExists()
{
    QSqlRecord record;
    if (!m_database || !m_database->serverSettingsRecord(m_userId, &record)) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Cannot Verify User"),
                            QStringLiteral("Please Check Network Connection"));
        ProcessExit::endNow(0);
        return;
    }

    m_record = record;
    const QString latest = record.value(QStringLiteral("LatestVersionRT")).toString();
    if (isNewerBuild(QCoreApplication::applicationVersion(), latest)) {
        MessageHelper::show(
            this, QMessageBox::Information, QStringLiteral("New Update"),
            QStringLiteral("A Latest Update is Available\n Application Will Restart after Update."));
        emit updateRequested(record.value(QStringLiteral("LatestVersionPath")).toString());
        return;
    }
    continueStartup();
}

void StartupController::continueStartup()
{
    // Also reached after a failed update: the record read by the check is still valid.
    const QSqlRecord record = m_record;
    if (!m_mainWindow)
        return;
    if (record.isEmpty() || record.value(QStringLiteral("MachineID")).isNull()) {
        // A saved watchlist stays as it is; the defaults only fill a store without one.
        SettingsKeys::writeFirstStartDefaults();
        showNotRegistered();
        ProcessExit::endNow(0);
        return;
    }

    applyRecord(record);
    const QString message = m_database->broadcastMessage();

    hide();
    m_monitorTimer->start(kMonitorIntervalMs);
    m_mainWindow->loadFullCatalogue();
    m_mainWindow->show();
    m_mainWindow->enableInterface(m_userId, m_days, message);
    qDebug().noquote() << "Vantrel: main window shown for user" << m_userId;

    const bool autoBackfill = AppSettings().value(SettingsKeys::autoBackfillChecked, false).toBool();
    backfillAtStartup(autoBackfill ? 5 : 1);
    // From here on a dropped link is revived by the client library, not given up.
    m_database->setStartupPhase(false);
}

bool StartupController::isNewerBuild(const QString &current, const QString &latest)
{
    return BuildVersion::isNewer(current, latest);
}

void StartupController::applyRecord(const QSqlRecord &record)
{
    auto text = [&record](const char *column) {
        return record.value(QLatin1String(column)).toString();
    };
    const QVariant allowed = record.value(QStringLiteral("SymbolAllowed"));
    int limit = 0;
    if (ServerDatabase::parseSymbolLimit(allowed, &limit)) {
        m_mainWindow->setSymbolLimit(limit);
    } else {
        qDebug() << "SymbolAllowed is not a whole number:" << allowed
                 << "- the saved watchlist is kept and additions are refused";
        m_mainWindow->setSymbolLimitUnreadable();
    }
    m_mainWindow->setSupportLink(text("contactSupportLink"));
    m_mainWindow->setSecureKey(text("SecureKey"));
    m_mainWindow->setBackfillPaths(text("txtBackfillPath"), text("txtBackfillPath1Min"));
    m_mainWindow->liveFeed()->setLivePaths(text("LiveDataPathGet"), text("LiveDataPathPost"));
    m_mainWindow->liveFeed()->setAddress(text("WebSocketLink"));
    m_mainWindow->liveFeed()->setNetworkPaths(text("NetworkDataPathGet"), text("NetworkDataPathPost"));
}

void StartupController::showNotRegistered()
{
    // Without a record the product used to end up with no window at all and a process
    // that never ended. Tell the user why and give them the ID to send to support.
    QMessageBox box(QMessageBox::Information, QStringLiteral("Account Not Registered"),
                    QStringLiteral("This user ID is not registered for Vantrel:\n\n%1\n\n"
                                   "Send this ID to support to activate your account.")
                        .arg(m_userId.isEmpty() ? QStringLiteral("(none)") : m_userId),
                    QMessageBox::Ok, this);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPushButton *copy = box.addButton(QStringLiteral("Copy ID"), QMessageBox::ActionRole);
    MessageHelper::applyStyle(box);
    MessageHelper::exec(box);
    if (box.clickedButton() == copy)
        QApplication::clipboard()->setText(m_userId);
}

void StartupController::backfillAtStartup(int days)
{
    m_startupBackfillDays = days;
    QString serverDate, oneDayPath, fiveDayPath;
    if (!m_mainWindow || !m_database->backfillSettings(&serverDate, &oneDayPath, &fiveDayPath)) {
        qDebug() << "Backfill settings cannot be read; no start-up backfill";
        return;
    }
    m_oneDayUrl = BackfillRequest::oneDayUrl(BackfillRequest::dataServerAddress(), serverDate, oneDayPath);
    m_mainWindow->setOneDayUrl(m_oneDayUrl);
    if (days == 5)
        m_mainWindow->do5DayBackfill();
}

void StartupController::checkConnection()
{
    // The check itself runs asynchronously with its own 5 s limit; a check still running
    // when the next timeout comes is not doubled.
    m_monitor.check();
}
