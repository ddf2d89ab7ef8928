// ArchiveDownloader against a scripted loopback HTTP server and against the real devserver.

#include "app/diskbudget.h"
#include "backfill/archivedownloader.h"
#include "archive/extraction.h"
#include "devserverprocess.h"
#include "platform/installpaths.h"
#include "testenv.h"
#include "zipwriter.h"

#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QFile>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

namespace {

// One scripted answer: status, body, and how the body goes out.
struct Script
{
    Script(int status_ = 200, QByteArray body_ = {}, bool withLength_ = true, int pieces_ = 1, int pauseMs_ = 0,
           bool stallHalfway_ = false, qint64 announced_ = -1)
        : status(status_), body(std::move(body_)), withLength(withLength_), pieces(pieces_), pauseMs(pauseMs_),
          stallHalfway(stallHalfway_), announced(announced_)
    {
    }
    int status = 200;
    QByteArray body;
    bool withLength = true;
    int pieces = 1;       // body split into this many writes
    int pauseMs = 0;      // between writes
    bool stallHalfway = false;
    qint64 announced = -1; // Content-Length sent instead of the body's size
    QByteArray location;   // a Location header (for redirects)
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
            head += "Content-Length: " + QByteArray::number(sc.announced >= 0 ? sc.announced : sc.body.size()) + "\r\n";
        if (!sc.location.isEmpty())
            head += "Location: " + sc.location + "\r\n";
        s->write(head + "\r\n");
        const int piece = qMax(1, sc.body.size() / sc.pieces);
        auto *timer = new QTimer(s);
        auto sent = std::make_shared<int>(0);
        connect(timer, &QTimer::timeout, s, [s, sc, piece, sent, timer]() {
            if (sc.stallHalfway && *sent >= sc.body.size() / 2)
                return timer->stop();
            if (sc.body.isEmpty()) {
                timer->stop();
                s->disconnectFromHost();
                return;
            }
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
bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

Q_DECLARE_METATYPE(Script)

class TestArchiveDownloader : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> m_env;

private slots:
    void initTestCase()
    {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_env->isValid());
    }
    void init() { ArchiveDownloader::setIntervalScaleForTests(0.01); }

    void progressAndSpeedTexts()
    {
        QString p, s;
        ArchiveDownloader::progressTexts(1024, 4096, 1000, &p, &s);
        QCOMPARE(p, QStringLiteral("25.0%"));
        QCOMPARE(s, QStringLiteral("1024.0 B/s"));
        ArchiveDownloader::progressTexts(1025, 2050, 1000, &p, &s);
        QCOMPARE(s, QStringLiteral("1.0 KB/s"));
        ArchiveDownloader::progressTexts(1025 * 1024, 3 * 1025 * 1024, 1000, &p, &s);
        QCOMPARE(p, QStringLiteral("33.3%"));
        QCOMPARE(s, QStringLiteral("1.0 MB/s"));
        // The first millisecond divides by 0.001 s, never by zero.
        ArchiveDownloader::progressTexts(1, 10, 0, &p, &s);
        QCOMPARE(s, QStringLiteral("1000.0 B/s"));
        ArchiveDownloader::progressTexts(5, 0, 10, &p, &s);
        QCOMPARE(p, QStringLiteral("--%"));
        QVERIFY(s.isEmpty());
    }

    void retryDelaysGrowToTheCeiling()
    {
        ScriptServer server;
        server.scripts = {{500, "no", true, 1, 0, false}};
        ArchiveDownloader::setIntervalScaleForTests(0.001);
        ArchiveDownloader d(QStringLiteral("retry.txt"), QString(), QString(), 0);
        QList<int> delays;
        connect(&d, &ArchiveDownloader::attemptFailed, this, [&]() { delays.append(d.retryDelay()); });
        QSignalSpy gaveUp(&d, &ArchiveDownloader::givenUp);
        d.initialize(QStringLiteral("retry.txt"), server.url(QStringLiteral("/x?d=1&send=TCS")), QString());
        QVERIFY(gaveUp.wait(10000));
        // Five failed attempts, then the request is given up and nothing more is asked.
        QCOMPARE(delays, (QList<int>{1800, 3240, 5832, 10497, 18894}));
        QCOMPARE(ArchiveDownloader::grownRetryDelay(18894), 30000);
        QCOMPARE(ArchiveDownloader::grownRetryDelay(30000), 30000);
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
        ArchiveDownloader d(QStringLiteral("form.txt"), QString(), QString(), 0);
        QSignalSpy done(&d, &ArchiveDownloader::finished);
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
        ArchiveDownloader d(QStringLiteral("fixed.txt"), QString(), QString(), 0);
        QCOMPARE(d.outputFilePath(), m_env->root() + QStringLiteral("/fixed.txt"));
        QSignalSpy done(&d, &ArchiveDownloader::finished);
        QSignalSpy progress(&d, &ArchiveDownloader::progress);
        QSignalSpy stored(&d, &ArchiveDownloader::stored);
        d.initialize(QStringLiteral("other.txt"), server.url(QStringLiteral("/f")), dest);
        QVERIFY(done.wait(5000));
        QCOMPARE(d.outputFilePath(), m_env->root() + QStringLiteral("/fixed.txt"));
        QVERIFY(readFile(dest + QStringLiteral("fixed.txt")).endsWith("ppayload\n"));
        QVERIFY(!QFile::exists(d.outputFilePath()));
        // No length: "--%" with an empty speed while running; the stored body is told once.
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.first(), (QList<QVariant>{QStringLiteral("--%"), QString()}));
        QCOMPARE(stored.size(), 1);
        // Destination = the file's own folder: it stays and the end is still reported.
        d.initialize(QStringLiteral("x"), server.url(QStringLiteral("/f")), m_env->root());
        QVERIFY(done.wait(5000));
        QCOMPARE(readFile(d.outputFilePath()).size(), 4008);
    }

    void idleTimeout()
    {
        // Product 90 s -> 900 ms here, the pause after a time-out 10 s -> 100 ms.
        const QByteArray body(64 * 1024, 'b');
        ScriptServer server;
        // Slow: 8 pieces 300 ms apart, 2.4 s in all, never 900 ms without bytes.
        server.scripts = {{200, body, true, 8, 300, false}};
        ArchiveDownloader d(QStringLiteral("slow.txt"), QString(), QString(), 0);
        QSignalSpy done(&d, &ArchiveDownloader::finished);
        d.initialize(QStringLiteral("slow.txt"), server.url(QStringLiteral("/s")), QString());
        QVERIFY(done.wait(10000));
        QCOMPARE(server.requests.size(), 1);
        QCOMPARE(readFile(d.outputFilePath()).size(), body.size());
    }

    // The first answer fails; the old file stays until the retry's whole answer
    // replaces it, and that end is reported once. Rows name the tests they were.
    void failedTransferIsRetried_data()
    {
        QTest::addColumn<Script>("first");
        QTest::addColumn<bool>("timedOut");
        QTest::newRow("error status (errorReplyKeepsTheOldFile)") << Script{404, "not here"} << false;
        // Aborted after 900 ms without bytes.
        QTest::newRow("stalled halfway (idleTimeout)") << Script{200, QByteArray(64 * 1024, 'b'), true, 4, 10, true} << true;
        // Bytes every 300 ms keep the idle limit away; the 9 s total limit still ends it.
        QTest::newRow("endless body (totalLimitEndsAnEndlessBody)")
            << Script{200, QByteArray(40 * 1024, 'e'), false, 60, 300} << false;
        QTest::newRow("cut short (truncatedBodyIsAFailedTransfer)")
            << Script{200, QByteArray(3000, 'c'), true, 3, 10, false, 9000} << false;
    }
    void failedTransferIsRetried()
    {
        QFETCH(Script, first);
        QFETCH(bool, timedOut);
        ScriptServer server;
        server.scripts = {first, {200, "whole\n"}};
        ArchiveDownloader d(QStringLiteral("retried.txt"), QString(), QString(), 0);
        QVERIFY(writeFile(d.outputFilePath(), "OLD"));
        QSignalSpy done(&d, &ArchiveDownloader::finished);
        QSignalSpy errors(&d, &ArchiveDownloader::attemptFailed);
        QByteArray between;
        connect(&d, &ArchiveDownloader::attemptFailed, this, [&]() { between = readFile(d.outputFilePath()); });
        d.initialize(QStringLiteral("retried.txt"), server.url(QStringLiteral("/r")), QString());
        QVERIFY(done.wait(40000));
        QCOMPARE(server.requests.size(), 2);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.first().value(0).toBool(), timedOut);
        QCOMPARE(between, QByteArray("OLD"));
        QCOMPARE(readFile(d.outputFilePath()), QByteArray("whole\n"));
        QCOMPARE(done.size(), 1);
        QCOMPARE(QDir(m_env->root()).entryList({"retried.txt*"}, QDir::Files), QStringList{"retried.txt"});
    }

    // A request that does not fit the disk budget is given up at the first answer: one
    // request, one line in the log, no partial file, no retry a second later.
    void spaceRefusalsGiveUpAtOnce_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("withLength");
        QTest::addColumn<qint64>("cap");
        QTest::addColumn<qint64>("freeBytes"); // what the disk pretends to have (-1: its own)
        QTest::addColumn<QString>("reason");   // %1: the disk's name
        const qint64 mb = DiskBudget::kMB;
        const QByteArray big(3 * mb, 'x');
        QTest::newRow("announced over the cap") << big << true << mb << qint64(-1)
                                                << "needs 3 MB; one job may use at most 1 MB whatever the disk has free";
        QTest::newRow("no length, grows over the cap")
            << big << false << mb << qint64(-1) << "needs more than 1 MB; one job may use at most 1 MB whatever the disk has free";
        QTest::newRow("announced over half the free space") << big << true << DiskBudget::kJobCapBytes << 104 * mb
                                                            << "needs 3 MB; 2 MB may be used: free space on %1 is 104 MB; "
                                                               "free 2 MB more on %1 and try again";
        // The body fits, its unpacked entries and their rewritten copy do not.
        ZipWriter zip;
        zip.addFile("TCS.txt", QByteArray(5000, 't'));
        QTest::newRow("unpacked size over half the free space")
            << zip.finish() << true << DiskBudget::kJobCapBytes << DiskBudget::kFloorBytes + 16000
            << "not enough disk space to unpack: needs 1 MB; 0 MB may be used: free space on %1 is 100 MB; free 1 MB "
               "more on %1 and try again";
    }
    void spaceRefusalsGiveUpAtOnce()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, withLength);
        QFETCH(qint64, cap);
        QFETCH(qint64, freeBytes);
        QFETCH(QString, reason);
        ScriptServer server;
        server.scripts = {{200, body, withLength, 12, 5, false}};
        ArchiveDownloader::setBodyLimitForTests(cap);
        DiskBudget::setFreeBytesForTests(freeBytes);
        const auto restore = qScopeGuard([] {
            ArchiveDownloader::setBodyLimitForTests(0);
            DiskBudget::setFreeBytesForTests(-1);
        });
        const QString dest = m_env->root() + QStringLiteral("/Space/");
        ArchiveDownloader d(QStringLiteral("space.zip"), QString(), dest, 0);
        QSignalSpy gaveUp(&d, &ArchiveDownloader::givenUp);
        QSignalSpy errors(&d, &ArchiveDownloader::attemptFailed);
        QFile::remove(InstallPaths::backfillErrorLog());
        d.initialize(QStringLiteral("space.zip"), server.url(QStringLiteral("/s?send=TCS")), dest);
        QVERIFY(gaveUp.wait(20000));
        QTest::qWait(300);
        const QString expected = reason.arg(DiskBudget::roomFor(m_env->root(), cap).volume);
        QCOMPARE(gaveUp.size(), 1);
        QCOMPARE(gaveUp.first(), (QList<QVariant>{QStringLiteral("TCS"), expected, true}));
        QCOMPARE(errors.size(), 1);
        QCOMPARE(server.requests.size(), 1);
        QVERIFY(!QFile::exists(d.outputFilePath()));
        QVERIFY(!QFile::exists(ArchiveDownloader::partialPath(d.outputFilePath())));
        QVERIFY(QDir(dest).entryList(QDir::Files).isEmpty());
        const QList<QByteArray> log = readFile(InstallPaths::backfillErrorLog()).split('\n');
        QCOMPARE(log.size(), 2);
        QVERIFY2(log[0].endsWith(" - backfill skipped for TCS, not enough disk space: " + expected.toUtf8()), log[0].constData());
    }

    void redirectLoopIsCut()
    {
        ScriptServer server;
        Script loop{302, "", true, 1, 0, false};
        loop.location = "/again";
        server.scripts = {loop};
        ArchiveDownloader d(QStringLiteral("redir.txt"), QString(), QString(), 0);
        QSignalSpy errors(&d, &ArchiveDownloader::attemptFailed);
        d.initialize(QStringLiteral("redir.txt"), server.url(QStringLiteral("/start")), QString());
        QVERIFY(errors.wait(20000));
        d.cancel();
        // The request and five redirects, not fifty. The HTTP layer may send a request a
        // second time when it finds the link already closed by this server, so allow that.
        QVERIFY(server.requests.size() >= 1 + ArchiveDownloader::kMaxRedirects);
        QVERIFY2(server.requests.size() <= 2 * (1 + ArchiveDownloader::kMaxRedirects), QByteArray::number(server.requests.size()));
    }

    void partialBodyHasAVisibleNameAndIsCleanedAtStart()
    {
        const QByteArray body(64 * 1024, 'p');
        ScriptServer server;
        server.scripts = {{200, body, true, 4, 10, true}};
        ArchiveDownloader::setIntervalScaleForTests(1);
        ArchiveDownloader d(QStringLiteral("visible.txt"), QString(), QString(), 0);
        const QString partial = ArchiveDownloader::partialPath(d.outputFilePath());
        QCOMPARE(partial, m_env->root() + QStringLiteral("/visible.txt.part"));
        d.initialize(QStringLiteral("visible.txt"), server.url(QStringLiteral("/v")), QString());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > 0, 20000);
        // Stop: the reply, the timers and the partial body go; nothing is asked again.
        QVERIFY(!d.isIdle());
        d.cancel();
        QVERIFY(d.isIdle());
        QVERIFY(!QFile::exists(partial));
        QTest::qWait(300);
        QCOMPARE(server.requests.size(), 1);

        // Leftovers of a killed run are removed when the next run's downloader is made.
        QVERIFY(writeFile(partial, "half"));
        const QString staging = m_env->root() + QStringLiteral("/Backfill-staging-Ab12Cd");
        QVERIFY(QDir().mkpath(staging + QStringLiteral("/files")));
        ArchiveDownloader again(QStringLiteral("visible.txt"), QString(), m_env->root() + QStringLiteral("/Backfill/"), 0);
        QVERIFY(!QFile::exists(partial));
        QVERIFY(!QFileInfo::exists(staging));
    }

    void newRequestCancelsTheRunningExtraction()
    {
        // The first archive's extraction hangs (its "7za" sleeps while a marker exists),
        // the second is unpacked by the real 7za.
        const QString bin = m_env->root() + QStringLiteral("/bin-marker");
        const QString marker = m_env->root() + QStringLiteral("/hang-marker");
        const QString pidFile = m_env->root() + QStringLiteral("/hang.pid");
        QDir().mkpath(bin);
        QVERIFY(writeFile(bin + "/7za", "#!/bin/sh\nif [ -e '" + marker.toUtf8() + "' ]; then echo $$ > '"
                                             + pidFile.toUtf8() + "'; exec sleep 600; fi\nexec /usr/bin/7za \"$@\"\n"));
        QVERIFY(QFile::setPermissions(bin + "/7za", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QVERIFY(writeFile(marker, {}));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.toLocal8Bit() + ":" + path);

        DevServerProcess server;
        QVERIFY(server.start({}));
        const QString dest = m_env->root() + QStringLiteral("/Fresh/");
        ArchiveDownloader d(QStringLiteral("fresh.zip"), QString(), dest, 0);
        QSignalSpy done(&d, &ArchiveDownloader::finished);
        d.initialize(QStringLiteral("a.zip"), server.httpBase() + QStringLiteral("/backfill?uid=U&hash=H&d=1&send=INFY"), dest);
        const quint64 first = d.requestNumber();
        QTRY_VERIFY_WITH_TIMEOUT(QFile(pidFile).size() > 0, 20000);
        QVERIFY(d.extractor()->isRunning());
        QFile pf(pidFile);
        QVERIFY(pf.open(QIODevice::ReadOnly));
        const QByteArray hung = pf.readAll().trimmed();
        QVERIFY(QFile::remove(marker));

        d.initialize(QStringLiteral("b.zip"), server.httpBase() + QStringLiteral("/backfill?uid=U&hash=H&d=1&send=TCS"), dest);
        QVERIFY(d.requestNumber() > first);
        // The hung archiver and its staging folder are gone at once.
        QVERIFY(!d.extractor()->isRunning());
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/") + QString::fromLatin1(hung) + QStringLiteral("/cmdline"))
                || readFile(QStringLiteral("/proc/") + QString::fromLatin1(hung) + QStringLiteral("/stat")).contains(") Z"));
        QVERIFY(QDir(m_env->root()).entryList({QStringLiteral("Fresh-staging-*")}, QDir::Dirs).isEmpty());
        QVERIFY(done.wait(20000));
        QTest::qWait(500);
        qputenv("PATH", path);
        // One end for the one request that was not replaced, and only its file.
        QCOMPARE(done.size(), 1);
        QCOMPARE(QDir(dest).entryList(QDir::Files), QStringList{QStringLiteral("TCS.txt")});
    }

    void bodyWithoutLengthIsRequestedOnce()
    {
        // A body that ends with the server's close, written in many pieces.
        ScriptServer server;
        server.scripts = {{200, QByteArray(512 * 1024, 'n'), false, 32, 20, false}};
        ArchiveDownloader d(QStringLiteral("nolength.txt"), QString(), QString(), 0);
        QSignalSpy done(&d, &ArchiveDownloader::finished);
        QSignalSpy errors(&d, &ArchiveDownloader::attemptFailed);
        d.initialize(QStringLiteral("nolength.txt"), server.url(QStringLiteral("/n")), QString());
        QVERIFY(done.wait(20000));
        QTest::qWait(300);
        QCOMPARE(server.requests.size(), 1);
        QCOMPARE(errors.size(), 0);
        QCOMPARE(readFile(d.outputFilePath()).size(), 512 * 1024);
    }

    void unusableBodiesGrowTheDelayAndGiveUp_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("HTML page") << QByteArray("<html><body>Service busy</body></html>\n");
        QTest::newRow("empty body") << QByteArray();
    }
    void unusableBodiesGrowTheDelayAndGiveUp()
    {
        // A transfer that succeeds but brings no archive is a failed attempt like any other.
        QFETCH(QByteArray, body);
        ScriptServer server;
        server.scripts = {{200, body, true, 1, 0, false}};
        ArchiveDownloader::setIntervalScaleForTests(0.001);
        const QString dest = m_env->root() + QStringLiteral("/Html/");
        ArchiveDownloader d(QStringLiteral("html.zip"), QString(), dest, 0);
        QList<int> delays;
        connect(&d, &ArchiveDownloader::attemptFailed, this, [&]() { delays.append(d.retryDelay()); });
        QSignalSpy gaveUp(&d, &ArchiveDownloader::givenUp);
        QSignalSpy done(&d, &ArchiveDownloader::finished);
        d.initialize(QStringLiteral("html.zip"), server.url(QStringLiteral("/h?send=SBIN")), dest);
        QVERIFY(gaveUp.wait(20000));
        QCOMPARE(delays, (QList<int>{1800, 3240, 5832, 10497, 18894}));
        QCOMPARE(gaveUp.first().value(0).toString(), QStringLiteral("SBIN"));
        QVERIFY(gaveUp.first().value(1).toString().startsWith(QStringLiteral("unpacking failed: not a ZIP archive")));
        QCOMPARE(done.size(), 0);
        QCOMPARE(server.requests.size(), 5);
        QVERIFY(QDir(dest).entryList(QDir::Files).isEmpty());
    }

    void smallDiskRefusesTheBody()
    {
        // Runs again in a mount namespace of its own, with the installation root on a
        // 16 MB tmpfs: below the floor the disk budget leaves no room for any body.
        if (qEnvironmentVariableIsEmpty("VANTREL_SMALL_DISK")) {
            QProcess child;
            QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
            e.insert(QStringLiteral("VANTREL_SMALL_DISK"), QStringLiteral("1"));
            child.setProcessEnvironment(e);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                                                    QCoreApplication::applicationFilePath(), QStringLiteral("smallDiskRefusesTheBody")});
            QVERIFY(child.waitForFinished(90000));
            const QByteArray out = child.readAll();
            if (out.startsWith("unshare: "))
                QSKIP(out.constData());
            QVERIFY2(child.exitCode() == 0, out.right(3000).constData());
            QVERIFY2(out.contains("PASS   : TestArchiveDownloader::smallDiskRefusesTheBody()"), out.right(3000).constData());
            return;
        }
        QProcess mount;
        mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                              QStringLiteral("size=16m"), QStringLiteral("tmpfs"), m_env->root()});
        QVERIFY(mount.waitForFinished(10000) && mount.exitCode() == 0);
        QCOMPARE(QStorageInfo(m_env->root()).fileSystemType(), QByteArray("tmpfs"));

        for (bool withLength : {true, false}) {
            ScriptServer server;
            server.scripts = {{200, QByteArray(256 * 1024, 'd'), withLength, 4, 10, false}};
            ArchiveDownloader::setIntervalScaleForTests(0.001);
            ArchiveDownloader d(QStringLiteral("disk.zip"), QString(), m_env->root() + QStringLiteral("/Backfill/"), 0);
            QSignalSpy gaveUp(&d, &ArchiveDownloader::givenUp);
            d.initialize(QStringLiteral("disk.zip"), server.url(QStringLiteral("/d?send=ITC")), m_env->root() + QStringLiteral("/Backfill/"));
            QVERIFY(gaveUp.wait(20000));
            // Below the floor nothing may be written, and the user is told what to free.
            const QString why = gaveUp.first().value(1).toString();
            QVERIFY2(why.startsWith(withLength ? QStringLiteral("needs 1 MB; 0 MB may be used: free space on ")
                                               : QStringLiteral("needs more than 0 MB; 0 MB may be used: free space on "))
                         && QRegularExpression(QStringLiteral(" is 1[56] MB; free (8[45] MB more|more space) on .+ and try again$"))
                                .match(why)
                                .hasMatch(),
                     qPrintable(why));
            QTest::qWait(200);
            QCOMPARE(server.requests.size(), 1);
            QVERIFY(!QFile::exists(d.outputFilePath()));
            QVERIFY(!QFile::exists(ArchiveDownloader::partialPath(d.outputFilePath())));
        }
        const QByteArray log = readFile(InstallPaths::backfillErrorLog());
        // Unmounted, so the test's own folder can be removed.
        QProcess::execute(QStringLiteral("umount"), {m_env->root()});
        QCOMPARE(log.count(" - backfill skipped for ITC, not enough disk space: "), 2);
        QVERIFY2(!log.contains("failed attempts"), log.constData());
    }

    void devserverArchives()
    {
        DevServerProcess server;
        QVERIFY(server.start({}));
        const QString dest = m_env->root() + QStringLiteral("/Backfill/");
        ArchiveDownloader d(QStringLiteral("BACKFILL.ZIP"), QString(), dest, 0);
        QSignalSpy done(&d, &ArchiveDownloader::finished);
        QSignalSpy errors(&d, &ArchiveDownloader::attemptFailed);
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
        QSignalSpy gaveUp(&d, &ArchiveDownloader::givenUp);
        QVERIFY(gaveUp.wait(20000));
        QTest::qWait(300);
        QCOMPARE(errors.size(), ArchiveDownloader::kMaxFailures);
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
        ArchiveDownloader::setIntervalScaleForTests(0.1);
        d.initialize(QStringLiteral("x.zip"), server.httpBase() + QStringLiteral("/backfill?uid=U&hash=H&d=1&send=TCS"), dest);
        QTRY_VERIFY_WITH_TIMEOUT(errors.size() >= 3, 10000);
        // The retries run on a shortened clock, so more than three may have failed by now;
        // each one grows the delay from the initial 1000 ms.
        int expected = 1000;
        for (int failed = errors.size(); failed > 0; --failed)
            expected = ArchiveDownloader::grownRetryDelay(expected);
        QVERIFY(expected >= 3240);
        QCOMPARE(d.retryDelay(), expected);
        QCOMPARE(server.control(QStringLiteral("http-fault nolength")), QStringLiteral("ok"));
        QVERIFY(done.wait(10000));
        QCOMPARE(readFile(dest + QStringLiteral("TCS.txt")).count('\n'), 375);
        QCOMPARE(server.control(QStringLiteral("http-fault bogus")).left(6), QStringLiteral("error:"));
    }
};

QTEST_GUILESS_MAIN(TestArchiveDownloader)
#include "tst_archivedownloader.moc"
