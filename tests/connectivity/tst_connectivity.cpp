#include "app/connectivitymonitor.h"
#include "testenv.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// A loopback port that neither accepts nor refuses: a listening socket with a backlog of
// zero whose one queue slot is taken by a connection nobody accepts. Linux then drops
// further SYNs, so a new connection attempt stays pending, just as towards an unreachable
// host. Only 127.0.0.1 is involved.
class SilentPort
{
public:
    SilentPort()
    {
#ifdef Q_OS_LINUX
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (m_fd < 0)
            return;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
            || ::listen(m_fd, 0) != 0
            || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return;
        m_port = ntohs(addr.sin_port);

        // Fill the queue until an attempt hangs; that proves the port is silent now.
        for (int i = 0; i < 8; ++i) {
            auto filler = std::make_unique<QTcpSocket>();
            filler->connectToHost(QHostAddress::LocalHost, m_port);
            if (!filler->waitForConnected(400)) {
                // Refused would be an error of its own; only a pending attempt times out.
                m_silent = filler->error() == QAbstractSocket::SocketTimeoutError;
                filler->abort();
                return;
            }
            m_fillers.push_back(std::move(filler));
        }
#endif
    }
    ~SilentPort()
    {
        m_fillers.clear();
#ifdef Q_OS_LINUX
        if (m_fd >= 0)
            ::close(m_fd);
#endif
    }
    bool isSilent() const { return m_silent; }
    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
    bool m_silent = false;
    std::vector<std::unique_ptr<QTcpSocket>> m_fillers;
};

class TestConnectivity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void texts();
    void parseTarget_data();
    void parseTarget();
    void probeTargetFromEnvironmentOrBuild();
    void listeningServerReportsConnected();
    void hostNameIsResolved();
    void closedPortReportsDisconnected();
    void silentHostTimesOutWithoutBlocking();
    void repeatingChecks();
    void destroyedWhileChecking();

private:
    static void pointAt(quint16 port)
    {
        qputenv("VANTREL_PROBE_HOST", QByteArray("127.0.0.1:") + QByteArray::number(port));
    }
    static int liveSockets(const ConnectivityMonitor &m)
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return m.findChildren<QTcpSocket *>().size();
    }

    std::unique_ptr<TestEnv> m_env;
};

void TestConnectivity::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
}

void TestConnectivity::cleanup()
{
    qputenv("VANTREL_PROBE_HOST", "127.0.0.1:9");
}

void TestConnectivity::texts()
{
    QCOMPARE(ConnectivityMonitor::connectedText(),
             QStringLiteral("<span style=\"color:#04432E ;\"><b>Connected</b></span>"));
    QCOMPARE(ConnectivityMonitor::disconnectedText(),
             QStringLiteral("<span style=\"color:#ff0000;\"><b>Disconnected</b></span>"));
    ConnectivityMonitor m;
    QCOMPARE(m.timeoutMs(), 5000);
    QVERIFY(!m.isChecking());
    QCOMPARE(m.lastOutcome(), ConnectivityMonitor::Outcome::None);
}

void TestConnectivity::parseTarget_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("host:port") << "127.0.0.1:8080" << "127.0.0.1" << 8080;
    QTest::newRow("host only") << "example.org" << "example.org" << 80;
    QTest::newRow("spaces") << "  localhost:81 " << "localhost" << 81;
    QTest::newRow("empty port") << "localhost:" << "localhost" << 80;
    QTest::newRow("bad port") << "localhost:http" << "localhost" << 80;
    QTest::newRow("port out of range") << "localhost:70000" << "localhost" << 80;
    QTest::newRow("bracketed v6") << "[::1]:8443" << "::1" << 8443;
    QTest::newRow("bare v6") << "::1" << "::1" << 80;
}

void TestConnectivity::parseTarget()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    const ConnectivityMonitor::Target t = ConnectivityMonitor::parseTarget(text);
    QCOMPARE(t.host, host);
    QCOMPARE(int(t.port), port);
}

void TestConnectivity::probeTargetFromEnvironmentOrBuild()
{
    qputenv("VANTREL_PROBE_HOST", "127.0.0.1:4321");
    QCOMPARE(ConnectivityMonitor::probeTarget().host, QStringLiteral("127.0.0.1"));
    QCOMPARE(int(ConnectivityMonitor::probeTarget().port), 4321);

    qunsetenv("VANTREL_PROBE_HOST");
    const ConnectivityMonitor::Target build =
        ConnectivityMonitor::parseTarget(QStringLiteral(VANTREL_PROBE_HOST_DEFAULT));
    QVERIFY(!build.host.isEmpty());
    // The built-in target is a public web host: a loopback one would read "Disconnected"
    // for ever on a user's PC.
    QVERIFY2(QHostAddress(build.host).isNull() || !QHostAddress(build.host).isLoopback(),
             VANTREL_PROBE_HOST_DEFAULT);
    QVERIFY(build.host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0);
    QCOMPARE(int(build.port), 80);
    QCOMPARE(ConnectivityMonitor::probeTarget().host, build.host);
    QCOMPARE(ConnectivityMonitor::probeTarget().port, build.port);
}

void TestConnectivity::listeningServerReportsConnected()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    pointAt(server.serverPort());

    ConnectivityMonitor m;
    QSignalSpy spy(&m, &ConnectivityMonitor::statusMessage);
    m.check();
    QVERIFY(m.isChecking());
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), ConnectivityMonitor::connectedText());
    QCOMPARE(m.lastOutcome(), ConnectivityMonitor::Outcome::Connected);
    QVERIFY(!m.isChecking());

    // The probe does not keep the connection: the server sees it closed, and no socket
    // is left behind for the next check.
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket *accepted = server.nextPendingConnection();
    QTRY_COMPARE(accepted->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(liveSockets(m), 0);

    // Exactly one report per check.
    m.check();
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(liveSockets(m), 0);
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 2);
}

void TestConnectivity::hostNameIsResolved()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    qputenv("VANTREL_PROBE_HOST", QByteArray("localhost:") + QByteArray::number(server.serverPort()));

    ConnectivityMonitor m;
    QSignalSpy spy(&m, &ConnectivityMonitor::statusMessage);
    m.check();
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), ConnectivityMonitor::connectedText());
}

void TestConnectivity::closedPortReportsDisconnected()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    pointAt(port);

    ConnectivityMonitor m;
    QSignalSpy spy(&m, &ConnectivityMonitor::statusMessage);
    m.check();
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), ConnectivityMonitor::disconnectedText());
    QCOMPARE(m.lastOutcome(), ConnectivityMonitor::Outcome::Failed);
    QVERIFY(!m.isChecking());
    QCOMPARE(liveSockets(m), 0);

    // A refused check does not stop the next one from succeeding.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    pointAt(server.serverPort());
    m.check();
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toString(), ConnectivityMonitor::connectedText());
}

void TestConnectivity::silentHostTimesOutWithoutBlocking()
{
    SilentPort silent;
    if (!silent.isSilent())
        QSKIP("cannot make a loopback port that leaves connections pending here");
    pointAt(silent.port());

    ConnectivityMonitor m;
    m.setTimeoutMs(300);
    QSignalSpy spy(&m, &ConnectivityMonitor::statusMessage);

    // The event loop keeps running while the check is pending.
    bool firedWhileChecking = false;
    QTimer::singleShot(0, this, [&] { firedWhileChecking = m.isChecking(); });
    m.check();
    QVERIFY(m.isChecking());
    QCOMPARE(spy.count(), 0);

    // A request while one is pending is ignored, not queued and not started beside it.
    m.check();
    QCOMPARE(m.findChildren<QTcpSocket *>().size(), 1);

    QTRY_VERIFY(firedWhileChecking);
    QVERIFY(m.isChecking());
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
    QCOMPARE(spy.at(0).at(0).toString(), ConnectivityMonitor::disconnectedText());
    QCOMPARE(m.lastOutcome(), ConnectivityMonitor::Outcome::TimedOut);
    QVERIFY(!m.isChecking());
    QCOMPARE(liveSockets(m), 0);

    // The ignored request left nothing behind: the next check is the second report.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    pointAt(server.serverPort());
    m.check();
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toString(), ConnectivityMonitor::connectedText());
}

void TestConnectivity::repeatingChecks()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    pointAt(server.serverPort());

    ConnectivityMonitor m;
    QSignalSpy spy(&m, &ConnectivityMonitor::statusMessage);
    m.start(20);
    QVERIFY(m.isRunning());
    QTRY_VERIFY(spy.count() >= 3);
    m.stop();
    QVERIFY(!m.isRunning());
    for (const auto &args : spy)
        QCOMPARE(args.at(0).toString(), ConnectivityMonitor::connectedText());
    QTRY_VERIFY(!m.isChecking());
    const int settled = spy.count();
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), settled);
}

void TestConnectivity::destroyedWhileChecking()
{
    SilentPort silent;
    if (!silent.isSilent())
        QSKIP("cannot make a loopback port that leaves connections pending here");
    pointAt(silent.port());

    auto *m = new ConnectivityMonitor;
    m->setTimeoutMs(100);
    QSignalSpy spy(m, &ConnectivityMonitor::statusMessage);
    QPointer<QTcpSocket> socket;
    m->check();
    socket = m->findChild<QTcpSocket *>();
    QVERIFY(socket);
    delete m;
    QVERIFY(socket.isNull());
    QCOMPARE(spy.count(), 0);
}

QTEST_GUILESS_MAIN(TestConnectivity)
#include "tst_connectivity.moc"
