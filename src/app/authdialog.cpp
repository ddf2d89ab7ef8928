#include "app/authdialog.h"

#include "amibroker/livedataupdator.h"
#include "app/installlayout.h"
#include "app/processexit.h"
#include "app/settingskeys.h"
#include "app/startupanimation.h"
#include "app/userid.h"
#include "backfill/backfillrequest.h"
#include "serverdb/serverdatabase.h"
#include "platform/sessionsignals.h"
#include "ui/mainwindow.h"
#include "ui/messagehelper.h"
#include "update/buildversion.h"
#include "update/updatehandover.h"
#include "update/updaterecovery.h"

#include <QApplication>
#include <QClipboard>
#include <QDebug>
#include <QPushButton>
#include <QSqlQuery>
#include <QSqlRecord>

authDialog::authDialog(QWidget *parent)
    : QDialog(parent)
{
    QFont f(QStringLiteral("Verdana"));
    f.setPixelSize(13);
    setFont(f);
    for (QWidget *w : findChildren<QWidget *>())
        w->setFont(f);
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);

    m_defaultSymbols = SettingsKeys::defaultSymbols();
    m_defaultExchanges = SettingsKeys::defaultExchanges();
    m_days = QStringList{QStringLiteral("1"),   QStringLiteral("3"),   QStringLiteral("5"),
              QStringLiteral("10"),  QStringLiteral("15"),  QStringLiteral("20"),
              QStringLiteral("30"),  QStringLiteral("60"),  QStringLiteral("90"),
              QStringLiteral("120"), QStringLiteral("180"), QStringLiteral("270"),
              QStringLiteral("365")};
    m_userId = UserId::current();

    m_update = new UpdateHandOver(this);
    connect(this, &authDialog::updateRequested, m_update, &UpdateHandOver::start);
    connect(m_update, &UpdateHandOver::abandoned, this, &authDialog::continueStartup);

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

authDialog::~authDialog()
{
    if (m_monitorTimer)
        m_monitorTimer->stop();
}

void authDialog::startupSequence()
{
    m_animation = std::make_unique<startupAnimation>();
    m_animation->showAnimation();

    // An update killed while it moved files is finished or undone before anything reads
    // the installation.
    UpdateRecovery::finishInterruptedInstall();
    InstallLayout::prepare();

    m_mainWindow = std::make_unique<verodezuvivuderaz2>(nullptr);
    if (!m_mainWindow->isConstructed())
        return; // a start-up check ended the process (only seen when the end is hooked)

    m_monitorTimer = std::make_unique<QTimer>();
    m_monitorTimer->setInterval(kMonitorIntervalMs);
    connect(m_monitorTimer.get(), &QTimer::timeout, this, &authDialog::checkConnection);

    if (liveDataUpdator *updator = m_mainWindow->liveUpdator()) {
        m_db = updator->database();
        m_query = updator->sharedQuery();
    }

    checkIfAlreadyExists();

    m_animation->hideSplash();
}

void authDialog::checkIfAlreadyExists()
{
    liveDataUpdator *updator = m_mainWindow ? m_mainWindow->liveUpdator() : nullptr;
    QSqlRecord record;
    if (!updator || !updator->serverDatabase()->serverSettingsRecord(m_userId, &record)) {
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

void authDialog::continueStartup()
{
    // Also reached after a failed update: the record read by the check is still valid.
    liveDataUpdator *updator = m_mainWindow ? m_mainWindow->liveUpdator() : nullptr;
    const QSqlRecord record = m_record;
    if (!updator)
        return;
    if (record.isEmpty() || record.value(QStringLiteral("MachineID")).isNull()) {
        // A saved watchlist stays as it is; the defaults only fill a store without one.
        SettingsKeys::writeFirstStartDefaults();
        showNotRegistered();
        ProcessExit::endNow(0);
        return;
    }

    applyRecord(record);
    const QString message = updator->serverDatabase()->broadcastMessage();

    hide();
    m_monitorTimer->start(kMonitorIntervalMs);
    m_mainWindow->loadFullCatalogue();
    m_mainWindow->show();
    m_mainWindow->enableInterface(m_userId, m_days, message);
    qDebug().noquote() << "Vantrel: main window shown for user" << m_userId;

    const bool autoBackfill = AppSettings().value(SettingsKeys::autoBackfillChecked, false).toBool();
    backfillAtStartup(autoBackfill ? 5 : 1);
    // From here on a dropped link is revived by the client library, not given up.
    updator->serverDatabase()->setStartupPhase(false);
}

bool authDialog::isNewerBuild(const QString &current, const QString &latest)
{
    return BuildVersion::isNewer(current, latest);
}

void authDialog::applyRecord(const QSqlRecord &record)
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
    m_mainWindow->setLivePaths(text("LiveDataPathGet"), text("LiveDataPathPost"));
    m_mainWindow->setWebSocketLink(text("WebSocketLink"));
    m_mainWindow->setNetworkPaths(text("NetworkDataPathGet"), text("NetworkDataPathPost"));
}

void authDialog::showNotRegistered()
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

void authDialog::backfillAtStartup(int days)
{
    m_startupBackfillDays = days;
    liveDataUpdator *updator = m_mainWindow ? m_mainWindow->liveUpdator() : nullptr;
    QString serverDate, oneDayPath, fiveDayPath;
    if (!updator || !updator->serverDatabase()->backfillSettings(&serverDate, &oneDayPath, &fiveDayPath)) {
        qDebug() << "Backfill settings cannot be read; no start-up backfill";
        return;
    }
    m_oneDayUrl = BackfillRequest::oneDayUrl(BackfillRequest::dataServerAddress(), serverDate, oneDayPath);
    m_mainWindow->setOneDayUrl(m_oneDayUrl);
    if (days == 5)
        m_mainWindow->do5DayBackfill();
}

void authDialog::checkConnection()
{
    // The check itself runs asynchronously with its own 5 s limit; a check still running
    // when the next timeout comes is not doubled.
    m_monitor.check();
}
