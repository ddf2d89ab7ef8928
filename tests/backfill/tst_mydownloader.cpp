// MyDownloader against a scripted loopback HTTP server and against the real devserver.

#include "backfill/mydownloader.h"
#include "devserverprocess.h"
#include "platform/installpaths.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

namespace {

// One scripted answer: status, body, and how the body goes out.
struct Script
{
    int status = 200;
    QByteArray body;
    bool withLength = true;
    int pieces = 1;       // body split into this many writes
    int pauseMs = 0;      // between writes
    bool stallHalfway = false;
};

// Answers each request with the next script (the last one repeats) and records requests.
class ScriptServer : public QTcpServer
{
public:
    QList<Script> scripts;
    QList<QByteArray> requests; // head + body of each request

    ScriptServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *s = nextPendingConnection()) {
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                connect(s, &QTcpSocket::readyRead, s, [this, s]() { onRead(s); });
            }
        });
        listen(QHostAddress::LocalHost);
    }
    QString url(const QString &pathAndQuery) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(pathAndQuery);
    }

private:
    void onRead(QTcpSocket *s)
    {
        QByteArray in = s->property("in").toByteArray() + s->readAll();
        s->setProperty("in", in);
        const int end = in.indexOf("\r\n\r\n");
        if (end < 0 || s->property("answered").toBool())
            return;
        const int cl = in.toLower().indexOf("content-length:");
        const int length = cl < 0 ? 0 : in.mid(cl + 15, in.indexOf('\r', cl) - cl - 15).trimmed().toInt();
        if (in.size() < end + 4 + length)
            return;
        s->setProperty("answered", true);
        requests.append(in);
        const Script sc = scripts.value(qMin(requests.size(), scripts.size()) - 1);
        QByteArray head = "HTTP/1.1 " + QByteArray::number(sc.status) + " X\r\nConnection: close\r\n";
        if (sc.withLength)
            head += "Content-Length: " + QByteArray::number(sc.body.size()) + "\r\n";
        s->write(head + "\r\n");
        const int piece = qMax(1, sc.body.size() / sc.pieces);
        auto *timer = new QTimer(s);
        auto sent = std::make_shared<int>(0);
        connect(timer, &QTimer::timeout, s, [s, sc, piece, sent, timer]() {
            if (sc.stallHalfway && *sent >= sc.body.size() / 2)
                return timer->stop();
            s->write(sc.body.mid(*sent, piece));
            *sent += piece;
            if (*sent >= sc.body.size()) {
                timer->stop();
                s->disconnectFromHost();
            }
        });
        timer->start(sc.pauseMs);
    }
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestMyDownloader : public QObject
{
    Q_OBJECT
    TestEnv *m_env = nullptr;

private slots:
    void initTestCase() { m_env = new TestEnv; QVERIFY(m_env->isValid()); }
    void cleanupTestCase() { delete m_env; }
    void init() { MyDownloader::setIntervalScaleForTests(0.01); }

    void progressAndSpeedTexts()
    {
        QString p, s;
        MyDownloader::progressTexts(1024, 4096, 1000, &p, &s);
        QCOMPARE(p, QStringLiteral("25.0%"));
        QCOMPARE(s, QStringLiteral("1024.0 B/s"));
        MyDownloader::progressTexts(1025, 2050, 1000, &p, &s);
        QCOMPARE(s, QStringLiteral("1.0 KB/s"));
        MyDownloader::progressTexts(1025 * 1024, 3 * 1025 * 1024, 1000, &p, &s);
        QCOMPARE(p, QStringLiteral("33.3%"));
        QCOMPARE(s, QStringLiteral("1.0 MB/s"));
        // The first millisecond divides by 0.001 s, never by zero.
        MyDownloader::progressTexts(1, 10, 0, &p, &s);
        QCOMPARE(s, QStringLiteral("1000.0 B/s"));
        MyDownloader::progressTexts(5, 0, 10, &p, &s);
        QCOMPARE(p, QStringLiteral("--%"));
        QVERIFY(s.isEmpty());
    }

    void retryDelaysGrowToTheCeiling()
    {
        ScriptServer server;
        server.scripts = {{500, "no", true, 1, 0, false}};
        MyDownloader::setIntervalScaleForTests(0.001);
        MyDownloader d(QStringLiteral("retry.txt"), QString(), QString(), 0);
        QList<int> delays;
        connect(&d, &MyDownloader::responseError, this, [&]() { delays.append(d.retryDelay()); });
        QSignalSpy gaveUp(&d, &MyDownloader::givenUp);
        d.initialize(QStringLiteral("retry.txt"), server.url(QStringLiteral("/x?d=1&send=TCS")), QString());
        QVERIFY(gaveUp.wait(10000));
        // Five failed attempts, then the request is given up and nothing more is asked.
        QCOMPARE(delays, (QList<int>{1800, 3240, 5832, 10497, 18894}));
        QCOMPARE(MyDownloader::grownRetryDelay(18894), 30000);
        QCOMPARE(MyDownloader::grownRetryDelay(30000), 30000);
        QCOMPARE(gaveUp.first().value(0).toString(), QStringLiteral("TCS"));
        QTest::qWait(300);
        QCOMPARE(server.requests.size(), 5);
        QCOMPARE(gaveUp.size(), 1);
        d.initialize(QStringLiteral("retry.txt"), server.url(QStringLiteral("/x")), QString());
        QCOMPARE(d.retryDelay(), 1000);
        QCOMPARE(d.failures(), 0);
        d.cancel();
    }

    void getAndPostForms()
    {
        ScriptServer server;
        server.scripts = {{200, "body", true, 1, 0, false}};
        MyDownloader d(QStringLiteral("form.txt"), QString(), QString(), 0);
        QSignalSpy done(&d, &MyDownloader::downloadfinished);
        d.initialize(QStringLiteral("form.txt"), server.url(QStringLiteral("/get?uid=U&send=M%26M")), QString(), 0);
        QVERIFY(done.wait(5000));
        d.initialize(QStringLiteral("form.txt"), server.url(QStringLiteral("/post?a=1&b=x y")), QString(), 1);
        QVERIFY(done.wait(5000));
        d.initialize(QStringLiteral("form.txt"), server.url(QStringLiteral("/bare")), QString(), 7);
        QVERIFY(done.wait(5000));
        QCOMPARE(server.requests.size(), 3);
        QVERIFY(server.requests[0].startsWith("GET /get?uid=U&send=M%26M HTTP/1.1"));
        QVERIFY(server.requests[0].toLower().contains("connection: keep-alive"));
        QVERIFY(!server.requests[0].toLower().contains("content-type"));
        QVERIFY(server.requests[1].startsWith("POST /post HTTP/1.1"));
        QVERIFY(server.requests[1].toLower().contains("content-type: application/x-www-form-urlencoded"));
        QVERIFY(server.requests[1].endsWith("\r\n\r\na=1&b=x y") || server.requests[1].endsWith("\r\n\r\na=1&b=x%20y"));
        QVERIFY(server.requests[2].startsWith("POST /bare HTTP/1.1"));
        QVERIFY(server.requests[2].endsWith("\r\n\r\n"));
    }

    void fixedOutputFileAndMove()
    {
        ScriptServer server;
        server.scripts = {{200, QByteArray(4000, 'p') + "payload\n", false, 4, 50, false}};
        const QString dest = m_env->root() + QStringLiteral("/Moved/");
        MyDownloader d(QStringLiteral("fixed.txt"), QString(), QString(), 0);
        QCOMPARE(d.outputFilePath(), m_env->root() + QStringLiteral("/fixed.txt"));
        QSignalSpy done(&d, &MyDownloader::downloadfinished);
        QSignalSpy progress(&d, &MyDownloader::updateProgress);
        d.initialize(QStringLiteral("other.txt"), server.url(QStringLiteral("/f")), dest);
        QVERIFY(done.wait(5000));
        QCOMPARE(d.outputFilePath(), m_env->root() + QStringLiteral("/fixed.txt"));
        QVERIFY(readFile(dest + QStringLiteral("fixed.txt")).endsWith("ppayload\n"));
        QVERIFY(!QFile::exists(d.outputFilePath()));
        // No length: "--%" while running, "100%" with an empty speed at the end.
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.first().value(0).toString(), QStringLiteral("--%"));
        QCOMPARE(progress.last(), (QList<QVariant>{QStringLiteral("100%"), QString()}));
        // Destination = the file's own folder: it stays and the end is still reported.
        d.initialize(QStringLiteral("x"), server.url(QStringLiteral("/f")), m_env->root());
        QVERIFY(done.wait(5000));
        QCOMPARE(readFile(d.outputFilePath()).size(), 4008);
    }

    void errorReplyKeepsTheOldFile()
    {
        ScriptServer server;
        server.scripts = {{404, "not here", true, 1, 0, false}};
        MyDownloader d(QStringLiteral("keep.txt"), QString(), QString(), 0);
        QFile old(d.outputFilePath());
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("OLD") == 3);
        old.close();
        QSignalSpy errors(&d, &MyDownloader::responseError);
        d.initialize(QStringLiteral("keep.txt"), server.url(QStringLiteral("/k")), QString());
        QVERIFY(errors.wait(5000));
        d.requestTimer()->stop();
        QCOMPARE(readFile(d.outputFilePath()), QByteArray("OLD"));
        QCOMPARE(QDir(m_env->root()).entryList({QStringLiteral("keep.txt*")}, QDir::Files), QStringList{QStringLiteral("keep.txt")});
    }

    void idleTimeout()
    {
        // Product 90 s -> 900 ms here, the pause after a time-out 10 s -> 100 ms.
        const QByteArray body(64 * 1024, 'b');
        ScriptServer server;
        // Slow: 8 pieces 300 ms apart, 2.4 s in all, never 900 ms without bytes.
        server.scripts = {{200, body, true, 8, 300, false}};
        MyDownloader d(QStringLiteral("slow.txt"), QString(), QString(), 0);
        QSignalSpy done(&d, &MyDownloader::downloadfinished);
        d.initialize(QStringLiteral("slow.txt"), server.url(QStringLiteral("/s")), QString());
        QVERIFY(done.wait(10000));
        QCOMPARE(server.requests.size(), 1);
        QCOMPARE(readFile(d.outputFilePath()).size(), body.size());

        // Stalled halfway: aborted, asked again, and the good second answer completes.
        ScriptServer stalled;
        stalled.scripts = {{200, body, true, 4, 10, true}, {200, body, true, 1, 0, false}};
        QSignalSpy errors(&d, &MyDownloader::responseError);
        d.initialize(QStringLiteral("slow.txt"), stalled.url(QStringLiteral("/t")), QString());
        QVERIFY(done.wait(10000));
        QCOMPARE(stalled.requests.size(), 2);
        QCOMPARE(errors.size(), 0);
    }

    void devserverArchives()
    {
        DevServerProcess server;
        QVERIFY(server.start({}));
        const QString dest = m_env->root() + QStringLiteral("/Backfill/");
        MyDownloader d(QStringLiteral("BACKFILL.ZIP"), QString(), dest, 0);
        QSignalSpy done(&d, &MyDownloader::downloadfinished);
        QSignalSpy errors(&d, &MyDownloader::responseError);
        d.initialize(QStringLiteral("backfill_U.zip"),
                     server.httpBase() + QStringLiteral("/backfill?uid=U&hash=H&d=3&send=M%26M"), dest);
        QVERIFY(done.wait(10000));
        QVERIFY(!QFile::exists(d.outputFilePath()));
        const QList<QByteArray> lines = readFile(dest + QStringLiteral("M&M.txt")).trimmed().split('\n');
        QCOMPARE(lines.size(), 3 * 375);
        QCOMPARE(lines.first().split(',').value(1), QByteArray("M&M"));
        QCOMPARE(server.requests().last(), QStringLiteral("GET /backfill?uid=U&hash=H&d=3&send=M%26M"));

        // End of day: one file per symbol of the segment, five days each.
        d.initialize(QStringLiteral("backfilldata.zip"),
                     server.httpBase() + QStringLiteral("/backfillS21/e/2026-01-02/oneday/SPOT-1.zip"), dest);
        QVERIFY(done.wait(10000));
        QCOMPARE(readFile(dest + QStringLiteral("INDIAVIX.txt")).count('\n'), 5);
        // The 30 spot indices of the demo catalogue, beside the intraday file.
        QCOMPARE(QDir(dest).entryList({QStringLiteral("*.txt")}).size(), 31);

        // A corrupt archive: one error, the archive kept, the folder as it was.
        const QStringList before = QDir(dest).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QCOMPARE(server.control(QStringLiteral("http-fault corrupt")), QStringLiteral("ok"));
        d.initialize(QStringLiteral("x.zip"), server.httpBase() + QStringLiteral("/backfill?uid=U&hash=H&d=1&send=TCS"), dest);
        // It is fetched again with growing delays, then given up with a log line; the
        // unusable archive is not kept.
        QSignalSpy gaveUp(&d, &MyDownloader::givenUp);
        QVERIFY(gaveUp.wait(20000));
        QTest::qWait(300);
        QCOMPARE(errors.size(), MyDownloader::kMaxFailures);
        QCOMPARE(gaveUp.size(), 1);
        QCOMPARE(done.size(), 2);
        QVERIFY(!QFile::exists(d.outputFilePath()));
        QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        const QByteArray log = readFile(InstallPaths::backfillErrorLog());
        QVERIFY2(log.contains(" - backfill given up for TCS after 5 failed attempts: unpacking failed"), log.constData());
        errors.clear();

        // An HTTP error status is a failed reply, retried on its own.
        QCOMPARE(server.control(QStringLiteral("http-fault status 503")), QStringLiteral("ok"));
        server.control(QStringLiteral("clear-requests"));
        // Slow enough a clock that the fault is changed before the fifth attempt.
        MyDownloader::setIntervalScaleForTests(0.1);
        d.initialize(QStringLiteral("x.zip"), server.httpBase() + QStringLiteral("/backfill?uid=U&hash=H&d=1&send=TCS"), dest);
        QTRY_VERIFY_WITH_TIMEOUT(errors.size() >= 3, 10000);
        // The retries run on a shortened clock, so more than three may have failed by now;
        // each one grows the delay from the initial 1000 ms.
        int expected = 1000;
        for (int failed = errors.size(); failed > 0; --failed)
            expected = MyDownloader::grownRetryDelay(expected);
        QVERIFY(expected >= 3240);
        QCOMPARE(d.retryDelay(), expected);
        QCOMPARE(server.control(QStringLiteral("http-fault nolength")), QStringLiteral("ok"));
        QVERIFY(done.wait(10000));
        QCOMPARE(readFile(dest + QStringLiteral("TCS.txt")).count('\n'), 375);
        QCOMPARE(server.control(QStringLiteral("http-fault bogus")).left(6), QStringLiteral("error:"));
    }
};

QTEST_GUILESS_MAIN(TestMyDownloader)
#include "tst_mydownloader.moc"
