#pragma once

#include "live/pollingrequest.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QThread;
class WebSocketWorker;

// The live side of the data server: the WebSocket worker in a thread of its own, made by
// the first start and re-subscribed by later ones, stopped only by stop() (the close
// sequence) or the end of its owner, and the HTTP polling request kept prepared for the
// watchlist. Its signals come in the owner's thread.
class LiveFeed : public QObject
{
    Q_OBJECT
public:
    // How long stop() waits for the feed thread before it is terminated.
    static constexpr unsigned long kStopWaitMs = 2000;

    explicit LiveFeed(QObject *parent = nullptr);
    // stop().
    ~LiveFeed() override;

    // The server record's WebSocketLink (blanks around it dropped).
    void setAddress(const QString &webSocketLink) { m_address = webSocketLink.trimmed(); }
    QString address() const { return m_address; }

    // Starts the feed for `symbols` (the default symbols while it is empty) with the user ID
    // (white space simplified), or re-subscribes a running one to them. Empty when it runs; otherwise why the address
    // cannot carry a WebSocket, and nothing was started.
    QString start(const QStringList &symbols, const QString &userId);
    // Re-subscribes a running feed; nothing without one.
    void resubscribe(const QStringList &symbols);
    // Quits the feed thread, waits kStopWaitMs and then terminates it.
    void stop();

    // Null until started, and again after stop().
    QThread *feedThread() const;
    WebSocketWorker *worker() const;

    // The polling endpoints from the server record, their blanks dropped.
    void setLivePaths(const QString &get, const QString &post);
    void setNetworkPaths(const QString &get, const QString &post);
    void setSecureKey(const QString &key) { m_endpoints.hash = key; }
    const PollingEndpoints &pollingEndpoints() const { return m_endpoints; }
    // The polling request: the first one at a connect, then the one for the watchlist
    // under the "Data Mode". Only kept ready: nothing polls.
    void prepareFirstPollingRequest(const QString &userId);
    void preparePollingRequest(int dataMode, const QString &userId, const QStringList &symbols);
    const PollingRequest &pollingRequest() const { return m_polling; }
    bool hasPollingRequest() const { return m_pollingPrepared; }

signals:
    // The feed stored a batch (tick file and latest batch buffer).
    void batchStored();
    void connected();
    void disconnected();

private:
    QString m_address;
    QPointer<QThread> m_thread;
    QPointer<WebSocketWorker> m_worker;
    PollingEndpoints m_endpoints;
    PollingRequest m_polling;
    bool m_pollingPrepared = false;
};
