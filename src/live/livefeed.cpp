#include "live/livefeed.h"

#include "app/settingskeys.h"
#include "live/feedaddress.h"
#include "live/websocketworker.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QThread>

LiveFeed::LiveFeed(QObject *parent) : QObject(parent) {}

LiveFeed::~LiveFeed() { stop(); }

QThread *LiveFeed::feedThread() const { return m_thread; }
WebSocketWorker *LiveFeed::worker() const { return m_worker; }

QString LiveFeed::start(const QStringList &symbols, const QString &userId)
{
    if (m_worker && m_thread && m_thread->isRunning()) {
        resubscribe(symbols);
        return QString();
    }
    if (m_thread) {
        // A thread that has ended already took its worker with it.
        m_thread->deleteLater();
        m_thread = nullptr;
        m_worker = nullptr;
    }

    QUrl url;
    const QString problem = FeedAddress::problem(m_address, &url);
    if (!problem.isEmpty()) {
        qDebug().noquote() << "Live feed not started:" << problem;
        return problem;
    }

    auto *thread = new QThread(this);
    auto *worker = new WebSocketWorker(url, symbols.isEmpty() ? SettingsKeys::defaultSymbols() : symbols,
                                       InstallPaths::tickFileName(), userId.simplified(), nullptr);
    worker->moveToThread(thread);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::started, worker, &WebSocketWorker::start);
    connect(worker, &WebSocketWorker::rtDataDownloaded, this, &LiveFeed::batchStored, Qt::QueuedConnection);
    connect(worker, &WebSocketWorker::connected, this, &LiveFeed::connected, Qt::QueuedConnection);
    connect(worker, &WebSocketWorker::disconnected, this, &LiveFeed::disconnected, Qt::QueuedConnection);
    m_thread = thread;
    m_worker = worker;
    thread->start();
    return QString();
}

void LiveFeed::resubscribe(const QStringList &symbols)
{
    if (m_worker)
        QMetaObject::invokeMethod(m_worker, "resubscribe", Qt::QueuedConnection, Q_ARG(QStringList, symbols));
}

void LiveFeed::stop()
{
    if (m_worker) {
        m_worker->deleteLater();
        m_worker = nullptr;
    }
    if (m_thread) {
        m_thread->quit();
        if (!m_thread->wait(kStopWaitMs)) {
            qDebug() << "Live-feed thread did not stop within" << kStopWaitMs << "ms; terminating it";
            m_thread->terminate();
            m_thread->wait();
        }
        m_thread->deleteLater();
        m_thread = nullptr;
    }
}

void LiveFeed::setLivePaths(const QString &get, const QString &post)
{
    m_endpoints.liveGet = get.trimmed();
    m_endpoints.livePost = post.trimmed();
}

void LiveFeed::setNetworkPaths(const QString &get, const QString &post)
{
    m_endpoints.networkGet = get.trimmed();
    m_endpoints.networkPost = post.trimmed();
}

void LiveFeed::prepareFirstPollingRequest(const QString &userId)
{
    m_polling = PollingRequest::initial(m_endpoints, userId);
    m_pollingPrepared = true;
}

void LiveFeed::preparePollingRequest(int dataMode, const QString &userId, const QStringList &symbols)
{
    m_polling = PollingRequest::forWatchlist(dataMode, m_endpoints, userId, symbols);
}
