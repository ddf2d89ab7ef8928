#include "testenv.h"

#include "live/latestbatch.h"
#include "live/pendingbatches.h"
#include "live/websocketworker.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <memory>
#include <type_traits>

namespace {

const QString kAck = QStringLiteral(R"({"type":"sub_ack","action":"subscribe","symbols":["A","B"]})");
const QString kBatch = QStringLiteral(
    R"({"type":"batch","records":[{"type":"T","symbol":"NIFTY-I","ltd":"20240105",)"
    R"("ltt":"09:15:01","ltp":24567.36,"ltq":2.5,"oi":10,"vol":100}]})");
const QByteArray kBatchLines("T,NIFTY-I,20240105,09:15:01,24567.4,3,10,100\n");
const QString kBatch2 = QStringLiteral(
    R"({"type":"batch","records":[{"type":"T","symbol":"GOLDM-I","ltd":"d","ltt":"t","ltp":"61000"}]})");
const QByteArray kBatch2Lines("T,GOLDM-I,d,t,61000,0,0,0\n");
const QString kUnsubscribeAll = QStringLiteral(R"({"type":"unsubscribe_all"})");

QByteArray readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return f.readAll();
}

// One connection as the data server saw it.
struct Peer
{
    QPointer<QWebSocket> socket;
    QStringList texts;
    bool closed = false;
    int closeCode = -1;
    QString closeReason;
};

// The data server's side of the protocol, on 127.0.0.1, recording everything it gets.
class FeedServer : public QObject
{
public:
    FeedServer() : m_server(QStringLiteral("feed"), QWebSocketServer::NonSecureMode)
    {
        QObject::connect(&m_server, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket *s = m_server.nextPendingConnection()) {
                s->setParent(this);
                const int index = peers.size();
                peers.append(std::make_shared<Peer>());
                peers.last()->socket = s;
                auto peer = peers.last();
                QObject::connect(s, &QWebSocket::textMessageReceived, this,
                                 [peer](const QString &t) { peer->texts.append(t); });
                QObject::connect(s, &QWebSocket::disconnected, this, [peer, s] {
                    peer->closed = true;
                    peer->closeCode = s->closeCode();
                    peer->closeReason = s->closeReason();
                });
                Q_UNUSED(index)
            }
        });
    }

    bool listen(quint16 port = 0) { return m_server.listen(QHostAddress::LocalHost, port); }
    void close() { m_server.close(); }
    quint16 port() const { return m_server.serverPort(); }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_portUsed())); }

    int connections() const { return peers.size(); }
    Peer &last() { return *peers.last(); }
    void send(const QString &text) { last().socket->sendTextMessage(text); }

    QList<std::shared_ptr<Peer>> peers;

private:
    quint16 m_portUsed() const { return m_server.serverPort(); }
    QWebSocketServer m_server;
};

// A bare WebSocket endpoint on a TCP server: answers the opening handshake and records
// every client frame as it arrives on the wire, including control frames the Qt socket
// answers silently (ping).
class RawWsServer : public QObject
{
public:
    struct Frame
    {
        int opcode;
        QByteArray payload;
    };

    RawWsServer()
    {
        QObject::connect(&m_tcp, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_tcp.nextPendingConnection()) {
                s->setParent(this);
                m_socket = s;
                m_buffer.clear();
                m_handshaken = false;
                ++connections;
                QObject::connect(s, &QTcpSocket::readyRead, this, [this] { onData(); });
            }
        });
    }
    bool listen() { return m_tcp.listen(QHostAddress::LocalHost, 0); }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(m_tcp.serverPort())); }

    // One unmasked text frame, however long.
    void sendText(const QByteArray &payload)
    {
        QByteArray frame;
        frame.append(char(0x81));
        const quint64 len = quint64(payload.size());
        if (len < 126) {
            frame.append(char(len));
        } else if (len <= 0xFFFF) {
            frame.append(char(126));
            frame.append(char(len >> 8));
            frame.append(char(len & 0xFF));
        } else {
            frame.append(char(127));
            for (int shift = 56; shift >= 0; shift -= 8)
                frame.append(char((len >> shift) & 0xFF));
        }
        m_socket->write(frame + payload);
    }

    // Bytes as they are, for frames cut short; and the link cut without a close frame.
    void sendRaw(const QByteArray &bytes) { m_socket->write(bytes); }
    void dropLink() { m_socket->abort(); }
    bool linkOpen() const { return m_socket && m_socket->state() == QAbstractSocket::ConnectedState; }

    int pings() const
    {
        int n = 0;
        for (const auto &f : frames)
            n += f.opcode == 0x9;
        return n;
    }

    QList<Frame> frames;
    int connections = 0;
    // A server answers every ping with a pong carrying the same payload; a dead one not.
    bool answerPings = true;
    // How long the opening handshake's answer takes (a slow link).
    int handshakeDelayMs = 0;

private:
    void onData()
    {
        m_buffer += m_socket->readAll();
        if (!m_handshaken) {
            const int end = m_buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            QByteArray key;
            for (const QByteArray &line : m_buffer.left(end).split('\n')) {
                const int colon = line.indexOf(':');
                if (colon > 0 && line.left(colon).trimmed().toLower() == "sec-websocket-key")
                    key = line.mid(colon + 1).trimmed();
            }
            m_buffer.remove(0, end + 4);
            const QByteArray accept =
                QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                         QCryptographicHash::Sha1)
                    .toBase64();
            const QByteArray answer = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                      "Connection: Upgrade\r\nSec-WebSocket-Accept: "
                                      + accept + "\r\n\r\n";
            QTimer::singleShot(handshakeDelayMs, m_socket, [s = m_socket, answer] { s->write(answer); });
            m_handshaken = true;
        }
        for (;;) {
            if (m_buffer.size() < 2)
                return;
            const auto b0 = static_cast<quint8>(m_buffer.at(0));
            const auto b1 = static_cast<quint8>(m_buffer.at(1));
            quint64 len = b1 & 0x7F;
            int pos = 2;
            if (len == 126) {
                if (m_buffer.size() < 4)
                    return;
                len = (quint64(quint8(m_buffer.at(2))) << 8) | quint8(m_buffer.at(3));
                pos = 4;
            } else if (len == 127) {
                if (m_buffer.size() < 10)
                    return;
                len = 0;
                for (int i = 2; i < 10; ++i)
                    len = (len << 8) | quint8(m_buffer.at(i));
                pos = 10;
            }
            const bool masked = b1 & 0x80;
            const int maskPos = pos;
            if (masked)
                pos += 4;
            if (quint64(m_buffer.size()) < pos + len)
                return;
            QByteArray payload = m_buffer.mid(pos, int(len));
            if (masked) {
                for (int i = 0; i < payload.size(); ++i)
                    payload[i] = char(payload.at(i) ^ m_buffer.at(maskPos + (i % 4)));
            }
            frames.append({b0 & 0x0F, payload});
            m_buffer.remove(0, pos + int(len));
            if ((b0 & 0x0F) == 0x9 && answerPings && payload.size() < 126)
                m_socket->write(QByteArray(1, char(0x8A)) + char(payload.size()) + payload);
        }
    }

    QTcpServer m_tcp;
    QPointer<QTcpSocket> m_socket;
    QByteArray m_buffer;
    bool m_handshaken = false;
};

// Collects the worker's debug lines while it lives (the log says why a link went).
class DebugLines
{
public:
    DebugLines()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler(&DebugLines::handler);
    }
    ~DebugLines() { qInstallMessageHandler(m_previous); }
    static int count(const QString &prefix)
    {
        int n = 0;
        for (const QString &l : qAsConst(s_lines))
            n += l.startsWith(prefix);
        return n;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (type == QtDebugMsg)
            s_lines.append(text);
    }
    static QStringList s_lines;
    QtMessageHandler m_previous;
};
QStringList DebugLines::s_lines;

std::unique_ptr<WebSocketWorker> makeWorker(const QUrl &url, const QStringList &symbols,
                                            const QString &id = QStringLiteral("user1"))
{
    return std::make_unique<WebSocketWorker>(url, symbols, QStringLiteral("rtsocket.txt"), id);
}

// One worker against one server, as a test of the link needs them: the worker on the
// tick file of the test's root, its four signals watched. Destroyed worker first, then
// the server.
template <typename Server>
struct WorkerRun
{
    Server server;
    std::unique_ptr<WebSocketWorker> worker;
    std::unique_ptr<QSignalSpy> data, ack, connected, disconnected;

    // Listens, then creates and starts the worker for `symbols`.
    bool start(const QStringList &symbols, const QString &id = QStringLiteral("user1"))
    {
        if (!server.listen())
            return false;
        worker = makeWorker(server.url(), symbols, id);
        data = std::make_unique<QSignalSpy>(worker.get(), &WebSocketWorker::rtDataDownloaded);
        ack = std::make_unique<QSignalSpy>(worker.get(), &WebSocketWorker::subscribedAck);
        connected = std::make_unique<QSignalSpy>(worker.get(), &WebSocketWorker::connected);
        disconnected = std::make_unique<QSignalSpy>(worker.get(), &WebSocketWorker::disconnected);
        worker->start();
        return true;
    }

    // The first connection has authenticated and asked for its symbols, and nothing more.
    bool linkUp()
    {
        return QTest::qWaitFor(
            [this] {
                if constexpr (std::is_same_v<Server, FeedServer>)
                    return server.connections() == 1 && server.last().texts.size() == 2;
                else
                    return server.frames.size() >= 2;
            },
            5000);
    }

    // Sends the acknowledgement and waits until the worker has processed it; anything the
    // server sent earlier on the same connection has been handled by then.
    bool syncAck(const QString &text = kAck)
    {
        const int before = ack->count();
        if constexpr (std::is_same_v<Server, FeedServer>)
            server.send(text);
        else
            server.sendText(text.toUtf8());
        return QTest::qWaitFor([&] { return ack->count() > before; }, 5000);
    }

    WebSocketWorker *operator->() const { return worker.get(); }
};
using FeedRun = WorkerRun<FeedServer>;
using RawRun = WorkerRun<RawWsServer>;

} // namespace

class TstWebSocketWorker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void constructorCreatesTickFileOnlyWhenMissing();
    void authenticatesThenSubscribesInOrder();
    void emptyMachineIdAndEmptyListAndNewIdOnReconnect();
    void batchesNeedAcknowledgedSubscription();
    void resubscribeGatesBatchesUntilNewAck();
    void malformedFramesChangeNothing();
    void oversizedMessageIsRefused();
    void oversizedFrameIsRefused();
    void pingCarriesHb();
    void serverCloseAndRefusalReconnect();
    void dropMidFrameLeavesNextConnectionClean();
    void stopSendsUnsubscribeAndCloseAndNeverReopens();
    void networkBackReconnectsSooner();
    void networkBackDuringASlowHandshakeStillConnects();
    void silentLinkIsAbortedAndReconnected_data();
    void silentLinkIsAbortedAndReconnected();
    void runsInItsOwnThread();

private:
    // Nothing of a refused or dropped batch reached the tick file, the buffer or the import.
    void verifyNothingRecorded()
    {
        QCOMPARE(readAll(m_tickPath), QByteArray());
        QCOMPARE(LatestBatch::copy(), QByteArray());
        QCOMPARE(PendingBatches::count(), 0);
    }

    TestEnv m_env;
    QString m_tickPath;
};

void TstWebSocketWorker::initTestCase()
{
    QVERIFY(m_env.isValid());
    // The system's first network scan ends with one "online" report to every worker of the
    // process; it is waited for here, so that it cannot land in the middle of a test.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QNetworkConfigurationManager network;
    QSignalSpy scanned(&network, &QNetworkConfigurationManager::updateCompleted);
    network.updateConfigurations();
    QVERIFY(scanned.wait(10000));
    QT_WARNING_POP
    m_tickPath = m_env.root() + QStringLiteral("/rtsocket.txt");
}

void TstWebSocketWorker::init()
{
    // 10 s / 3 s / 0.5 s become 100 ms / 30 ms / 5 ms.
    WebSocketWorker::setIntervalScaleForTests(0.01);
    LatestBatch::clear();
    PendingBatches::clear();
    QFile::remove(m_tickPath);
}

void TstWebSocketWorker::cleanup()
{
    LatestBatch::clear();
    PendingBatches::clear();
}

void TstWebSocketWorker::constructorCreatesTickFileOnlyWhenMissing()
{
    QVERIFY(!QFile::exists(m_tickPath));
    {
        auto w = makeWorker(QUrl(QStringLiteral("ws://127.0.0.1:9")), {});
        QCOMPARE(w->tickFilePath(), m_tickPath);
        QVERIFY(QFile::exists(m_tickPath));
        QCOMPARE(QFileInfo(m_tickPath).size(), 0);
    }
    {
        QFile f(m_tickPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("previous batch\n");
    }
    auto w = makeWorker(QUrl(QStringLiteral("ws://127.0.0.1:9")), {});
    QCOMPARE(readAll(m_tickPath), QByteArray("previous batch\n"));
    QVERIFY(!w->isSubscribed());
    QVERIFY(!w->isStoppedByUser());
}

void TstWebSocketWorker::authenticatesThenSubscribesInOrder()
{
    FeedRun run;
    QVERIFY(run.start({QStringLiteral("NIFTY-I"), QStringLiteral("GOLDM-I")}));
    QVERIFY(run.linkUp());
    QCOMPARE(run.server.last().texts,
             (QStringList{QStringLiteral(R"({"machine_id":"user1","type":"auth"})"),
                          QStringLiteral(R"({"symbols":["NIFTY-I","GOLDM-I"],"type":"subscribe"})")}));
    QCOMPARE(run.connected->count(), 1);

    QVERIFY(run.syncAck());
    QCOMPARE(run.ack->first().first().toStringList(), (QStringList{QStringLiteral("A"), QStringLiteral("B")}));
    QVERIFY(run->isSubscribed());
}

void TstWebSocketWorker::emptyMachineIdAndEmptyListAndNewIdOnReconnect()
{
    FeedRun run;
    QVERIFY(run.start({}, QString()));
    QVERIFY(run.linkUp());
    QCOMPARE(run.server.last().texts,
             (QStringList{QStringLiteral(R"({"machine_id":"MISSING-MACHINE-ID","type":"auth"})"),
                          QStringLiteral(R"({"symbols":[],"type":"subscribe"})")}));

    // A replaced ID is used from the next authentication on.
    run->setMachineId(QStringLiteral("ID \"7\""));
    run.server.last().socket->close();
    QTRY_COMPARE(run.server.connections(), 2);
    QTRY_COMPARE(run.server.last().texts.size(), 2);
    QCOMPARE(run.server.last().texts.first(), QStringLiteral(R"({"machine_id":"ID \"7\"","type":"auth"})"));
}

void TstWebSocketWorker::batchesNeedAcknowledgedSubscription()
{
    FeedRun run;
    QVERIFY(run.start({QStringLiteral("NIFTY-I")}));
    QVERIFY(run.linkUp());

    // Before any acknowledgement, and after an acknowledgement of another action.
    run.server.send(kBatch);
    run.server.send(QStringLiteral(R"({"type":"sub_ack","action":"unsubscribe","symbols":["X"]})"));
    run.server.send(QStringLiteral(R"({"type":"sub_ack","symbols":["X"]})"));
    run.server.send(kBatch);
    QVERIFY(run.syncAck());
    QCOMPARE(run.ack->count(), 1);
    QCOMPARE(run.ack->first().first().toStringList(), (QStringList{QStringLiteral("A"), QStringLiteral("B")}));
    QCOMPARE(run.data->count(), 0);
    verifyNothingRecorded();

    // Acknowledged: one batch, one file replacement, one signal.
    run.server.send(kBatch);
    QTRY_COMPARE(run.data->count(), 1);
    QTRY_COMPARE(readAll(m_tickPath), kBatchLines);
    QCOMPARE(LatestBatch::copy(), kBatchLines);
    QCOMPARE(PendingBatches::count(), 1);

    // A batch in which no record qualifies leaves everything as it was.
    run.server.send(QStringLiteral(
        R"({"type":"batch","records":[{"symbol":"  ","ltp":5},{"symbol":"A","ltp":0},{"symbol":"B"}]})"));
    run.server.send(QStringLiteral(R"({"type":"batch","records":[]})"));
    QVERIFY(run.syncAck());
    QCOMPARE(run.data->count(), 1);
    QTRY_COMPARE(readAll(m_tickPath), kBatchLines);
    QCOMPARE(LatestBatch::copy(), kBatchLines);
    QCOMPARE(PendingBatches::count(), 1);

    // The next good batch replaces the file; both wait for the import.
    run.server.send(kBatch2);
    QTRY_COMPARE(run.data->count(), 2);
    QTRY_COMPARE(readAll(m_tickPath), kBatch2Lines);
    QCOMPARE(LatestBatch::copy(), kBatch2Lines);
    QCOMPARE(PendingBatches::takeAll(), (QList<QByteArray>{kBatchLines, kBatch2Lines}));
}

void TstWebSocketWorker::resubscribeGatesBatchesUntilNewAck()
{
    FeedRun run;
    QVERIFY(run.start({QStringLiteral("A")}));
    QVERIFY(run.linkUp());
    QVERIFY(run.syncAck());
    QVERIFY(run->isSubscribed());

    run->resubscribe({QStringLiteral("X"), QStringLiteral("Y")});
    QCOMPARE(run->symbols(), (QStringList{QStringLiteral("X"), QStringLiteral("Y")}));
    QTRY_COMPARE(run.server.last().texts.size(), 4);
    QCOMPARE(run.server.last().texts.mid(2),
             (QStringList{kUnsubscribeAll, QStringLiteral(R"({"symbols":["X","Y"],"type":"subscribe"})")}));
    QVERIFY(!run->isSubscribed());

    // Sent after the unsubscribe-all went out and before the new acknowledgement.
    run.server.send(kBatch);
    QVERIFY(run.syncAck());
    QCOMPARE(run.data->count(), 0);
    QCOMPARE(readAll(m_tickPath), QByteArray());

    run.server.send(kBatch);
    QTRY_COMPARE(run.data->count(), 1);
    QTRY_COMPARE(readAll(m_tickPath), kBatchLines);
    QCOMPARE(run.server.connections(), 1);

    // A list that keeps symbols: what the server sent for them before it read the
    // unsubscribe is kept, what it sent for the symbol dropped is not.
    run->resubscribe({QStringLiteral("NIFTY-I"), QStringLiteral("GOLDM-I")});
    QTRY_COMPARE(run.server.last().texts.size(), 6);
    QVERIFY(run.syncAck());
    PendingBatches::takeAll();
    run->resubscribe({QStringLiteral("NIFTY-I"), QStringLiteral("Y")});
    QTRY_COMPARE(run.server.last().texts.size(), 8);
    QVERIFY(!run->isSubscribed());
    run.server.send(kBatch2);
    run.server.send(kBatch);
    QVERIFY(run.syncAck());
    QCOMPARE(PendingBatches::takeAll(), QList<QByteArray>{kBatchLines});
}

void TstWebSocketWorker::malformedFramesChangeNothing()
{
    FeedRun run;
    QVERIFY(run.start({QStringLiteral("A")}));
    QVERIFY(run.linkUp());
    QVERIFY(run.syncAck());
    run.server.send(kBatch);
    QTRY_COMPARE(run.data->count(), 1);

    const QStringList junk{
        QStringLiteral("not json at all"),
        QStringLiteral("{\"type\":\"batch\",\"records\":["),
        QStringLiteral(R"([{"type":"batch","records":[]}])"),
        QStringLiteral(R"("batch")"),
        QStringLiteral(R"({"type":"batch","records":"T,A,d,t,1,1,1,1"})"),
        QStringLiteral(R"({"type":"batch","records":{"symbol":"A","ltp":1}})"),
        QStringLiteral(R"({"type":"batch"})"),
        QStringLiteral(R"({"type":"batch","records":[1,"x",null,[],true]})"),
        QStringLiteral(R"({"type":5,"records":[{"symbol":"A","ltp":1}]})"),
        QStringLiteral(R"({"type":["batch"],"records":[{"symbol":"A","ltp":1}]})"),
        QStringLiteral(R"({"type":"BATCH","records":[{"symbol":"A","ltp":1}]})"),
        QStringLiteral(R"({"type":"tick","records":[{"symbol":"A","ltp":1}]})"),
        QStringLiteral(R"({"records":[{"symbol":"A","ltp":1}]})"),
        QString(),
    };
    for (const QString &text : junk)
        run.server.send(text);
    run.server.last().socket->sendBinaryMessage(kBatch.toUtf8());
    QVERIFY(run.syncAck());

    QCOMPARE(run.data->count(), 1);
    QTRY_COMPARE(readAll(m_tickPath), kBatchLines);
    QCOMPARE(LatestBatch::copy(), kBatchLines);
    QCOMPARE(PendingBatches::count(), 1);
    QVERIFY(run->isSubscribed());
    QCOMPARE(run.disconnected->count(), 0);

    // Same rules when the slot is reached directly, including a text beyond the cap.
    run->onTextMessageReceived(QStringLiteral("]["));
    run->onTextMessageReceived(QString(int(WebSocketWorker::kMaxIncomingBytes) + 1, QLatin1Char(' ')) + kBatch);
    run->onBinaryMessageReceived(kBatch.toUtf8());
    QCOMPARE(run.data->count(), 1);
    QCOMPARE(PendingBatches::count(), 1);
}

void TstWebSocketWorker::oversizedMessageIsRefused()
{
    FeedRun run;
    QVERIFY(run.start({QStringLiteral("A")}));
    QVERIFY(run.linkUp());
    QVERIFY(run.syncAck());

    // A valid batch padded to 20 MiB: accepted, it would write a tick line.
    QString huge = kBatch;
    huge.chop(1);
    huge += QStringLiteral(",\"pad\":\"") + QString(20 * 1024 * 1024, QLatin1Char('x')) + QStringLiteral("\"}");
    run.server.send(huge);

    // The socket refuses it and drops the link; the worker comes back on its own.
    QTRY_VERIFY_WITH_TIMEOUT(run.server.connections() >= 2, 20000);
    QTRY_COMPARE(run.server.last().texts.size(), 2);
    QVERIFY(run.server.peers.first()->closed);
    QVERIFY(run.disconnected->count() >= 1);
    QCOMPARE(run.data->count(), 0);
    verifyNothingRecorded();

    // And it works normally afterwards.
    QVERIFY(run.syncAck());
    run.server.send(kBatch);
    QTRY_COMPARE(run.data->count(), 1);
    QTRY_COMPARE(readAll(m_tickPath), kBatchLines);
}

void TstWebSocketWorker::oversizedFrameIsRefused()
{
    // The same text as one single 20 MiB frame: refused from its header on.
    RawRun run;
    QVERIFY(run.start({QStringLiteral("A")}));
    QVERIFY(run.linkUp());
    QVERIFY(run.syncAck());

    QByteArray huge = kBatch.toUtf8();
    huge.chop(1);
    huge += ",\"pad\":\"" + QByteArray(20 * 1024 * 1024, 'x') + "\"}";
    run.server.sendText(huge);
    QTRY_VERIFY_WITH_TIMEOUT(run.disconnected->count() >= 1, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(run.server.connections >= 2, 20000);
    QCOMPARE(run.data->count(), 0);
    verifyNothingRecorded();
}

void TstWebSocketWorker::pingCarriesHb()
{
    RawRun run;
    QVERIFY(run.start({QStringLiteral("A")}));
    const QList<RawWsServer::Frame> &frames = run.server.frames;
    // Every scaled health period (100 ms) sends one ping.
    QTRY_VERIFY_WITH_TIMEOUT(run.server.pings() >= 2, 10000);
    QVERIFY(frames.size() >= 4);
    QCOMPARE(frames.at(0).opcode, 0x1);
    QCOMPARE(frames.at(0).payload, QByteArray(R"({"machine_id":"user1","type":"auth"})"));
    QCOMPARE(frames.at(1).opcode, 0x1);
    QCOMPARE(frames.at(1).payload, QByteArray(R"({"symbols":["A"],"type":"subscribe"})"));
    for (const auto &f : frames) {
        if (f.opcode == 0x9)
            QCOMPARE(f.payload, QByteArray("hb"));
    }

    // stop(): the unsubscribe-all text, then a close frame 1000 "Stopped by user".
    const int before = frames.size();
    run->stop();
    QTRY_VERIFY(frames.size() >= before + 2);
    QCOMPARE(frames.at(before).opcode, 0x1);
    QCOMPARE(frames.at(before).payload, kUnsubscribeAll.toUtf8());
    QCOMPARE(frames.at(before + 1).opcode, 0x8);
    QCOMPARE(frames.at(before + 1).payload, QByteArray("\x03\xe8Stopped by user"));
}

void TstWebSocketWorker::serverCloseAndRefusalReconnect()
{
    FeedRun run;
    FeedServer &server = run.server;
    QVERIFY(run.start({QStringLiteral("A")}));
    const quint16 port = server.port();
    QTRY_COMPARE(server.connections(), 1);
    QVERIFY(run.syncAck());

    // Orderly close by the server: reconnect, authenticate and subscribe again.
    server.last().socket->close();
    QTRY_COMPARE(server.connections(), 2);
    QTRY_COMPARE(server.last().texts.size(), 2);
    QVERIFY(server.last().texts.first().contains(QLatin1String("\"auth\"")));
    QVERIFY(run.disconnected->count() >= 1);
    QVERIFY(!run->isSubscribed());

    // The link simply dropped; the log calls it a drop, not a stall.
    DebugLines log;
    server.last().socket->abort();
    QTRY_COMPARE(server.connections(), 3);
    QCOMPARE(DebugLines::count(QStringLiteral("Feed link dropped (close code")), 1);
    QCOMPARE(DebugLines::count(QStringLiteral("Feed link stalled")), 0);
    QTRY_COMPARE(server.last().texts.size(), 2);

    // Nobody listening for a while: attempts keep going until the server is back.
    server.last().socket->close();
    server.close();
    QTRY_VERIFY(run.disconnected->count() >= 3);
    const int connectedBefore = run.connected->count();
    QTest::qWait(20 * WebSocketWorker::reconnectIntervalMs());
    QCOMPARE(run.connected->count(), connectedBefore);
    QVERIFY(server.listen(port));
    QTRY_COMPARE(server.connections(), 4);
    QTRY_COMPARE(server.last().texts.size(), 2);
    QCOMPARE(run.connected->count(), connectedBefore + 1);
}

void TstWebSocketWorker::dropMidFrameLeavesNextConnectionClean()
{
    RawRun run;
    RawWsServer &server = run.server;
    QVERIFY(run.start({QStringLiteral("A")}));
    QTRY_COMPARE(server.connections, 1);
    QTRY_VERIFY(server.linkOpen());

    // A text frame announcing 1000 bytes, cut after 10 of them.
    server.sendRaw(QByteArray("\x81\x7e\x03\xe8", 4) + QByteArray(10, 'x'));
    QElapsedTimer sinceHalfFrame;
    sinceHalfFrame.start();
    QTest::qWait(50);
    server.dropLink();
    QTRY_COMPARE(server.connections, 2);
    QTRY_VERIFY(server.linkOpen());
    const int framesOnSecond = server.frames.size();
    const int disconnects = run.disconnected->count();

    // The new link's frames are read as frames, not as the rest of the old one.
    QVERIFY(run.syncAck());
    server.sendText(kBatch.toUtf8());
    QTRY_COMPARE(run.data->count(), 1);
    QCOMPARE(LatestBatch::copy(), kBatchLines);

    // And it stays up: no close frame, no new connection. (A socket carrying the half
    // frame over gave up waiting for its rest 5 s after it came, closing the healthy
    // link with 1001.)
    QTest::qWait(int(qMax<qint64>(0, 6500 - sinceHalfFrame.elapsed())));
    QVERIFY(server.linkOpen());
    QCOMPARE(server.connections, 2);
    QCOMPARE(run.disconnected->count(), disconnects);
    for (int i = framesOnSecond; i < server.frames.size(); ++i)
        QVERIFY2(server.frames.at(i).opcode != 0x8, "the client closed the new connection");
}

void TstWebSocketWorker::stopSendsUnsubscribeAndCloseAndNeverReopens()
{
    FeedRun run;
    QVERIFY(run.start({QStringLiteral("A")}));
    QTRY_COMPARE(run.server.connections(), 1);
    QVERIFY(run.syncAck());
    run.server.send(kBatch);
    QTRY_COMPARE(run.data->count(), 1);
    QCOMPARE(LatestBatch::copy(), kBatchLines);
    QCOMPARE(PendingBatches::count(), 1);

    run->stop();
    QVERIFY(run->isStoppedByUser());
    QVERIFY(!run->isSubscribed());
    QCOMPARE(LatestBatch::copy(), QByteArray());
    // The batch not yet imported stays kept for the next pass's import cycle (Restart).
    QCOMPARE(PendingBatches::takeAll(), QList<QByteArray>{kBatchLines});
    QTRY_VERIFY(run.server.last().closed);
    QCOMPARE(run.server.last().texts.last(), kUnsubscribeAll);
    QCOMPARE(run.server.last().closeCode, 1000);
    QCOMPARE(run.server.last().closeReason, QStringLiteral("Stopped by user"));
    // The tick file keeps the last batch; only the buffer is cleared.
    QTRY_COMPARE(readAll(m_tickPath), kBatchLines);

    // Nothing brings it back.
    run->checkHealth();
    run->reconnectTimerHit();
    run->onNetworkOnlineChanged(true);
    run->onErrorOccured(QAbstractSocket::RemoteHostClosedError);
    run->onDisconnected();
    run->resubscribe({QStringLiteral("B")});
    QTest::qWait(20 * WebSocketWorker::reconnectIntervalMs());
    QCOMPARE(run.server.connections(), 1);

    // A second stop on a closed socket is harmless.
    run->stop();
    QCOMPARE(run.server.connections(), 1);
}

void TstWebSocketWorker::networkBackReconnectsSooner()
{
    // Product intervals: the regular retry comes after 3 s, the network-back retry after
    // 0.5 s, so a connection well before 3 s can only come from the latter.
    WebSocketWorker::setIntervalScaleForTests(1.0);
    FeedRun run;
    QVERIFY(run.start({QStringLiteral("A")}));
    QVERIFY(run.linkUp());

    run.server.last().socket->close();
    QTRY_COMPARE(run.disconnected->count(), 1);
    run->onNetworkOnlineChanged(false);
    QElapsedTimer elapsed;
    elapsed.start();
    run->onNetworkOnlineChanged(true);
    QTRY_COMPARE_WITH_TIMEOUT(run.server.connections(), 2, 2500);
    QVERIFY2(elapsed.elapsed() < 2500, qPrintable(QString::number(elapsed.elapsed())));
    QTRY_COMPARE(run.server.last().texts.size(), 2);

    // Connected again: going online changes nothing.
    run->onNetworkOnlineChanged(true);
    QTest::qWait(700);
    QCOMPARE(run.server.connections(), 2);
}

void TstWebSocketWorker::networkBackDuringASlowHandshakeStillConnects()
{
    // The handshake's answer takes ten network-back intervals (5 s on a slow link with the
    // product's 0.5 s); the network is reported back while it is under way. The retry lets
    // it finish instead of opening a new socket at every hit.
    RawRun run;
    run.server.handshakeDelayMs = 10 * WebSocketWorker::networkBackIntervalMs();
    QVERIFY(run.start({QStringLiteral("A")}));
    QTRY_COMPARE(run.server.connections, 1);
    run->onNetworkOnlineChanged(true);
    QTRY_VERIFY_WITH_TIMEOUT(run.connected->count() == 1, 40 * run.server.handshakeDelayMs);
    QVERIFY(run.linkUp());
}

void TstWebSocketWorker::silentLinkIsAbortedAndReconnected_data()
{
    QTest::addColumn<bool>("answersPings");
    QTest::addColumn<bool>("sendsFrames");
    QTest::addColumn<bool>("stall");
    QTest::newRow("no frames, no pongs") << false << false << true;
    QTest::newRow("pongs only (quiet market)") << true << false << false;
    QTest::newRow("frames but no pongs") << false << true << false;
}

void TstWebSocketWorker::silentLinkIsAbortedAndReconnected()
{
    QFETCH(bool, answersPings);
    QFETCH(bool, sendsFrames);
    QFETCH(bool, stall);
    // 10 s ping, 30 s stall limit and 3 s retry become 1 s, 3 s and 0.3 s.
    WebSocketWorker::setIntervalScaleForTests(0.1);
    WebSocketWorker::setStallScaleForTests(0.1);
    auto restore = qScopeGuard([] { WebSocketWorker::setStallScaleForTests(1.0); });
    QCOMPARE(WebSocketWorker::stallLimitMs(), 3000);

    RawRun run;
    RawWsServer &server = run.server;
    server.answerPings = answersPings;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &server, [&] {
        if (server.linkOpen())
            server.sendText(R"({"type":"batch","records":[]})");
    });
    if (sendsFrames)
        ticker.start(300);

    DebugLines log;
    QVERIFY(run.start({QStringLiteral("A")}));
    QTRY_COMPARE(server.connections, 1);

    if (stall) {
        // The TCP link stays open; only the silence gives it away.
        QTRY_VERIFY_WITH_TIMEOUT(server.connections >= 2, 30000);
        QVERIFY(run.disconnected->count() >= 1);
        QVERIFY(DebugLines::count(QStringLiteral("Feed link stalled: no frame and no pong")) >= 1);
        QCOMPARE(DebugLines::count(QStringLiteral("Feed link dropped")), 0);
        return;
    }
    // Several stall limits pass with pings going out: the link stays.
    QTRY_VERIFY_WITH_TIMEOUT(server.pings() >= 10, 60000);
    QCOMPARE(server.connections, 1);
    QCOMPARE(run.disconnected->count(), 0);
    QVERIFY(server.linkOpen());
    QCOMPARE(DebugLines::count(QStringLiteral("Feed link stalled")), 0);
}

void TstWebSocketWorker::runsInItsOwnThread()
{
    FeedServer server;
    QVERIFY(server.listen());

    // Wired as the main window does it.
    QThread thread;
    auto *worker = new WebSocketWorker(server.url(), {QStringLiteral("A")},
                                       QStringLiteral("rtsocket.txt"), QStringLiteral("user1"));
    QPointer<WebSocketWorker> guard(worker);
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(&thread, &QThread::started, worker, &WebSocketWorker::start);

    int dataCount = 0;
    int connectedCount = 0;
    int disconnectedCount = 0;
    QStringList acked;
    QObject receiver;
    connect(worker, &WebSocketWorker::rtDataDownloaded, &receiver,
            [&] {
                QCOMPARE(QThread::currentThread(), qApp->thread());
                ++dataCount;
            },
            Qt::QueuedConnection);
    connect(worker, &WebSocketWorker::connected, &receiver, [&] { ++connectedCount; },
            Qt::QueuedConnection);
    connect(worker, &WebSocketWorker::disconnected, &receiver, [&] { ++disconnectedCount; },
            Qt::QueuedConnection);
    connect(worker, &WebSocketWorker::subscribedAck, &receiver,
            [&](const QStringList &s) { acked = s; }, Qt::QueuedConnection);

    // Never leave a running thread behind when a check fails early.
    auto stopThread = qScopeGuard([&] {
        if (thread.isRunning()) {
            QMetaObject::invokeMethod(guard.data(), "stop", Qt::QueuedConnection);
            thread.quit();
            thread.wait(2000);
        }
    });
    thread.start();
    QTRY_COMPARE(server.connections(), 1);
    QTRY_COMPARE(server.last().texts.size(), 2);
    QTRY_COMPARE(connectedCount, 1);

    server.send(kAck);
    QTRY_COMPARE(acked, (QStringList{QStringLiteral("A"), QStringLiteral("B")}));
    server.send(kBatch);
    QTRY_COMPARE(dataCount, 1);
    QTRY_COMPARE(readAll(m_tickPath), kBatchLines);
    QCOMPARE(LatestBatch::copy(), kBatchLines);
    QCOMPARE(PendingBatches::takeAll(), QList<QByteArray>{kBatchLines});

    QVERIFY(QMetaObject::invokeMethod(worker, "resubscribe", Qt::QueuedConnection,
                                      Q_ARG(QStringList, QStringList{QStringLiteral("Z")})));
    QTRY_COMPARE(server.last().texts.size(), 4);
    QCOMPARE(server.last().texts.at(2), kUnsubscribeAll);
    QCOMPARE(server.last().texts.at(3), QStringLiteral(R"({"symbols":["Z"],"type":"subscribe"})"));

    // The close sequence: stop queued, quit, wait up to 2 s.
    QVERIFY(QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection));
    thread.quit();
    QVERIFY(thread.wait(2000));
    QVERIFY(guard.isNull());
    QTRY_VERIFY(server.last().closed);
    QCOMPARE(server.last().texts.last(), kUnsubscribeAll);
    QCOMPARE(server.last().closeCode, 1000);
    QCOMPARE(server.last().closeReason, QStringLiteral("Stopped by user"));
    QCOMPARE(LatestBatch::copy(), QByteArray());
    QTest::qWait(300);
    QCOMPARE(server.connections(), 1);
}

QTEST_GUILESS_MAIN(TstWebSocketWorker)
#include "tst_websocketworker.moc"
