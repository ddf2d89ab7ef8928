// The local data server as a market that keeps trading: minute bars built from its own
// ticks, muted links and refused connections. A real process over real loopback sockets.

#include "devserverprocess.h"
#include "testenv.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

namespace {

struct Bar
{
    double open = 0, high = 0, low = 0, close = 0;
    qint64 volume = 0;
};

// Subscribes and keeps every record it gets.
class Client : public QObject
{
public:
    Client()
    {
        connect(&ws, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
            const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
            if (o.value(QLatin1String("type")).toString() == QLatin1String("batch")) {
                for (const QJsonValue &v : o.value(QLatin1String("records")).toArray())
                    records.append(v.toObject());
            }
        });
        connect(&ws, &QWebSocket::pong, this, [this] { ++pongs; });
    }
    bool open(quint16 port)
    {
        QSignalSpy up(&ws, &QWebSocket::connected);
        ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(port)));
        return up.wait(3000);
    }
    void subscribe(const QStringList &symbols)
    {
        ws.sendTextMessage(QString::fromUtf8(
            QJsonDocument(QJsonObject{{QStringLiteral("type"), QStringLiteral("subscribe")},
                                      {QStringLiteral("symbols"), QJsonArray::fromStringList(symbols)}})
                .toJson(QJsonDocument::Compact)));
    }
    QWebSocket ws;
    QVector<QJsonObject> records;
    int pongs = 0;
};

// The intraday answer for one symbol, unpacked with the real unzip: minute -> bar.
QMap<QString, Bar> intradayBars(const DevServerProcess &server, const QString &symbol, QString *why)
{
    QNetworkAccessManager net;
    QNetworkReply *reply = net.get(QNetworkRequest(
        QUrl(server.httpBase() + QStringLiteral("/b?uid=u&hash=h&d=1&send=") + symbol)));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    QTemporaryDir dir;
    const QString zip = dir.filePath(QStringLiteral("a.zip"));
    QFile f(zip);
    f.open(QIODevice::WriteOnly);
    f.write(reply->readAll());
    f.close();
    reply->deleteLater();
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), zip});
    unzip.waitForFinished(10000);
    QMap<QString, Bar> bars;
    for (const QByteArray &line : unzip.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> f = line.split(',');
        if (f.size() != 10) {
            if (!line.isEmpty())
                *why = QString::fromUtf8(line);
            continue;
        }
        Bar b{f[4].toDouble(), f[5].toDouble(), f[6].toDouble(), f[7].toDouble(), f[8].toLongLong()};
        bars.insert(QString::fromLatin1(f[2] + ' ' + f[3]), b);
    }
    return bars;
}

// What a client's records say each minute's bar must be.
QMap<QString, Bar> barsOfRecords(const QVector<QJsonObject> &records, const QString &symbol)
{
    QMap<QString, Bar> bars;
    for (const QJsonObject &r : records) {
        if (r.value(QLatin1String("symbol")).toString() != symbol)
            continue;
        const QString minute = r.value(QLatin1String("ltd")).toString() + QLatin1Char(' ')
                               + r.value(QLatin1String("ltt")).toString().left(5) + QStringLiteral(":00");
        const double p = r.value(QLatin1String("ltp")).toDouble();
        const qint64 q = qint64(r.value(QLatin1String("ltq")).toDouble());
        auto it = bars.find(minute);
        if (it == bars.end()) {
            bars.insert(minute, Bar{p, p, p, p, q});
            continue;
        }
        it->high = qMax(it->high, p);
        it->low = qMin(it->low, p);
        it->close = p;
        it->volume += q;
    }
    return bars;
}

qint64 ticks(const DevServerProcess &server)
{
    return QJsonDocument::fromJson(server.control(QStringLiteral("stats")).toUtf8())
        .object()
        .value(QLatin1String("ticks"))
        .toVariant()
        .toLongLong();
}

} // namespace

class TstDevMarket : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_env.isValid()); }
    void barsAreTheTicksOfEachMinute();
    void marketTradesWhileNobodyListens();
    void mutedLinkStaysOpenAndSilent();
    void refusedForAWhile();

private:
    TestEnv m_env;
};

void TstDevMarket::barsAreTheTicksOfEachMinute()
{
    DevServerProcess server;
    QVERIFY(server.start({QStringLiteral("--market"), QStringLiteral("--rate"), QStringLiteral("200"),
                          QStringLiteral("--linger-ms"), QStringLiteral("10")}));
    // One client sees every tick of both symbols; a second comes and goes.
    Client watcher;
    QVERIFY(watcher.open(server.wsPort));
    watcher.subscribe({QStringLiteral("NIFTY-I"), QStringLiteral("GOLDM-I")});
    QTRY_VERIFY_WITH_TIMEOUT(watcher.records.size() > 200, 20000);
    {
        Client visitor;
        QVERIFY(visitor.open(server.wsPort));
        visitor.subscribe({QStringLiteral("NIFTY-I")});
        QTRY_VERIFY_WITH_TIMEOUT(visitor.records.size() > 20, 20000);
    }
    QTRY_VERIFY_WITH_TIMEOUT(watcher.records.size() > 600, 20000);
    QVERIFY(server.control(QStringLiteral("pause")).startsWith(QLatin1String("ok")));
    QTest::qWait(300); // the paused server's last frames

    for (const QString &symbol : {QStringLiteral("NIFTY-I"), QStringLiteral("GOLDM-I")}) {
        QString why;
        const QMap<QString, Bar> got = intradayBars(server, symbol, &why);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        const QMap<QString, Bar> want = barsOfRecords(watcher.records, symbol);
        QVERIFY(!want.isEmpty());
        QCOMPARE(got.keys(), want.keys());
        for (auto it = want.constBegin(); it != want.constEnd(); ++it) {
            const Bar &g = got.value(it.key());
            QCOMPARE(g.open, it->open);
            QCOMPARE(g.high, it->high);
            QCOMPARE(g.low, it->low);
            QCOMPARE(g.close, it->close);
            QCOMPARE(g.volume, it->volume);
        }
    }
    // A symbol the market never traded keeps the built-in history.
    QString why;
    QCOMPARE(intradayBars(server, QStringLiteral("INFY"), &why).size(), 375);
}

void TstDevMarket::marketTradesWhileNobodyListens()
{
    DevServerProcess server;
    QVERIFY(server.start({QStringLiteral("--market"), QStringLiteral("--rate"), QStringLiteral("100")}));
    qint64 seen = 0;
    {
        Client c;
        QVERIFY(c.open(server.wsPort));
        c.subscribe({QStringLiteral("NIFTY-I")});
        QTRY_VERIFY_WITH_TIMEOUT(c.records.size() > 20, 20000);
        for (const QJsonObject &r : qAsConst(c.records))
            seen += qint64(r.value(QLatin1String("ltq")).toDouble());
    }
    const qint64 before = ticks(server);
    QTRY_VERIFY_WITH_TIMEOUT(ticks(server) > before + 100, 20000);
    QString why;
    qint64 volume = 0;
    for (const Bar &b : intradayBars(server, QStringLiteral("NIFTY-I"), &why))
        volume += b.volume;
    QVERIFY2(volume > seen, qPrintable(QStringLiteral("%1 <= %2").arg(volume).arg(seen)));

    // Without --market the feed stops with its last client, as before.
    DevServerProcess plain;
    QVERIFY(plain.start({QStringLiteral("--rate"), QStringLiteral("100")}));
    {
        Client c;
        QVERIFY(c.open(plain.wsPort));
        c.subscribe({QStringLiteral("NIFTY-I")});
        QTRY_VERIFY_WITH_TIMEOUT(c.records.size() > 5, 20000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(QJsonDocument::fromJson(plain.control(QStringLiteral("stats")).toUtf8())
                                  .object().value(QLatin1String("clients")).toInt(), 0, 10000);
    const qint64 stopped = ticks(plain);
    QTest::qWait(500);
    QCOMPARE(ticks(plain), stopped);
}

void TstDevMarket::mutedLinkStaysOpenAndSilent()
{
    DevServerProcess server;
    QVERIFY(server.start({QStringLiteral("--rate"), QStringLiteral("100")}));
    Client c;
    QVERIFY(c.open(server.wsPort));
    c.subscribe({QStringLiteral("NIFTY-I")});
    QTRY_VERIFY_WITH_TIMEOUT(c.records.size() > 5, 20000);
    c.ws.ping("x");
    QTRY_COMPARE_WITH_TIMEOUT(c.pongs, 1, 5000);

    QCOMPARE(server.control(QStringLiteral("mute")), QStringLiteral("ok 1 muted"));
    QTest::qWait(300); // frames already on their way
    const int got = c.records.size();
    c.ws.ping("y");
    QTest::qWait(1500);
    QCOMPARE(c.records.size(), got);
    QCOMPARE(c.pongs, 1);
    QCOMPARE(c.ws.state(), QAbstractSocket::ConnectedState);

    // A new link is served normally.
    Client next;
    QVERIFY(next.open(server.wsPort));
    next.subscribe({QStringLiteral("NIFTY-I")});
    QTRY_VERIFY_WITH_TIMEOUT(next.records.size() > 5, 20000);
}

void TstDevMarket::refusedForAWhile()
{
    DevServerProcess server;
    QVERIFY(server.start({}));
    QVERIFY(server.control(QStringLiteral("refuse 3")).startsWith(QLatin1String("ok ")));
    QCOMPARE(server.control(QStringLiteral("refuse x")).left(6), QStringLiteral("error:"));
    Client early;
    QSignalSpy failed(&early.ws, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
    early.ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(server.wsPort)));
    QVERIFY(failed.wait(3000));
    QCOMPARE(failed.first().first().value<QAbstractSocket::SocketError>(),
             QAbstractSocket::ConnectionRefusedError);
    // Afterwards the same port answers again.
    QTRY_VERIFY_WITH_TIMEOUT(Client().open(server.wsPort), 20000);
}

QTEST_GUILESS_MAIN(TstDevMarket)
#include "tst_devmarket.moc"
