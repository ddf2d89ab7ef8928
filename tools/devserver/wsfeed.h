#pragma once

#include "tickgenerator.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <memory>
#include <vector>

class QWebSocket;
class QWebSocketServer;

struct FeedOptions
{
    double rate = 20;            // ticks per second over all subscribed symbols
    int batch = 10;              // records per frame at most
    int lingerMs = 100;          // a partly filled frame waits at most this long
    bool requireAuth = false;    // ignore subscribe until the client has authenticated
    qint64 stopAfterTicks = 0;   // 0: never stop generating
    qint64 dropAfterTicks = 0;   // 0: never drop on its own
    QString logSentPath;         // empty: no sent log
    quint32 seed = 0;
    // Symbols once subscribed keep trading when no client wants them any more, as a real
    // market does while a client is away.
    bool keepMarket = false;
};

class MinuteBars;
class QTcpServer;
class QTcpSocket;

// The WebSocket side of the data server: accepts any path, answers auth / subscribe /
// unsubscribe_all and streams "batch" frames for the subscribed symbols.
//
// One market for everybody: ticks are generated for the union of all subscriptions, round
// robin over that union at the configured total rate, and each tick goes to every client
// that subscribed its symbol.
class WsFeed : public QObject
{
    Q_OBJECT
public:
    explicit WsFeed(const FeedOptions &options, QObject *parent = nullptr);
    ~WsFeed() override;

    bool listen(const QHostAddress &address, quint16 port, QString *error);
    QHostAddress serverAddress() const;
    quint16 serverPort() const;

    // Test and benchmark controls.
    void dropAll();
    // Starts a large frame on every link and aborts it before the frame is out. Returns
    // the bytes that never left (0 means the frame went out whole after all).
    qint64 cutMidFrame();
    bool sendMalformed(const QString &kind, QString *error);
    static QStringList malformedKinds();
    void pause();
    void resume();
    void setRate(double ticksPerSecond);
    QJsonObject stats() const;
    // Links open now get no more frames and no pongs; their TCP connections stay open.
    int mute();
    // New connections are refused (nothing listens) for this long.
    void refuse(int seconds);
    bool isRefusing() const { return m_refusing; }
    // Every generated tick also goes into these bars (not owned; may be null).
    void setMinuteBars(MinuteBars *bars) { m_bars = bars; }

    // Closes every client with "going away" and stops listening.
    void shutdown();

private slots:
    void onNewConnection();
    void onTextMessage(const QString &text);
    void onClientGone();
    void onTimer();
    void onTcpConnection();

private:
    struct Client
    {
        QWebSocket *socket = nullptr;
        bool authenticated = false;
        QString machineId;
        QStringList symbols;
        QSet<QString> symbolSet;
        QVector<Tick> pending;
        qint64 firstPendingMs = 0;
        QPointer<QTcpSocket> tcp;
        bool muted = false;
    };

    Client *clientFor(QObject *socket);
    void handleSubscribe(Client &c, const QJsonObject &msg);
    void handleUnsubscribeAll(Client &c);
    void rebuildUniverse();
    void rebase();
    bool generating() const;
    void updateTimer();
    void emitTick(qint64 nowMs);
    void flush(Client &c);
    void flushAll();
    void sendText(Client &c, const QByteArray &utf8);
    void sendBatch(Client &c, const QVector<Tick> &ticks);
    void abortAll();

    FeedOptions m_opt;
    TickGenerator m_generator;
    QWebSocketServer *m_server = nullptr; // handshakes only: m_tcp accepts
    QTcpServer *m_tcp = nullptr;
    QHostAddress m_address;
    quint16 m_port = 0;
    QHash<quint16, QPointer<QTcpSocket>> m_handshaking; // by peer port
    bool m_refusing = false;
    QTimer m_refuseTimer;
    MinuteBars *m_bars = nullptr;
    qint64 m_mutes = 0;
    qint64 m_refusals = 0;
    std::vector<std::unique_ptr<Client>> m_clients;  // connection order
    QStringList m_universe;     // union of subscriptions
    int m_roundRobin = 0;

    QTimer m_timer;
    QElapsedTimer m_clock;      // since the last rebase of the rate accumulator
    qint64 m_dueBase = 0;       // ticks emitted since the last rebase
    bool m_paused = false;
    bool m_generating = false;  // state at the last updateTimer()
    bool m_generationDone = false;
    bool m_dropDone = false;

    QFile m_sentLog;
    QElapsedTimer m_uptime;

    qint64 m_ticks = 0;
    qint64 m_records = 0;
    qint64 m_frames = 0;
    qint64 m_bytes = 0;
    qint64 m_connections = 0;
    qint64 m_drops = 0;
};
