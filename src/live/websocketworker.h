#pragma once

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QtGlobal>
// The bearer API is deprecated in Qt 5.15 but is still the one that reports the network
// coming back; only that warning is silenced.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
#include <QNetworkConfigurationManager>
QT_WARNING_POP
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QUrl>

class QWebSocket;

// The single live connection to the data server. Lives in its own thread: the main window
// creates it, moves it to the feed thread and talks to it only through queued calls
// ("resubscribe", "stop") and queued signals.
class WebSocketWorker : public QObject
{
    Q_OBJECT
public:
    WebSocketWorker(QUrl url, QStringList symbols, QString fileName, QString machineId,
                    QObject *parent = nullptr);
    ~WebSocketWorker() override;

    // Intervals (product values; tests may shorten them before start()).
    static int healthIntervalMs();
    static int reconnectIntervalMs();
    static int networkBackIntervalMs();
    // How long one attempt's opening handshake may take before a retry replaces it.
    static int handshakeLimitMs();
    static void setIntervalScaleForTests(double scale);
    // A connected link that shows no sign of life (no frame, no pong) for this long is
    // taken for dead. Scaled on its own so that tests with short ping intervals do not
    // also shorten it by accident.
    static int stallLimitMs();
    static void setStallScaleForTests(double scale);

    // Largest text message accepted from the server; bigger ones make the socket drop the
    // link (and reconnect) instead of buffering them.
    static constexpr quint64 kMaxIncomingBytes = 16u * 1024u * 1024u;

    // Introspection for tests and the owner.
    bool isSubscribed() const { return m_subscribed; }
    bool isStoppedByUser() const { return m_stoppedByUser; }
    QStringList symbols() const { return m_symbols; }
    QString tickFilePath() const { return m_tickFile.fileName(); }

signals:
    void rtDataDownloaded();
    void connected();
    void disconnected();
    void subscribedAck(QStringList symbols);

public slots:
    void start();
    void stop();
    void resubscribe(QStringList newSymbolsList);
    void setMachineId(QString machineId);

    void onConnected();
    void onDisconnected();
    void onTextMessageReceived(QString livedata);
    void onBinaryMessageReceived(QByteArray livedata);
    void onErrorOccured(QAbstractSocket::SocketError error);

    void checkHealth();
    void reconnectTimerHit();

    void onNetworkOnlineChanged(bool isOnline);

    void doSubscribe();
    void doUnsubscribeAll();

private:
    void scheduleReconnect();
    void openFreshSocket();
    void sendJson(const QJsonObject &message);
    void handleBatch(const QJsonObject &message);
    void handleSubAck(const QJsonObject &message);
    void noteSignOfLife() { m_sinceLife.restart(); }
    void checkStall();

    QWebSocket *m_socket = nullptr;
    QTimer *m_healthTimer = nullptr;
    QTimer *m_reconnectTimer = nullptr;
    // Single-shot; re-armed for the time still left, so a frame costs one clock read.
    QTimer *m_stallTimer = nullptr;
    QElapsedTimer m_sinceLife;
    QElapsedTimer m_attempt; // since the current socket was opened
    bool m_abortedAsStalled = false;
    QUrl m_url;
    QStringList m_symbols;
    QFile m_tickFile;
    bool m_subscribed = false;
    // The list of the last subscribe sent.
    QStringList m_sentSymbols;
    // While a resubscribe waits for its acknowledgement, batches the server sent before it
    // read the unsubscribe still arrive. Their records of symbols that were subscribed and
    // are still wanted are kept: dropping them would leave a hole at every watchlist change.
    QSet<QString> m_carriedOver;
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
    QNetworkConfigurationManager m_networkMonitor;
QT_WARNING_POP
    bool m_stoppedByUser = false;
    QString m_machineId;
};
