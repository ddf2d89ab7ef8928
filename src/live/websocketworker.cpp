#include "live/websocketworker.h"

#include "live/jsonguard.h"

#include "live/latestbatch.h"
#include "live/pendingbatches.h"
#include "live/tickrecorder.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QWebSocket>

#include <atomic>
#include <cmath>

namespace {

constexpr int kHealthMs = 10000;
constexpr int kReconnectMs = 3000;
constexpr int kNetworkBackMs = 500;
constexpr int kHandshakeLimitMs = 10000;
constexpr int kStallMs = 30000;

std::atomic<double> g_intervalScale{1.0};
std::atomic<double> g_stallScale{1.0};

int scaledBy(int ms, double scale)
{
    const double v = std::round(ms * scale);
    return v < 1 ? 1 : static_cast<int>(v);
}

int scaled(int ms) { return scaledBy(ms, g_intervalScale.load()); }

const QString kUnsubscribeAll = QStringLiteral("{\"type\":\"unsubscribe_all\"}");

} // namespace

int WebSocketWorker::healthIntervalMs() { return scaled(kHealthMs); }
int WebSocketWorker::reconnectIntervalMs() { return scaled(kReconnectMs); }
int WebSocketWorker::networkBackIntervalMs() { return scaled(kNetworkBackMs); }
int WebSocketWorker::handshakeLimitMs() { return scaled(kHandshakeLimitMs); }
void WebSocketWorker::setIntervalScaleForTests(double scale)
{
    g_intervalScale.store(scale > 0 ? scale : 1.0);
}
int WebSocketWorker::stallLimitMs() { return scaledBy(kStallMs, g_stallScale.load()); }
void WebSocketWorker::setStallScaleForTests(double scale)
{
    g_stallScale.store(scale > 0 ? scale : 1.0);
}

WebSocketWorker::WebSocketWorker(QUrl url, QStringList symbols, QString fileName,
                                 QString machineId, QObject *parent)
    : QObject(parent)
    , m_url(std::move(url))
    , m_symbols(std::move(symbols))
    , m_tickFile(InstallPaths::rootSlashTrailing() + fileName)
    , m_machineId(std::move(machineId))
{
    // The import cycle expects the tick file to exist from the start.
    if (!m_tickFile.exists()) {
        if (m_tickFile.open(QIODevice::WriteOnly | QIODevice::Append))
            m_tickFile.close();
    }

    // The monitor stays in the constructing (GUI) thread, so this reaches us queued.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    connect(&m_networkMonitor, &QNetworkConfigurationManager::onlineStateChanged, this,
            &WebSocketWorker::onNetworkOnlineChanged);
    QT_WARNING_POP
}

WebSocketWorker::~WebSocketWorker()
{
    m_stoppedByUser = true;
    stop();
    if (m_socket) {
        // Not a child: it was created without a parent in the worker's thread.
        m_socket->disconnect(this);
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    if (m_healthTimer)
        m_healthTimer->deleteLater();
    if (m_reconnectTimer)
        m_reconnectTimer->deleteLater();
    if (m_stallTimer)
        m_stallTimer->deleteLater();
}

void WebSocketWorker::start()
{
    m_stoppedByUser = false;

    if (!m_healthTimer) {
        m_healthTimer = new QTimer(this);
        m_healthTimer->setInterval(healthIntervalMs());
        connect(m_healthTimer, &QTimer::timeout, this, &WebSocketWorker::checkHealth);
    }
    if (!m_reconnectTimer) {
        m_reconnectTimer = new QTimer(this);
        m_reconnectTimer->setSingleShot(false);
        connect(m_reconnectTimer, &QTimer::timeout, this, &WebSocketWorker::reconnectTimerHit);
    }
    if (!m_stallTimer) {
        m_stallTimer = new QTimer(this);
        m_stallTimer->setSingleShot(true);
        connect(m_stallTimer, &QTimer::timeout, this, &WebSocketWorker::checkStall);
    }

    openFreshSocket();
}

void WebSocketWorker::openFreshSocket()
{
    // A QWebSocket keeps the state of a frame it was reading when the link broke and,
    // reopened, waits for the rest of it on the next connection until it gives up and
    // closes that healthy connection too. Every attempt therefore gets a new socket.
    if (m_socket) {
        m_socket->disconnect(this);
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->abort();
        m_socket->deleteLater();
    }
    m_socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, nullptr);
    m_socket->setMaxAllowedIncomingMessageSize(kMaxIncomingBytes);
    m_socket->setMaxAllowedIncomingFrameSize(kMaxIncomingBytes);
    connect(m_socket, &QWebSocket::connected, this, &WebSocketWorker::onConnected);
    connect(m_socket, &QWebSocket::disconnected, this, &WebSocketWorker::onDisconnected);
    connect(m_socket, &QWebSocket::textMessageReceived, this,
            &WebSocketWorker::onTextMessageReceived);
    connect(m_socket, &QWebSocket::binaryMessageReceived, this,
            &WebSocketWorker::onBinaryMessageReceived);
    // Every frame counts, also the parts of a long message still being received, and so
    // does the answer to our ping: a quiet market still answers.
    connect(m_socket, &QWebSocket::textFrameReceived, this, [this] { noteSignOfLife(); });
    connect(m_socket, &QWebSocket::binaryFrameReceived, this, [this] { noteSignOfLife(); });
    connect(m_socket, &QWebSocket::pong, this, [this] { noteSignOfLife(); });
    connect(m_socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &WebSocketWorker::onErrorOccured);
    m_attempt.start();
    m_socket->open(m_url);
}

void WebSocketWorker::stop()
{
    m_stoppedByUser = true;
    m_subscribed = false;
    m_carriedOver.clear();

    if (m_healthTimer && m_healthTimer->isActive())
        m_healthTimer->stop();
    if (m_reconnectTimer && m_reconnectTimer->isActive())
        m_reconnectTimer->stop();
    if (m_stallTimer)
        m_stallTimer->stop();

    if (m_socket) {
        doUnsubscribeAll();
        m_socket->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("Stopped by user"));
    }

    // The tick file gets the last batch now rather than from the writer thread later.
    TickRecorder::writeTickFileNow();
    // Only the display's buffer is cleared. The kept batches are process-wide and stay:
    // after a Restart the next pass's cycle imports them, each once (a batch leaves the
    // queue when it is imported).
    LatestBatch::clear();
}

void WebSocketWorker::resubscribe(QStringList newSymbolsList)
{
    m_symbols = std::move(newSymbolsList);
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
        m_carriedOver.clear();
        scheduleReconnect();
        return;
    }
    // What the server may still be sending: the acknowledged list, and what an earlier
    // resubscribe still waiting for its acknowledgement carried over or asked for.
    QSet<QString> sendable = m_carriedOver;
    if (m_subscribed || !m_carriedOver.isEmpty())
        sendable.unite(QSet<QString>(m_sentSymbols.cbegin(), m_sentSymbols.cend()));
    m_carriedOver = sendable.intersect(QSet<QString>(m_symbols.cbegin(), m_symbols.cend()));
    QMetaObject::invokeMethod(this, "doUnsubscribeAll", Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, "doSubscribe", Qt::QueuedConnection);
}

void WebSocketWorker::setMachineId(QString machineId) { m_machineId = std::move(machineId); }

void WebSocketWorker::onConnected()
{
    emit connected();

    if (m_reconnectTimer && m_reconnectTimer->isActive())
        m_reconnectTimer->stop();
    if (m_healthTimer && !m_healthTimer->isActive())
        m_healthTimer->start();
    noteSignOfLife();
    m_abortedAsStalled = false;
    if (m_stallTimer)
        m_stallTimer->start(stallLimitMs());

    QJsonObject auth;
    auth.insert(QStringLiteral("type"), QStringLiteral("auth"));
    auth.insert(QStringLiteral("machine_id"),
                m_machineId.isEmpty() ? QStringLiteral("MISSING-MACHINE-ID") : m_machineId);
    sendJson(auth);

    QMetaObject::invokeMethod(this, "doSubscribe", Qt::QueuedConnection);
}

void WebSocketWorker::onDisconnected()
{
    emit disconnected();
    m_subscribed = false;
    m_carriedOver.clear();
    if (m_healthTimer)
        m_healthTimer->stop();
    if (m_stallTimer)
        m_stallTimer->stop();

    if (m_stoppedByUser)
        return;

    if (m_abortedAsStalled) {
        m_abortedAsStalled = false;
    } else if (m_socket) {
        qDebug().noquote() << QStringLiteral("Feed link dropped (close code %1%2); reconnecting")
                                  .arg(int(m_socket->closeCode()))
                                  .arg(m_socket->closeReason().isEmpty()
                                           ? QString()
                                           : QStringLiteral(", ") + m_socket->closeReason().left(120));
    }

    if (m_socket && m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    scheduleReconnect();
}

void WebSocketWorker::onTextMessageReceived(QString livedata)
{
    // The socket already refuses bigger messages; this also covers direct calls.
    if (static_cast<quint64>(livedata.size()) > kMaxIncomingBytes)
        return;

    const QByteArray text = livedata.toUtf8();
    if (!JsonGuard::hasUniqueKeys(text))
        return;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return;
    const QJsonObject message = doc.object();
    const QJsonValue type = message.value(QLatin1String("type"));
    if (!type.isString())
        return;

    const QString typeText = type.toString();
    if (typeText == QLatin1String("sub_ack"))
        handleSubAck(message);
    else if (typeText == QLatin1String("batch"))
        handleBatch(message);
}

void WebSocketWorker::onBinaryMessageReceived(QByteArray livedata)
{
    Q_UNUSED(livedata)
}

void WebSocketWorker::onErrorOccured(QAbstractSocket::SocketError error)
{
    if (m_stoppedByUser)
        return;
    if (m_socket) {
        qDebug().noquote() << QStringLiteral("Feed link error %1: %2")
                                  .arg(int(error))
                                  .arg(m_socket->errorString().left(200));
    }
    if (m_socket && m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    scheduleReconnect();
}

void WebSocketWorker::checkHealth()
{
    if (!m_socket)
        return;
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        if (!m_stoppedByUser)
            scheduleReconnect();
        return;
    }
    m_socket->ping(QByteArrayLiteral("hb"));
}

void WebSocketWorker::checkStall()
{
    if (m_stoppedByUser || !m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    const qint64 silent = m_sinceLife.elapsed();
    const qint64 left = stallLimitMs() - silent;
    if (left > 0) {
        m_stallTimer->start(int(left));
        return;
    }
    // The link may still read as connected for a long time (no FIN, no RST): only its
    // silence tells. It is dropped like any other lost link and reconnected the same way.
    qDebug().noquote() << QStringLiteral("Feed link stalled: no frame and no pong for %1 ms; "
                                         "aborting it and reconnecting")
                              .arg(silent);
    m_abortedAsStalled = true;
    m_subscribed = false;
    m_carriedOver.clear();
    m_socket->abort();
    scheduleReconnect();
}

void WebSocketWorker::reconnectTimerHit()
{
    if (m_stoppedByUser)
        return;
    if (!m_socket)
        return;
    // An attempt still in its opening handshake gets its time: replacing it at every hit
    // would never reach a server that answers slower than the retry interval.
    const QAbstractSocket::SocketState state = m_socket->state();
    const bool opening = state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState;
    if (opening && m_attempt.isValid() && m_attempt.elapsed() < handshakeLimitMs())
        return;
    openFreshSocket();
}

void WebSocketWorker::onNetworkOnlineChanged(bool isOnline)
{
    // A stopped feed stays closed whatever the network does.
    if (!isOnline || m_stoppedByUser)
        return;

    if (m_socket) {
        if (m_socket->state() == QAbstractSocket::ConnectedState)
            return;
        if (m_reconnectTimer)
            m_reconnectTimer->start(networkBackIntervalMs());
        else
            openFreshSocket();
        return;
    }
    if (m_reconnectTimer)
        m_reconnectTimer->start(networkBackIntervalMs());
}

void WebSocketWorker::doSubscribe()
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    QJsonObject subscribe;
    subscribe.insert(QStringLiteral("type"), QStringLiteral("subscribe"));
    subscribe.insert(QStringLiteral("symbols"), QJsonArray::fromStringList(m_symbols));
    sendJson(subscribe);
    m_sentSymbols = m_symbols;
}

void WebSocketWorker::doUnsubscribeAll()
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    m_socket->sendTextMessage(kUnsubscribeAll);
    m_subscribed = false;
}

void WebSocketWorker::scheduleReconnect()
{
    if (!m_reconnectTimer)
        return;
    m_reconnectTimer->setInterval(reconnectIntervalMs());
    m_reconnectTimer->start();
}

void WebSocketWorker::sendJson(const QJsonObject &message)
{
    // QJsonObject keeps its keys sorted, which is the order the server has always seen.
    m_socket->sendTextMessage(
        QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void WebSocketWorker::handleSubAck(const QJsonObject &message)
{
    if (message.value(QLatin1String("action")).toString() != QLatin1String("subscribe"))
        return;
    m_subscribed = true;
    m_carriedOver.clear();
    QStringList acked;
    const QJsonArray symbols = message.value(QLatin1String("symbols")).toArray();
    for (const QJsonValue &v : symbols)
        acked.append(v.toString());
    emit subscribedAck(acked);
}

void WebSocketWorker::handleBatch(const QJsonObject &message)
{
    if (!m_subscribed && m_carriedOver.isEmpty())
        return;
    const QJsonValue records = message.value(QLatin1String("records"));
    if (!records.isArray())
        return;
    const QByteArray lines = m_subscribed
        ? TickRecorder::recordLines(records.toArray())
        : TickRecorder::recordLines(records.toArray(), m_carriedOver);
    if (lines.isEmpty())
        return;
    TickRecorder::storeBatch(m_tickFile.fileName(), lines);
    emit rtDataDownloaded();
}
