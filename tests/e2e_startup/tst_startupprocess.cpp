// The real binary's start-up against a misbehaving server database: one that stalls (a
// relay in front of the local MariaDB that stops forwarding at a chosen statement, or
// never greets), one whose version table is empty, and an ID that is only part of an
// account's ID. Every case must end in a box or the main window in bounded time, and the
// user's saved watchlist must come out of it untouched.
#include "app/settingskeys.h"
#include "serverdb/serverdatabase.h"
#include "apprun.h"
#include "testenv.h"

#include <QPointer>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

const QStringList kSavedSymbols{QStringLiteral("NIFTY-I"), QStringLiteral("EURUSD")};
const QStringList kSavedExchanges{QStringLiteral("FUTURE"), QStringLiteral("FOREX")};

// Relays to the local MariaDB until the client sends a packet holding `trigger` (empty:
// from the first byte on, so the server never seems to greet); from then on nothing is
// forwarded in either direction and new connections are accepted and left silent, as a
// server that hangs would do. Lives in its own thread: the test thread blocks on the
// process.
class StallingRelay : public QObject
{
    Q_OBJECT
public:
    explicit StallingRelay(QByteArray trigger) : m_trigger(std::move(trigger)) { m_stalled = m_trigger.isEmpty(); }
    std::atomic<quint16> port{0};
    std::atomic<bool> m_stalled{false};

public slots:
    void start()
    {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &StallingRelay::onNewConnection);
        m_server->listen(QHostAddress::LocalHost, 0);
        port = m_server->serverPort();
    }
    void stop(QThread *home)
    {
        delete m_server;
        m_server = nullptr;
        for (QObject *child : children())
            delete child;
        moveToThread(home);
    }

private slots:
    void onNewConnection()
    {
        while (QTcpSocket *client = m_server->nextPendingConnection()) {
            client->setParent(this);
            if (m_stalled)
                continue;
            QPointer<QTcpSocket> in(client);
            QPointer<QTcpSocket> out(new QTcpSocket(this));
            connect(in, &QTcpSocket::readyRead, this, [this, in, out] {
                const QByteArray bytes = in->readAll();
                if (!m_stalled && bytes.contains(m_trigger))
                    m_stalled = true;
                if (!m_stalled && out)
                    out->write(bytes);
            });
            connect(out, &QTcpSocket::readyRead, this, [this, in, out] {
                const QByteArray bytes = out->readAll();
                if (!m_stalled && in)
                    in->write(bytes);
            });
            out->connectToHost(QHostAddress::LocalHost, ServerDatabase::kPort);
        }
    }

private:
    QByteArray m_trigger;
    QTcpServer *m_server = nullptr;
};

// Runs statements as the database administrator (the program's own account only reads).
bool administer(const QStringList &statements)
{
    const QString name = QStringLiteral("startup-admin");
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name)
                                                       : QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(ServerDatabase::kPort);
        db.setUserName(QStringLiteral("root"));
        db.setDatabaseName(QStringLiteral(VANTREL_DB_NAME));
        ok = db.isOpen() || db.open();
        QSqlQuery q(db);
        for (const QString &statement : statements) {
            if (ok && !q.exec(statement)) {
                qWarning() << statement << q.lastError().text();
                ok = false;
            }
        }
    }
    return ok;
}

} // namespace

class tst_StartupProcess : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;

    std::unique_ptr<AppRun> startApp(const QStringList &extraEnv = {})
    {
        auto app = std::make_unique<AppRun>(*env, extraEnv);
        app->start();
        return app;
    }

    // Waits until the program has ended, or shown its main window when `shown`; the
    // generous bound is far above the start-up's own limits and far below "for ever".
    static bool reachesAnEnd(AppRun &app, bool shown, int timeoutMs)
    {
        return app.waitUntil([&] { return (shown && app.output().contains(AppRun::kShown)) || !app.running(); },
                             timeoutMs);
    }

    static void saveWatchlist()
    {
        TestEnv::saveWatchlist(kSavedSymbols, kSavedExchanges);
        AppSettings().setValue(SettingsKeys::dataMode, 1);
    }

    static void verifyWatchlistKept()
    {
        AppSettings s;
        QCOMPARE(s.value(SettingsKeys::selectedSymbolsList).toStringList(), kSavedSymbols);
        QCOMPARE(s.value(SettingsKeys::corrExchList).toStringList(), kSavedExchanges);
        QCOMPARE(s.value(SettingsKeys::dataMode).toInt(), 1);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(TestEnv::mariadbUp(), "MariaDB does not answer on 127.0.0.1:49111; start it with scripts/mariadb.sh start");
        QVERIFY(!TestEnv::builtExecutable(QStringLiteral("Vantrel")).isEmpty());
    }

    void init()
    {
        env = std::make_unique<TestEnv>();
        QVERIFY(env->installFormats());
        QVERIFY(env->writeUserId(QStringLiteral("VANTREL-DEMO-0001")));
        saveWatchlist();
    }

    void stalledServerEndsInABox_data()
    {
        QTest::addColumn<QByteArray>("trigger");
        QTest::addColumn<QString>("box"); // empty: the main window is shown
        QTest::newRow("never greets") << QByteArray() << "Connection Error|Unable to connect to Server";
        QTest::newRow("stalls in the settings statement") << QByteArray("user_accounts")
                                                           << "Cannot Verify User|Please Check Network Connection";
        QTest::newRow("stalls reading the announced build")
            << QByteArray("versionautoupdator_zip_2026") << "";
        QTest::newRow("stalls reading the broadcast") << QByteArray("broadcastmsg") << "";
    }
    void stalledServerEndsInABox()
    {
        QFETCH(QByteArray, trigger);
        QFETCH(QString, box);
        StallingRelay relay(trigger);
        QThread relayThread;
        relay.moveToThread(&relayThread);
        relayThread.start();
        QMetaObject::invokeMethod(&relay, "start", Qt::BlockingQueuedConnection);
        QVERIFY(relay.port > 0);

        auto app = startApp({QStringLiteral("VANTREL_DB_PORT=%1").arg(relay.port.load())});
        // Without read time-outs the program waits on the splash for ever.
        const bool reached = reachesAnEnd(*app, box.isEmpty(), 90000);
        const int exitCode = app->close(30000);
        QMetaObject::invokeMethod(&relay, "stop", Qt::BlockingQueuedConnection,
                                  Q_ARG(QThread *, QThread::currentThread()));
        relayThread.quit();
        relayThread.wait();

        QVERIFY2(reached, app->tail().constData());
        QVERIFY(relay.m_stalled);
        const QString boxes = app->boxLog();
        if (box.isEmpty()) {
            QVERIFY2(app->output().contains(AppRun::kShown), app->tail().constData());
            QVERIFY2(!boxes.contains(QLatin1String("Account Not Registered")), qPrintable(boxes));
        } else {
            QCOMPARE(exitCode, 0);
            QVERIFY2(boxes.startsWith(box), qPrintable(boxes));
            QVERIFY(!app->output().contains(AppRun::kShown));
        }
        verifyWatchlistKept();
    }

    // An empty version table only means that no build is announced.
    void emptyVersionTableStillFindsTheAccount()
    {
        QVERIFY(administer({QStringLiteral("DELETE FROM versionautoupdator_zip_2026")}));
        auto app = startApp();
        const bool reached = app->waitForShown(60000);
        app->close(30000);
        QVERIFY(administer({QStringLiteral("INSERT IGNORE INTO versionautoupdator_zip_2026 (SingleRow) VALUES (1)")}));
        QVERIFY(TestEnv::restoreAnnouncedBuild());
        QVERIFY2(reached, app->tail().constData());
        QVERIFY2(app->boxLog().isEmpty(), qPrintable(app->boxLog()));
        verifyWatchlistKept();
    }

    // Part of a registered ID is no account (it would start with the other account's key
    // and endpoints); the user is told, and the saved watchlist stays as it was.
    void partOfAnIdIsNotAnAccount_data()
    {
        QTest::addColumn<QString>("userId");
        QTest::newRow("head of two IDs") << "VANTREL-DEMO-000";
        QTest::newRow("tail") << "DEMO-0001";
        QTest::newRow("other case") << "vantrel-demo-0001";
    }
    void partOfAnIdIsNotAnAccount()
    {
        QFETCH(QString, userId);
        QVERIFY(env->writeUserId(userId));
        auto app = startApp();
        QVERIFY(reachesAnEnd(*app, false, 60000));
        QCOMPARE(app->close(30000), 0);
        QVERIFY(!app->output().contains(AppRun::kShown));
        const QString boxes = app->boxLog();
        QVERIFY2(boxes.startsWith(QLatin1String("Account Not Registered|")) && boxes.contains(userId),
                 qPrintable(boxes));
        verifyWatchlistKept();
    }
};

QTEST_GUILESS_MAIN(tst_StartupProcess)
#include "tst_startupprocess.moc"
