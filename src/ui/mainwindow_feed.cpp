// The live feed behind the Connect button and the polling request kept for the watchlist.
#include "ui/mainwindow.h"

#include "amibroker/livedataupdator.h"
#include "app/settingskeys.h"
#include "backfill/backfillrun.h"
#include "live/feedaddress.h"
#include "live/websocketworker.h"
#include "platform/brokerthread.h"
#include "platform/installpaths.h"
#include "platform/windowfunctions.h"

#include <QDebug>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>

void verodezuvivuderaz2::on_connectButton_clicked()
{
    startLiveFeed();
    preparePollingRequest();
    WindowFunctions::raiseWindowTitled(QStringLiteral("AmiBroker"));
    if (m_updator) {
        // Made in the broker thread, its result of no consequence: the import calls report
        // their own failures. The cycle asked for next runs after it, so batches kept from
        // an earlier pass or run go into this database.
        m_updator->brokerThread()->call("LoadDatabase(QString&)", {m_amibrokerDatabasePath});
        m_updator->updateDataAmi();
    }
    ui.connectButton->setEnabled(false);
}

void verodezuvivuderaz2::startLiveFeed()
{
    const QStringList watchlist = m_updator ? m_updator->selectedSymbols : QStringList();

    if (m_feedWorker && m_feedThread && m_feedThread->isRunning()) {
        QMetaObject::invokeMethod(m_feedWorker, "resubscribe", Qt::QueuedConnection,
                                  Q_ARG(QStringList, watchlist));
        return;
    }
    if (m_feedThread) {
        // A thread that has ended already took its worker with it.
        m_feedThread->deleteLater();
        m_feedThread = nullptr;
        m_feedWorker = nullptr;
    }

    QUrl address;
    const QString problem = FeedAddress::problem(m_webSocketLink, &address);
    if (!problem.isEmpty()) {
        qDebug().noquote() << "Live feed not started:" << problem;
        showStatusMessage(QStringLiteral("<span style=\"color:#ff0000;\"><b>No live feed: %1</b></span>")
                              .arg(problem.toHtmlEscaped()));
        return;
    }

    auto *thread = new QThread(this);
    auto *worker = new WebSocketWorker(address,
                                       watchlist.isEmpty() ? m_defaultSymbols : watchlist,
                                       InstallPaths::tickFileName(),
                                       ui.machineIDLabel->text().simplified(), nullptr);
    worker->moveToThread(thread);

    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::started, worker, &WebSocketWorker::start);
    if (m_updator) {
        connect(worker, &WebSocketWorker::rtDataDownloaded, m_updator.get(),
                &liveDataUpdator::updateDataAmi, Qt::QueuedConnection);
    }
    connect(worker, &WebSocketWorker::rtDataDownloaded, this,
            &verodezuvivuderaz2::updateDisplayTable, Qt::QueuedConnection);
    connect(worker, &WebSocketWorker::connected, this,
            [this] { showStatusMessage(QStringLiteral("Live: Connected")); }, Qt::QueuedConnection);
    connect(worker, &WebSocketWorker::disconnected, this,
            [this] { showStatusMessage(QStringLiteral("Live: Disconnected")); },
            Qt::QueuedConnection);

    // The watchlist table marks quiet symbols only while the link is up.
    connect(worker, &WebSocketWorker::connected, this, [this] { m_quoteAges.linkUp(m_uptime.elapsed()); },
            Qt::QueuedConnection);
    connect(worker, &WebSocketWorker::disconnected, this, [this] { m_quoteAges.linkDown(); },
            Qt::QueuedConnection);
    // Outages and the return of the link, for the gap repair.
    if (m_backfill)
        m_backfill->followFeed(worker);

    // If the window goes away without its close sequence, the feed still stops. The
    // thread is the context: the handler must not touch the half-destroyed window.
    QPointer<WebSocketWorker> guardedWorker(worker);
    connect(this, &QObject::destroyed, thread, [thread, guardedWorker] {
        if (guardedWorker)
            QMetaObject::invokeMethod(guardedWorker, "stop", Qt::QueuedConnection);
        thread->quit();
        if (!thread->wait(2000)) {
            thread->terminate();
            thread->wait();
        }
    });

    m_feedThread = thread;
    m_feedWorker = worker;
    thread->start();
}

void verodezuvivuderaz2::preparePollingRequest()
{
    // Kept ready for the watchlist; nothing polls with it.
    m_pollingRequest = PollingRequest::initial(m_endpoints, ui.machineIDLabel->text());
    m_pollingPrepared = true;
}

void verodezuvivuderaz2::updateUrlDataState()
{
    const int dataMode = AppSettings().value(SettingsKeys::dataMode, 1).toInt();
    const QStringList symbols = m_updator ? m_updator->selectedSymbols : QStringList();
    m_pollingRequest =
        PollingRequest::forWatchlist(dataMode, m_endpoints, ui.machineIDLabel->text(), symbols);

    addDisplayTable();
    updateSymbolsSelectedLabel();
}
