// The local data server, driven as a real process over real loopback sockets.

#include "devserverprocess.h"
#include "testenv.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

// One devserver process on free ports; it is ready once it has printed its ws line.
class DevServer
{
public:
    ~DevServer() { stop(); }

    bool start(const QStringList &extra)
    {
        const QString exe = TestEnv::builtExecutable(QStringLiteral("vantrel-devserver"));
        if (exe.isEmpty())
            return false;
        m_proc.setProgram(exe);
        m_proc.setArguments(QStringList{QStringLiteral("--ws-port"), QStringLiteral("0"),
                                        QStringLiteral("--control-port"), QStringLiteral("0")}
                            + extra);
        m_proc.start();
        if (!m_proc.waitForStarted(5000))
            return false;
        static const QRegularExpression wsLine(
            QStringLiteral("^vantrel-devserver: listening ws on 127\\.0\\.0\\.1:(\\d+)$"),
            QRegularExpression::MultilineOption);
        static const QRegularExpression controlLine(
            QStringLiteral("^vantrel-devserver: listening control on 127\\.0\\.0\\.1:(\\d+)$"),
            QRegularExpression::MultilineOption);
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000 && m_proc.state() == QProcess::Running) {
            m_proc.waitForReadyRead(100);
            stdoutText += QString::fromUtf8(m_proc.readAllStandardOutput());
            const auto ws = wsLine.match(stdoutText);
            if (ws.hasMatch()) {
                wsPort = quint16(ws.captured(1).toUInt());
                controlPort = quint16(controlLine.match(stdoutText).captured(1).toUInt());
                return wsPort != 0 && controlPort != 0;
            }
        }
        return false;
    }

    QString control(const QString &command) { return DevServerProcess::sendControl(controlPort, command); }

    QJsonObject stats() { return QJsonDocument::fromJson(control(QStringLiteral("stats")).toUtf8()).object(); }

    void stop()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.terminate();
            if (!m_proc.waitForFinished(5000))
                m_proc.kill();
            m_proc.waitForFinished(2000);
        }
    }

    QProcess &process() { return m_proc; }

    QString stdoutText;
    quint16 wsPort = 0;
    quint16 controlPort = 0;

private:
    QProcess m_proc;
};

// A WebSocket client that sorts what it receives.
class FeedClient : public QObject
{
public:
    FeedClient()
    {
        QObject::connect(&ws, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
            ++textFrames;
            largestFrame = std::max<qint64>(largestFrame, text.size());
            const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
            const QJsonObject o = doc.object();
            const QString type = o.value(QLatin1String("type")).toString();
            if (doc.isObject() && type == QLatin1String("sub_ack")) {
                acks.append(o);
                order.append(QStringLiteral("ack"));
            } else if (doc.isObject() && type == QLatin1String("batch")
                       && o.value(QLatin1String("records")).isArray()
                       && !o.contains(QLatin1String("padding"))) {
                const QJsonArray recs = o.value(QLatin1String("records")).toArray();
                frameSizes.append(recs.size());
                for (const QJsonValue &v : recs)
                    records.append(v.toObject());
                order.append(QStringLiteral("batch"));
            } else {
                // Kept short: the huge frame would otherwise be stored whole.
                others.append(text.size() > 4096 ? QStringLiteral("<huge>") : text);
                order.append(QStringLiteral("other"));
            }
        });
        QObject::connect(&ws, &QWebSocket::disconnected, this, [this]() { disconnected = true; });
    }

    bool open(quint16 port, const QString &path = QStringLiteral("/feed"))
    {
        QSignalSpy up(&ws, &QWebSocket::connected);
        ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1%2").arg(port).arg(path)));
        return up.wait(5000);
    }

    void send(const QJsonObject &o)
    {
        ws.sendTextMessage(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    }
    void auth(const QString &id)
    {
        send({{QStringLiteral("type"), QStringLiteral("auth")}, {QStringLiteral("machine_id"), id}});
    }
    void subscribe(const QStringList &symbols)
    {
        send({{QStringLiteral("type"), QStringLiteral("subscribe")},
              {QStringLiteral("symbols"), QJsonArray::fromStringList(symbols)}});
    }
    void unsubscribeAll() { ws.sendTextMessage(QStringLiteral("{\"type\":\"unsubscribe_all\"}")); }

    QWebSocket ws;
    QList<QJsonObject> acks;
    QVector<QJsonObject> records;
    QVector<int> frameSizes;
    QStringList others;
    QStringList order;
    int textFrames = 0;
    qint64 largestFrame = 0;
    bool disconnected = false;
};

QStringList ackSymbols(const QJsonObject &ack)
{
    QStringList out;
    for (const QJsonValue &v : ack.value(QLatin1String("symbols")).toArray())
        out.append(v.toString());
    return out;
}

QString timeKey(const QJsonObject &r)
{
    return r.value(QLatin1String("ltd")).toString() + QLatin1Char(' ')
           + r.value(QLatin1String("ltt")).toString();
}

// One line per record in the sent log's field order, numbers normalised so the JSON value
// and the log text compare equal when they denote the same number.
QString recordKey(const QString &symbol, const QString &ltd, const QString &ltt, double ltp,
                  qint64 ltq, qint64 oi, qint64 vol)
{
    return QStringLiteral("%1,%2,%3,%4,%5,%6,%7")
        .arg(symbol, ltd, ltt, QString::number(ltp, 'g', 17))
        .arg(ltq)
        .arg(oi)
        .arg(vol);
}

bool isWhole(double v) { return std::abs(v - std::round(v)) < 1e-6; }

} // namespace

class TestDevServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void streamsSubscribedSymbolsAtRate();
    void requireAuthIgnoresSubscribeBeforeAuth();
    void stopAfterTicksAndSmallBatches();
    void controlDropAndReconnect();
    void dropAfterTicksHappensOnce();
    void malformedFramesAndControlCommands();
    void exitsCleanlyAndRejectsBadOptions();

private:
    std::unique_ptr<TestEnv> m_env;
};

void TestDevServer::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    QVERIFY2(!TestEnv::builtExecutable(QStringLiteral("vantrel-devserver")).isEmpty(),
             "vantrel-devserver is not built");
}

void TestDevServer::streamsSubscribedSymbolsAtRate()
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("sent.csv"));
    const qint64 testStartMs = QDateTime::currentMSecsSinceEpoch();
    DevServer server;
    QVERIFY(server.start({QStringLiteral("--rate"), QStringLiteral("200"), QStringLiteral("--batch"),
                          QStringLiteral("10"), QStringLiteral("--seed"), QStringLiteral("7"),
                          QStringLiteral("--log-sent"), logPath}));

    FeedClient a;
    QVERIFY(a.open(server.wsPort));
    a.auth(QStringLiteral("demo-user"));
    const QStringList symbols{QStringLiteral("NIFTY-I"), QStringLiteral("EURUSD"),
                              QStringLiteral("RELIANCE")};
    a.subscribe(symbols);
    QTRY_COMPARE_WITH_TIMEOUT(a.acks.size(), 1, 5000);
    QElapsedTimer window;
    window.start();
    QCOMPARE(a.acks.first().value(QLatin1String("action")).toString(), QStringLiteral("subscribe"));
    QCOMPARE(ackSymbols(a.acks.first()), symbols);
    QCOMPARE(a.order.first(), QStringLiteral("ack"));

    // Rough rate check over about two seconds: a count, not a performance figure.
    QTest::qWait(2000);
    const double seconds = window.elapsed() / 1000.0;
    const int received = a.records.size();
    QVERIFY2(received >= 0.4 * 200 * seconds && received <= 200 * (seconds + 0.3) + 10,
             qPrintable(QStringLiteral("%1 records in %2 s at rate 200").arg(received).arg(seconds)));
    for (int n : qAsConst(a.frameSizes))
        QVERIFY2(n >= 1 && n <= 10, qPrintable(QStringLiteral("frame of %1 records").arg(n)));
    QCOMPARE(*std::max_element(a.frameSizes.cbegin(), a.frameSizes.cend()), 10);

    // Record form and per-symbol consistency.
    static const QRegularExpression ltdForm(QStringLiteral("^\\d{8}$"));
    static const QRegularExpression lttForm(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$"));
    QHash<QString, QJsonObject> last;
    QHash<QString, int> perSymbol;
    for (const QJsonObject &r : qAsConst(a.records)) {
        QStringList keys = r.keys();
        keys.sort();
        QCOMPARE(keys, (QStringList{"ltd", "ltp", "ltq", "ltt", "oi", "symbol", "type", "vol"}));
        QCOMPARE(r.value(QLatin1String("type")).toString(), QStringLiteral("T"));
        const QString sym = r.value(QLatin1String("symbol")).toString();
        QVERIFY2(symbols.contains(sym), qPrintable(sym));
        QVERIFY2(ltdForm.match(r.value(QLatin1String("ltd")).toString()).hasMatch(),
                 qPrintable(r.value(QLatin1String("ltd")).toString()));
        QVERIFY2(lttForm.match(r.value(QLatin1String("ltt")).toString()).hasMatch(),
                 qPrintable(r.value(QLatin1String("ltt")).toString()));
        QVERIFY(r.value(QLatin1String("ltp")).isDouble());
        const double ltp = r.value(QLatin1String("ltp")).toDouble();
        const double ltq = r.value(QLatin1String("ltq")).toDouble();
        const double oi = r.value(QLatin1String("oi")).toDouble();
        const double vol = r.value(QLatin1String("vol")).toDouble();
        QVERIFY(ltq > 0 && isWhole(ltq) && isWhole(oi) && isWhole(vol));
        if (sym == QLatin1String("NIFTY-I")) {
            QVERIFY2(ltp > 20000 && ltp < 30000 && isWhole(ltp * 20), qPrintable(QString::number(ltp, 'g', 17)));
            QVERIFY(oi > 0);  // a future has open interest
        } else if (sym == QLatin1String("EURUSD")) {
            QVERIFY2(ltp > 0.9 && ltp < 1.3 && isWhole(ltp * 10000), qPrintable(QString::number(ltp, 'g', 17)));
            QCOMPARE(oi, 0.0);
        } else {
            QVERIFY2(ltp >= 90 && ltp <= 3100 && isWhole(ltp * 20), qPrintable(QString::number(ltp, 'g', 17)));
        }
        if (last.contains(sym)) {
            const QJsonObject &p = last[sym];
            QVERIFY2(timeKey(p) < timeKey(r),
                     qPrintable(QStringLiteral("%1: %2 then %3").arg(sym, timeKey(p), timeKey(r))));
            // This client gets every tick of its symbols, so volume adds up exactly.
            QCOMPARE(vol, p.value(QLatin1String("vol")).toDouble() + ltq);
        }
        last[sym] = r;
        ++perSymbol[sym];
    }
    for (const QString &s : symbols)
        QVERIFY2(perSymbol.value(s) >= received / 3 - 10,
                 qPrintable(QStringLiteral("%1 got %2 of %3").arg(s).arg(perSymbol.value(s)).arg(received)));

    // A second client keeps the market running while the first unsubscribes.
    FeedClient b;
    QVERIFY(b.open(server.wsPort, QStringLiteral("/any/path?x=1")));
    b.auth(QStringLiteral("other-user"));
    b.subscribe({QStringLiteral("BANKNIFTY-I")});
    QTRY_COMPARE_WITH_TIMEOUT(b.acks.size(), 1, 5000);
    a.unsubscribeAll();
    QTRY_COMPARE_WITH_TIMEOUT(a.acks.size(), 2, 5000);
    QCOMPARE(a.acks.at(1).value(QLatin1String("action")).toString(), QStringLiteral("unsubscribe_all"));
    const int aAfterUnsub = a.records.size();
    const int bBefore = b.records.size();
    QTRY_VERIFY_WITH_TIMEOUT(b.records.size() >= bBefore + 60, 5000);
    QCOMPARE(a.records.size(), aAfterUnsub);
    for (const QJsonObject &r : qAsConst(b.records))
        QCOMPARE(r.value(QLatin1String("symbol")).toString(), QStringLiteral("BANKNIFTY-I"));

    // Subscribing again resumes the stream, and the symbol's clock never goes backwards.
    a.subscribe({QStringLiteral("EURUSD")});
    QTRY_COMPARE_WITH_TIMEOUT(a.acks.size(), 3, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(a.records.size() >= aAfterUnsub + 5, 5000);
    for (int i = aAfterUnsub; i < a.records.size(); ++i) {
        const QJsonObject &r = a.records.at(i);
        QCOMPARE(r.value(QLatin1String("symbol")).toString(), QStringLiteral("EURUSD"));
        QVERIFY(timeKey(last[QStringLiteral("EURUSD")]) < timeKey(r));
        last[QStringLiteral("EURUSD")] = r;
    }

    // Everything sent is in the log, and the log holds nothing that was not received.
    QCOMPARE(server.control(QStringLiteral("pause")), QStringLiteral("ok"));
    QTRY_COMPARE_WITH_TIMEOUT(qint64(a.records.size() + b.records.size()),
                              qint64(server.stats().value(QLatin1String("records")).toDouble()), 5000);
    QStringList receivedKeys;
    for (const FeedClient *c : {&a, &b}) {
        for (const QJsonObject &r : c->records)
            receivedKeys.append(recordKey(r.value(QLatin1String("symbol")).toString(),
                                          r.value(QLatin1String("ltd")).toString(),
                                          r.value(QLatin1String("ltt")).toString(),
                                          r.value(QLatin1String("ltp")).toDouble(),
                                          qint64(r.value(QLatin1String("ltq")).toDouble()),
                                          qint64(r.value(QLatin1String("oi")).toDouble()),
                                          qint64(r.value(QLatin1String("vol")).toDouble())));
    }
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly | QIODevice::Text));
    QStringList loggedKeys;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    while (!log.atEnd()) {
        const QStringList f = QString::fromUtf8(log.readLine()).trimmed().split(QLatin1Char(','));
        QCOMPARE(f.size(), 8);
        const qint64 sentMs = f.at(7).toLongLong();
        QVERIFY(sentMs >= testStartMs - 1000 && sentMs <= nowMs + 1000);
        loggedKeys.append(recordKey(f.at(0), f.at(1), f.at(2), f.at(3).toDouble(), f.at(4).toLongLong(),
                                    f.at(5).toLongLong(), f.at(6).toLongLong()));
    }
    receivedKeys.sort();
    loggedKeys.sort();
    QCOMPARE(loggedKeys.size(), receivedKeys.size());
    QCOMPARE(loggedKeys, receivedKeys);
}

void TestDevServer::requireAuthIgnoresSubscribeBeforeAuth()
{
    DevServer server;
    QVERIFY(server.start({QStringLiteral("--require-auth"), QStringLiteral("--rate"), QStringLiteral("100")}));
    FeedClient c;
    QVERIFY(c.open(server.wsPort));
    c.subscribe({QStringLiteral("SBIN")});  // before auth: no answer, no ticks
    c.auth(QStringLiteral("MISSING-MACHINE-ID"));
    c.subscribe({QStringLiteral("NIFTY-I")});
    QTRY_COMPARE_WITH_TIMEOUT(c.acks.size(), 1, 5000);
    QCOMPARE(ackSymbols(c.acks.first()), QStringList{QStringLiteral("NIFTY-I")});
    QTRY_VERIFY_WITH_TIMEOUT(c.records.size() >= 20, 5000);
    for (const QJsonObject &r : qAsConst(c.records))
        QCOMPARE(r.value(QLatin1String("symbol")).toString(), QStringLiteral("NIFTY-I"));
    QCOMPARE(c.acks.size(), 1);
    // The client's keep-alive ping is answered.
    QSignalSpy pong(&c.ws, &QWebSocket::pong);
    c.ws.ping("hb");
    QVERIFY(pong.wait(5000));
    QCOMPARE(pong.first().at(1).toByteArray(), QByteArray("hb"));
    const QJsonObject st = server.stats();
    QCOMPARE(st.value(QLatin1String("authenticated")).toInt(), 1);
    QCOMPARE(st.value(QLatin1String("symbols")).toInt(), 1);
}

void TestDevServer::stopAfterTicksAndSmallBatches()
{
    DevServer server;
    QVERIFY(server.start({QStringLiteral("--rate"), QStringLiteral("500"), QStringLiteral("--batch"),
                          QStringLiteral("7"), QStringLiteral("--stop-after-ticks"), QStringLiteral("50")}));
    FeedClient c;
    QVERIFY(c.open(server.wsPort));
    // No auth: without --require-auth a subscribe is served anyway.
    c.subscribe({QStringLiteral("USDINR-I"), QStringLiteral("XAUUSD"), QStringLiteral("BTCUSD"),
                 QStringLiteral("USDINR-I")});
    QTRY_COMPARE_WITH_TIMEOUT(c.acks.size(), 1, 5000);
    // Duplicates are dropped from the subscription and its acknowledgement.
    QCOMPARE(ackSymbols(c.acks.first()),
             (QStringList{QStringLiteral("USDINR-I"), QStringLiteral("XAUUSD"), QStringLiteral("BTCUSD")}));
    QTRY_COMPARE_WITH_TIMEOUT(c.records.size(), 50, 5000);
    const QJsonObject st = server.stats();
    QCOMPARE(st.value(QLatin1String("ticks")).toInt(), 50);
    QCOMPARE(st.value(QLatin1String("records")).toInt(), 50);
    QCOMPARE(st.value(QLatin1String("generating")).toBool(), false);
    for (int n : qAsConst(c.frameSizes))
        QVERIFY(n >= 1 && n <= 7);
    // At 500 ticks/s a symbol often ticks twice within one millisecond; each tick still gets
    // its own timestamp.
    QHash<QString, QString> lastTime;
    for (const QJsonObject &r : qAsConst(c.records)) {
        const QString sym = r.value(QLatin1String("symbol")).toString();
        QVERIFY2(lastTime.value(sym) < timeKey(r),
                 qPrintable(QStringLiteral("%1: %2 then %3").arg(sym, lastTime.value(sym), timeKey(r))));
        lastTime[sym] = timeKey(r);
        const double ltp = r.value(QLatin1String("ltp")).toDouble();
        if (sym == QLatin1String("USDINR-I"))
            QVERIFY(ltp > 75 && ltp < 95);
        else if (sym == QLatin1String("XAUUSD"))
            QVERIFY(ltp > 1500 && ltp < 2500);
        else
            QVERIFY(ltp > 40000 && ltp < 80000);
    }
    // Still connected and quiet: the stop ends generation, not the service.
    QCOMPARE(server.control(QStringLiteral("resume")), QStringLiteral("ok"));
    QCOMPARE(server.stats().value(QLatin1String("ticks")).toInt(), 50);
    QVERIFY(!c.disconnected);
}

void TestDevServer::controlDropAndReconnect()
{
    DevServer server;
    QVERIFY(server.start({QStringLiteral("--rate"), QStringLiteral("100")}));
    FeedClient first;
    QVERIFY(first.open(server.wsPort));
    first.auth(QStringLiteral("u1"));
    first.subscribe({QStringLiteral("NIFTY-I")});
    QTRY_VERIFY_WITH_TIMEOUT(first.records.size() > 0, 5000);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const QString reply = server.control(QStringLiteral("drop"));
    QVERIFY2(reply.startsWith(QStringLiteral("ok ")), qPrintable(reply));
    const qint64 droppedAt = reply.mid(3).toLongLong();
    QVERIFY2(droppedAt >= before && droppedAt <= QDateTime::currentMSecsSinceEpoch(), qPrintable(reply));
    QTRY_VERIFY_WITH_TIMEOUT(first.disconnected, 5000);

    FeedClient second;
    QVERIFY(second.open(server.wsPort));
    second.auth(QStringLiteral("u1"));
    second.subscribe({QStringLiteral("NIFTY-I")});
    QTRY_VERIFY_WITH_TIMEOUT(second.records.size() >= 5, 5000);
    // Same market after the reconnect: the symbol's clock continues.
    QVERIFY(timeKey(first.records.last()) < timeKey(second.records.first()));
    const QJsonObject st = server.stats();
    QCOMPARE(st.value(QLatin1String("connections")).toInt(), 2);
    QCOMPARE(st.value(QLatin1String("drops")).toInt(), 1);
    QCOMPARE(st.value(QLatin1String("clients")).toInt(), 1);
}

void TestDevServer::dropAfterTicksHappensOnce()
{
    DevServer server;
    QVERIFY(server.start({QStringLiteral("--rate"), QStringLiteral("300"), QStringLiteral("--batch"),
                          QStringLiteral("5"), QStringLiteral("--drop-after-ticks"), QStringLiteral("30")}));
    FeedClient first;
    QVERIFY(first.open(server.wsPort));
    first.subscribe({QStringLiteral("GOLDM-I"), QStringLiteral("CRUDEOIL-I")});
    QTRY_VERIFY_WITH_TIMEOUT(first.disconnected, 5000);
    // The records made before the drop are sent before the link is cut.
    QCOMPARE(first.records.size(), 30);

    FeedClient second;
    QVERIFY(second.open(server.wsPort));
    second.subscribe({QStringLiteral("GOLDM-I")});
    QTRY_VERIFY_WITH_TIMEOUT(second.records.size() >= 90, 5000);
    QVERIFY(!second.disconnected);
}

void TestDevServer::malformedFramesAndControlCommands()
{
    DevServer server;
    QVERIFY(server.start({QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--batch"),
                          QStringLiteral("4")}));
    FeedClient subscribed;
    QVERIFY(subscribed.open(server.wsPort));
    subscribed.subscribe({QStringLiteral("INFY"), QStringLiteral("TCS")});
    QTRY_COMPARE_WITH_TIMEOUT(subscribed.acks.size(), 1, 5000);
    FeedClient bare;  // connected, never subscribed
    QVERIFY(bare.open(server.wsPort));
    QTRY_COMPARE_WITH_TIMEOUT(server.stats().value(QLatin1String("clients")).toInt(), 2, 5000);

    auto nextOther = [&](const QString &kind) -> QString {
        const int before = subscribed.others.size();
        const int bareBefore = bare.others.size();
        const QString reply = server.control(QStringLiteral("malformed ") + kind);
        if (reply != QLatin1String("ok"))
            return QStringLiteral("<reply %1>").arg(reply);
        if (!QTest::qWaitFor([&] { return subscribed.others.size() > before && bare.others.size() > bareBefore; }, 10000))
            return QStringLiteral("<nothing arrived>");
        return subscribed.others.last();
    };

    QJsonParseError err;
    QString text = nextOther(QStringLiteral("notjson"));
    QJsonDocument::fromJson(text.toUtf8(), &err);
    QVERIFY2(err.error != QJsonParseError::NoError, qPrintable(text));

    text = nextOther(QStringLiteral("array"));
    QVERIFY2(QJsonDocument::fromJson(text.toUtf8()).isArray(), qPrintable(text));

    text = nextOther(QStringLiteral("records-string"));
    QVERIFY2(QJsonDocument::fromJson(text.toUtf8()).object().value(QLatin1String("records")).isString(),
             qPrintable(text));

    text = nextOther(QStringLiteral("unknown-type"));
    QVERIFY2(QJsonDocument::fromJson(text.toUtf8()).object().value(QLatin1String("type")).toString()
                 == QLatin1String("heartbeat"), qPrintable(text));

    // A batch where no record has both a usable symbol and a positive price.
    const int framesBefore = subscribed.frameSizes.size();
    QCOMPARE(server.control(QStringLiteral("malformed missing-fields")), QStringLiteral("ok"));
    QTRY_COMPARE_WITH_TIMEOUT(subscribed.frameSizes.size(), framesBefore + 1, 5000);
    QVERIFY(subscribed.frameSizes.last() > 0);
    for (int i = subscribed.records.size() - subscribed.frameSizes.last(); i < subscribed.records.size(); ++i) {
        const QJsonObject r = subscribed.records.at(i);
        const bool usable = !r.value(QLatin1String("symbol")).toString().trimmed().isEmpty()
                            && r.value(QLatin1String("ltp")).toDouble() > 0;
        QVERIFY(!usable);
    }

    const qint64 bytesBefore = qint64(server.stats().value(QLatin1String("bytes")).toDouble());
    QCOMPARE(nextOther(QStringLiteral("huge")), QStringLiteral("<huge>"));
    QVERIFY(subscribed.largestFrame >= 20 * 1024 * 1024);
    QVERIFY(bare.largestFrame >= 20 * 1024 * 1024);
    QVERIFY(qint64(server.stats().value(QLatin1String("bytes")).toDouble()) - bytesBefore >= 2 * 20 * 1024 * 1024);

    QVERIFY(server.control(QStringLiteral("malformed nosuchkind")).startsWith(QLatin1String("error:")));
    QVERIFY(server.control(QStringLiteral("frobnicate")).startsWith(QLatin1String("error:")));

    // Real ticks to a client that never subscribed.
    const int bareBefore = bare.records.size();
    QCOMPARE(server.control(QStringLiteral("malformed batch-unsubscribed")), QStringLiteral("ok"));
    QTRY_COMPARE_WITH_TIMEOUT(bare.records.size(), bareBefore + 4, 5000);
    QCOMPARE(bare.acks.size(), 0);
    for (int i = bareBefore; i < bare.records.size(); ++i) {
        const QJsonObject &r = bare.records.at(i);
        QVERIFY(r.value(QLatin1String("ltp")).toDouble() > 0);
        QCOMPARE(r.value(QLatin1String("symbol")).toString(), QStringLiteral("NIFTY-I"));
    }

    // Rate 0 generates nothing until the control port raises it.
    QCOMPARE(server.stats().value(QLatin1String("ticks")).toInt(), 0);
    const int beforeRate = subscribed.records.size();
    QCOMPARE(server.control(QStringLiteral("rate 200")), QStringLiteral("ok"));
    QTRY_VERIFY_WITH_TIMEOUT(subscribed.records.size() >= beforeRate + 20, 5000);
    QCOMPARE(server.control(QStringLiteral("rate -1")).left(6), QStringLiteral("error:"));
    QCOMPARE(server.control(QStringLiteral("pause")), QStringLiteral("ok"));
    QCOMPARE(server.stats().value(QLatin1String("paused")).toBool(), true);
    QCOMPARE(server.stats().value(QLatin1String("generating")).toBool(), false);
}

void TestDevServer::exitsCleanlyAndRejectsBadOptions()
{
    {
        DevServer server;
        QVERIFY(server.start({}));
        FeedClient c;
        QVERIFY(c.open(server.wsPort));
        server.process().terminate();  // SIGTERM
        QVERIFY(server.process().waitForFinished(5000));
        QCOMPARE(server.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process().exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(c.disconnected, 5000);
    }
    {
        DevServer server;
        QVERIFY(server.start({}));
        QCOMPARE(server.control(QStringLiteral("quit")), QStringLiteral("ok"));
        QVERIFY(server.process().waitForFinished(5000));
        QCOMPARE(server.process().exitCode(), 0);
        QVERIFY(server.process().readAllStandardOutput().contains("vantrel-devserver: stopped"));
    }
    {
        DevServer server;
        QVERIFY(server.start({QStringLiteral("--duration"), QStringLiteral("0.3")}));
        QVERIFY(server.process().waitForFinished(5000));
        QCOMPARE(server.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process().exitCode(), 0);
    }
    {
        QProcess p;
        p.start(TestEnv::builtExecutable(QStringLiteral("vantrel-devserver")),
                {QStringLiteral("--ws-port"), QStringLiteral("0"), QStringLiteral("--rate"), QStringLiteral("fast")});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardError().contains("--rate"));
    }
    {
        // A port already taken is reported, not ignored.
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        QProcess p;
        p.start(TestEnv::builtExecutable(QStringLiteral("vantrel-devserver")),
                {QStringLiteral("--ws-port"), QString::number(holder.serverPort())});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("cannot listen"));
    }
}

QTEST_GUILESS_MAIN(TestDevServer)
#include "tst_devserver.moc"
