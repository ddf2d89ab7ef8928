#include "wsfeed.h"

#include "minutebars.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <cmath>

namespace {

// Short enough that a 2,000 ticks/s stream leaves each pass with a handful of ticks, long
// enough that an idle-but-subscribed server costs nothing worth measuring.
constexpr int kPassIntervalMs = 10;
constexpr int kHugeFrameBytes = 20 * 1024 * 1024;
const char *const kFallbackSymbol = "NIFTY-I";

QByteArray subAck(const QString &action, const QStringList &symbols)
{
    // Key order as the vendor's server writes it; readers do not depend on it.
    QByteArray out = "{\"type\":\"sub_ack\",\"action\":" + TickGenerator::jsonString(action)
                     + ",\"symbols\":[";
    for (int i = 0; i < symbols.size(); ++i) {
        if (i)
            out += ',';
        out += TickGenerator::jsonString(symbols.at(i));
    }
    out += "]}";
    return out;
}

} // namespace

WsFeed::WsFeed(const FeedOptions &options, QObject *parent)
    : QObject(parent)
    , m_opt(options)
    , m_generator(options.seed)
{
    m_opt.batch = std::max(1, m_opt.batch);
    m_opt.lingerMs = std::max(0, m_opt.lingerMs);
    m_timer.setInterval(kPassIntervalMs);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &WsFeed::onTimer);
    m_refuseTimer.setSingleShot(true);
    connect(&m_refuseTimer, &QTimer::timeout, this, [this] {
        if (!m_tcp->listen(m_address, m_port))
            qWarning().noquote() << "vantrel-devserver: cannot listen again:" << m_tcp->errorString();
        m_refusing = false;
        qInfo().noquote() << "vantrel-devserver: accepting connections again";
    });
    m_uptime.start();
}

WsFeed::~WsFeed() = default;

bool WsFeed::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (!m_opt.logSentPath.isEmpty()) {
        m_sentLog.setFileName(m_opt.logSentPath);
        if (!m_sentLog.open(QIODevice::WriteOnly | QIODevice::Append)) {
            if (error)
                *error = QStringLiteral("cannot open sent log %1: %2")
                             .arg(m_opt.logSentPath, m_sentLog.errorString());
            return false;
        }
    }
    m_server = new QWebSocketServer(QStringLiteral("vantrel-devserver"),
                                    QWebSocketServer::NonSecureMode, this);
    connect(m_server, &QWebSocketServer::newConnection, this, &WsFeed::onNewConnection);
    // TCP is accepted here and handed over for the handshake, so that a link can later be
    // muted at the TCP level (the WebSocket answers pings by itself otherwise) and new
    // connections refused by not listening.
    m_tcp = new QTcpServer(this);
    connect(m_tcp, &QTcpServer::newConnection, this, &WsFeed::onTcpConnection);
    if (!m_tcp->listen(address, port)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1:%2: %3")
                         .arg(address.toString())
                         .arg(port)
                         .arg(m_tcp->errorString());
        return false;
    }
    m_address = address;
    m_port = m_tcp->serverPort();
    return true;
}

QHostAddress WsFeed::serverAddress() const { return m_tcp ? m_address : QHostAddress(); }

quint16 WsFeed::serverPort() const { return m_port; }

void WsFeed::onTcpConnection()
{
    while (QTcpSocket *tcp = m_tcp->nextPendingConnection()) {
        m_handshaking.insert(tcp->peerPort(), tcp);
        m_server->handleConnection(tcp);
    }
}

int WsFeed::mute()
{
    int muted = 0;
    for (const auto &c : m_clients) {
        if (c->muted)
            continue;
        c->muted = true;
        c->pending.clear();
        // Nothing is read any more, so no ping gets its pong; the socket stays open.
        if (c->tcp)
            QObject::disconnect(c->tcp, &QIODevice::readyRead, nullptr, nullptr);
        ++muted;
    }
    ++m_mutes;
    qInfo().noquote() << "vantrel-devserver: muted" << muted << "link(s)";
    return muted;
}

void WsFeed::refuse(int seconds)
{
    if (!m_tcp)
        return;
    m_tcp->close();
    m_refusing = true;
    ++m_refusals;
    m_refuseTimer.start(std::max(0, seconds) * 1000);
    qInfo().noquote() << "vantrel-devserver: refusing connections for" << seconds << "s";
}

void WsFeed::onNewConnection()
{
    while (m_server->hasPendingConnections()) {
        QWebSocket *socket = m_server->nextPendingConnection();
        socket->setParent(this);
        auto client = std::make_unique<Client>();
        client->socket = socket;
        client->tcp = m_handshaking.take(socket->peerPort());
        connect(socket, &QWebSocket::textMessageReceived, this, &WsFeed::onTextMessage);
        connect(socket, &QWebSocket::disconnected, this, &WsFeed::onClientGone);
        ++m_connections;
        qInfo().noquote() << "vantrel-devserver: client connected from"
                          << socket->peerAddress().toString() + QLatin1Char(':')
                                 + QString::number(socket->peerPort())
                          << "path" << socket->requestUrl().path();
        m_clients.push_back(std::move(client));
    }
}

WsFeed::Client *WsFeed::clientFor(QObject *socket)
{
    for (const auto &c : m_clients) {
        if (c->socket == socket)
            return c.get();
    }
    return nullptr;
}

void WsFeed::onClientGone()
{
    QObject *socket = sender();
    auto it = std::find_if(m_clients.begin(), m_clients.end(),
                           [socket](const std::unique_ptr<Client> &c) { return c->socket == socket; });
    if (it == m_clients.end())
        return;
    qInfo().noquote() << "vantrel-devserver: client disconnected, machine_id"
                      << ((*it)->machineId.isEmpty() ? QStringLiteral("-") : (*it)->machineId);
    (*it)->socket->deleteLater();
    m_clients.erase(it);
    rebuildUniverse();
    updateTimer();
}

void WsFeed::onTextMessage(const QString &text)
{
    Client *c = clientFor(sender());
    if (!c)
        return;
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return;  // clients get no error frames; the vendor's server is silent too
    const QJsonObject msg = doc.object();
    const QString type = msg.value(QLatin1String("type")).toString();
    if (type == QLatin1String("auth")) {
        c->authenticated = true;
        c->machineId = msg.value(QLatin1String("machine_id")).toString();
    } else if (type == QLatin1String("subscribe")) {
        handleSubscribe(*c, msg);
    } else if (type == QLatin1String("unsubscribe_all")) {
        handleUnsubscribeAll(*c);
    }
}

void WsFeed::handleSubscribe(Client &c, const QJsonObject &msg)
{
    if (m_opt.requireAuth && !c.authenticated)
        return;
    const QJsonValue list = msg.value(QLatin1String("symbols"));
    if (!list.isArray())
        return;
    QStringList symbols;
    QSet<QString> seen;
    for (const QJsonValue &v : list.toArray()) {
        const QString s = v.toString().trimmed();
        if (s.isEmpty() || seen.contains(s))
            continue;
        seen.insert(s);
        symbols.append(s);
    }
    c.symbols = symbols;
    c.symbolSet = seen;
    // Records already waiting for symbols that are no longer wanted must not follow the ack.
    c.pending.erase(std::remove_if(c.pending.begin(), c.pending.end(),
                                   [&seen](const Tick &t) { return !seen.contains(t.symbol); }),
                    c.pending.end());
    sendText(c, subAck(QStringLiteral("subscribe"), symbols));
    rebuildUniverse();
    updateTimer();
}

void WsFeed::handleUnsubscribeAll(Client &c)
{
    c.symbols.clear();
    c.symbolSet.clear();
    c.pending.clear();
    sendText(c, subAck(QStringLiteral("unsubscribe_all"), {}));
    rebuildUniverse();
    updateTimer();
}

void WsFeed::rebuildUniverse()
{
    QStringList universe;
    QSet<QString> seen;
    if (m_opt.keepMarket) {
        universe = m_universe;
        seen = QSet<QString>(m_universe.begin(), m_universe.end());
    }
    for (const auto &c : m_clients) {
        for (const QString &s : qAsConst(c->symbols)) {
            if (!seen.contains(s)) {
                seen.insert(s);
                universe.append(s);
            }
        }
    }
    m_universe = universe;
    m_roundRobin = m_universe.isEmpty() ? 0 : m_roundRobin % m_universe.size();
}

bool WsFeed::generating() const
{
    return !m_paused && !m_generationDone && !m_universe.isEmpty() && m_opt.rate > 0;
}

void WsFeed::rebase()
{
    m_clock.start();
    m_dueBase = 0;
}

void WsFeed::updateTimer()
{
    const bool gen = generating();
    if (gen && !m_generating)
        rebase();  // ticks are owed only for time spent with something to send
    m_generating = gen;

    bool lingering = false;
    for (const auto &c : m_clients) {
        if (!c->pending.isEmpty()) {
            lingering = true;
            break;
        }
    }
    if (gen || lingering) {
        if (!m_timer.isActive())
            m_timer.start();
    } else {
        m_timer.stop();  // nothing to do: no wake-ups at all
    }
}

void WsFeed::onTimer()
{
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    if (generating()) {
        const qint64 expected = qint64(std::floor(m_clock.nsecsElapsed() / 1e9 * m_opt.rate));
        qint64 due = expected - m_dueBase;
        // After a stall (suspended process, debugger) send at most a second's worth rather
        // than a burst of everything owed.
        const qint64 cap = std::max<qint64>(m_opt.batch, qint64(std::ceil(m_opt.rate)));
        if (due > cap) {
            m_dueBase = expected - cap;
            due = cap;
        }
        for (qint64 i = 0; i < due && generating(); ++i) {
            ++m_dueBase;
            emitTick(nowMs);
        }
    }
    for (const auto &c : m_clients) {
        if (!c->pending.isEmpty() && nowMs - c->firstPendingMs >= m_opt.lingerMs)
            flush(*c);
    }
    updateTimer();
}

void WsFeed::emitTick(qint64 nowMs)
{
    const QString symbol = m_universe.at(m_roundRobin);
    m_roundRobin = (m_roundRobin + 1) % m_universe.size();
    const Tick tick = m_generator.next(symbol, nowMs);
    ++m_ticks;
    if (m_bars)
        m_bars->add(tick);

    for (const auto &c : m_clients) {
        if (c->muted || !c->symbolSet.contains(symbol))
            continue;
        if (c->pending.isEmpty())
            c->firstPendingMs = nowMs;
        c->pending.append(tick);
        if (c->pending.size() >= m_opt.batch)
            flush(*c);
    }

    if (m_opt.stopAfterTicks > 0 && m_ticks >= m_opt.stopAfterTicks && !m_generationDone) {
        m_generationDone = true;
        flushAll();
        qInfo().noquote() << "vantrel-devserver: stopped generating after" << m_ticks << "ticks";
    }
    if (m_opt.dropAfterTicks > 0 && m_ticks >= m_opt.dropAfterTicks && !m_dropDone) {
        m_dropDone = true;
        qInfo().noquote() << "vantrel-devserver: dropping connections after" << m_ticks << "ticks";
        dropAll();
    }
}

void WsFeed::flush(Client &c)
{
    if (c.pending.isEmpty())
        return;
    const QVector<Tick> ticks = c.pending;
    c.pending.clear();
    sendBatch(c, ticks);
}

void WsFeed::flushAll()
{
    for (const auto &c : m_clients)
        flush(*c);
}

void WsFeed::sendText(Client &c, const QByteArray &utf8)
{
    if (c.muted)
        return;
    c.socket->sendTextMessage(QString::fromUtf8(utf8));
    ++m_frames;
    m_bytes += utf8.size();
}

void WsFeed::sendBatch(Client &c, const QVector<Tick> &ticks)
{
    if (c.muted)
        return;
    QByteArray frame;
    frame.reserve(32 + ticks.size() * 160);
    frame += "{\"type\":\"batch\",\"records\":[";
    for (int i = 0; i < ticks.size(); ++i) {
        if (i)
            frame += ',';
        frame += ticks.at(i).json;
    }
    frame += "]}";
    sendText(c, frame);
    m_records += ticks.size();

    if (m_sentLog.isOpen()) {
        const QByteArray sentAt = QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + '\n';
        QByteArray lines;
        lines.reserve(ticks.size() * 80);
        for (const Tick &t : ticks)
            lines += t.logLine + sentAt;
        m_sentLog.write(lines);
        m_sentLog.flush();
    }
}

void WsFeed::abortAll()
{
    // abort() may report the disconnect synchronously, which removes the client.
    QVector<QWebSocket *> sockets;
    for (const auto &c : m_clients)
        sockets.append(c->socket);
    for (QWebSocket *s : qAsConst(sockets)) {
        s->flush();
        s->abort();
    }
}

void WsFeed::dropAll()
{
    // Everything generated so far goes out first, so a reconnect test knows what was sent
    // before the link went down.
    flushAll();
    ++m_drops;
    abortAll();
}

qint64 WsFeed::cutMidFrame()
{
    flushAll();
    ++m_drops;
    // Below the client's 16 MiB message limit, above what the loopback buffers take at once.
    const QString big = QStringLiteral("{\"type\":\"batch\",\"records\":[],\"padding\":\"")
                        + QString(15 * 1024 * 1024, QLatin1Char('x')) + QStringLiteral("\"}");
    qint64 unsent = 0;
    for (const auto &c : m_clients) {
        c->socket->sendTextMessage(big);
        c->socket->flush();
        unsent += c->socket->bytesToWrite();
    }
    abortAll();
    return unsent;
}

QStringList WsFeed::malformedKinds()
{
    return {QStringLiteral("forged"),         QStringLiteral("notjson"),        QStringLiteral("array"),
            QStringLiteral("records-string"), QStringLiteral("missing-fields"),
            QStringLiteral("huge"),           QStringLiteral("batch-unsubscribed"),
            QStringLiteral("unknown-type"),   QStringLiteral("ack-other"),
            QStringLiteral("binary")};
}

bool WsFeed::sendMalformed(const QString &kind, QString *error)
{
    QByteArray text;
    if (kind == QLatin1String("forged")) {
        // Text fields that would forge a quote for NIFTY-I or shift fields if they reached
        // a tick line unchanged.
        text = "{\"type\":\"batch\",\"records\":["
               "{\"type\":\"T\",\"symbol\":\"EVIL\\nT,NIFTY-I,20240102,10:30:00.002,0.01,999999,0,0\","
               "\"ltd\":\"20240102\",\"ltt\":\"10:30:00.002\",\"ltp\":1},"
               "{\"type\":\"T\",\"symbol\":\"NIFTY-I,X\",\"ltd\":\"20240102\",\"ltt\":\"10:30:00.003\",\"ltp\":2},"
               "{\"type\":\"T\",\"symbol\":\"NIFTY-I\",\"ltd\":\"20240102\","
               "\"ltt\":\"10:30:00.004\\r\\nT,NIFTY-I,20240102,10:30:00.005,0.02,888888,0,0\",\"ltp\":3},"
               "{\"type\":\"T\\u0000\",\"symbol\":\"NIFTY-I\",\"ltd\":\"20240102\",\"ltt\":\"10:30:00.006\",\"ltp\":4}"
               "]}";
    } else if (kind == QLatin1String("notjson")) {
        text = "this is not json {\"type\":\"batch\",\"records\":[";
    } else if (kind == QLatin1String("array")) {
        text = "[{\"type\":\"batch\",\"records\":[]}]";
    } else if (kind == QLatin1String("records-string")) {
        text = "{\"type\":\"batch\",\"records\":\"T,NIFTY-I,20240102,09:15:00.000,24500,75,0,75\"}";
    } else if (kind == QLatin1String("missing-fields")) {
        // Not one of these records has a usable symbol and a positive price.
        text = "{\"type\":\"batch\",\"records\":["
               "{\"type\":\"T\"},"
               "{\"type\":\"T\",\"symbol\":\"NIFTY-I\",\"ltq\":75},"
               "{\"type\":\"T\",\"symbol\":\"   \",\"ltp\":100},"
               "{\"type\":\"T\",\"symbol\":\"NIFTY-I\",\"ltp\":0},"
               "{\"type\":\"T\",\"symbol\":\"NIFTY-I\",\"ltp\":-5},"
               "{\"type\":\"T\",\"symbol\":\"NIFTY-I\",\"ltp\":\"abc\"},"
               "{\"ltd\":\"20240102\",\"ltt\":\"09:15:00.000\",\"ltp\":24500},"
               "42,\"text\",null]}";
    } else if (kind == QLatin1String("huge")) {
        // A well-formed but empty batch padded past 20 MiB: it must be read and discarded,
        // not written anywhere.
        const QByteArray head = "{\"type\":\"batch\",\"records\":[],\"padding\":\"";
        text.reserve(kHugeFrameBytes + 64);
        text += head;
        text += QByteArray(kHugeFrameBytes, 'x');
        text += "\"}";
    } else if (kind == QLatin1String("unknown-type")) {
        text = "{\"type\":\"heartbeat\",\"records\":[]}";
    } else if (kind == QLatin1String("ack-other")) {
        text = subAck(QStringLiteral("refresh"), {QString::fromLatin1(kFallbackSymbol)});
    } else if (kind == QLatin1String("binary")) {
        const QByteArray bytes = "{\"type\":\"batch\",\"records\":[]}";
        for (const auto &c : m_clients) {
            c->socket->sendBinaryMessage(bytes);
            ++m_frames;
            m_bytes += bytes.size();
        }
        return true;
    } else if (kind == QLatin1String("batch-unsubscribed")) {
        // Real ticks sent whether or not the client has an acknowledged subscription.
        const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
        for (const auto &c : m_clients) {
            const QStringList symbols = c->symbols.isEmpty()
                                            ? QStringList{QString::fromLatin1(kFallbackSymbol)}
                                            : c->symbols;
            QVector<Tick> ticks;
            for (int i = 0; i < m_opt.batch; ++i)
                ticks.append(m_generator.next(symbols.at(i % symbols.size()), nowMs));
            sendBatch(*c, ticks);
        }
        return true;
    } else {
        if (error)
            *error = QStringLiteral("unknown kind %1 (one of: %2)")
                         .arg(kind, malformedKinds().join(QLatin1Char(' ')));
        return false;
    }
    for (const auto &c : m_clients)
        sendText(*c, text);
    return true;
}

void WsFeed::pause()
{
    m_paused = true;
    flushAll();
    updateTimer();
}

void WsFeed::resume()
{
    m_paused = false;
    updateTimer();
}

void WsFeed::setRate(double ticksPerSecond)
{
    m_opt.rate = std::max(0.0, ticksPerSecond);
    rebase();
    updateTimer();
}

QJsonObject WsFeed::stats() const
{
    int authenticated = 0;
    int subscribed = 0;
    for (const auto &c : m_clients) {
        authenticated += c->authenticated ? 1 : 0;
        subscribed += c->symbols.isEmpty() ? 0 : 1;
    }
    QJsonObject o;
    o.insert(QStringLiteral("clients"), int(m_clients.size()));
    o.insert(QStringLiteral("authenticated"), authenticated);
    o.insert(QStringLiteral("subscribed"), subscribed);
    o.insert(QStringLiteral("symbols"), m_universe.size());
    o.insert(QStringLiteral("connections"), m_connections);
    o.insert(QStringLiteral("drops"), m_drops);
    o.insert(QStringLiteral("ticks"), m_ticks);
    o.insert(QStringLiteral("records"), m_records);
    o.insert(QStringLiteral("frames"), m_frames);
    o.insert(QStringLiteral("bytes"), m_bytes);
    o.insert(QStringLiteral("rate"), m_opt.rate);
    o.insert(QStringLiteral("batch"), m_opt.batch);
    o.insert(QStringLiteral("paused"), m_paused);
    o.insert(QStringLiteral("generating"), generating());
    o.insert(QStringLiteral("uptime_ms"), m_uptime.elapsed());
    int muted = 0;
    for (const auto &c : m_clients)
        muted += c->muted ? 1 : 0;
    o.insert(QStringLiteral("muted"), muted);
    o.insert(QStringLiteral("mutes"), m_mutes);
    o.insert(QStringLiteral("refusals"), m_refusals);
    o.insert(QStringLiteral("refusing"), m_refusing);
    return o;
}

void WsFeed::shutdown()
{
    m_timer.stop();
    QVector<QWebSocket *> sockets;
    for (const auto &c : m_clients)
        sockets.append(c->socket);
    for (QWebSocket *s : qAsConst(sockets)) {
        s->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("server stopping"));
        s->flush();
    }
    if (m_server)
        m_server->close();
    if (m_tcp)
        m_tcp->close();
    m_refuseTimer.stop();
}
