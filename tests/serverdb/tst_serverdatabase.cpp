#include "serverdb/serverdatabase.h"
#include "testenv.h"

#include <QDate>
#include <QPointer>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

const QStringList kExchangeCodes = {
    QStringLiteral("CASH"),     QStringLiteral("FUTURE"),    QStringLiteral("OPTION"),
    QStringLiteral("MCX"),      QStringLiteral("CURRENCY"),  QStringLiteral("SPOTINDEX"),
    QStringLiteral("NCDEX"),    QStringLiteral("CMOPT"),     QStringLiteral("FOREX")};

// Sets VANTREL_DB_PORT for one scope.
class PortOverride
{
public:
    explicit PortOverride(int port) { qputenv("VANTREL_DB_PORT", QByteArray::number(port)); }
    ~PortOverride() { qunsetenv("VANTREL_DB_PORT"); }
};

// A port on 127.0.0.1 that nothing listens on (taken from the kernel, then released).
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

// TCP relay to the local MariaDB that counts incoming connections. While refusing it
// accepts and resets each connection, so the client's open fails at once; dropAll()
// cuts every relayed link, as a network fault would. Runs in its own thread because
// the MySQL client blocks the test thread while it connects.
class CountingProxy : public QObject
{
    Q_OBJECT
public:
    explicit CountingProxy(quint16 targetPort) : m_targetPort(targetPort) {}

    std::atomic<int> accepted{0};
    std::atomic<bool> refusing{false};
    std::atomic<bool> silent{false}; // accepts and never sends a byte (no greeting)
    std::atomic<quint16> port{0};

public slots:
    void start()
    {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &CountingProxy::onNewConnection);
        m_server->listen(QHostAddress::LocalHost, 0);
        port = m_server->serverPort();
    }

    void dropAll()
    {
        const auto sockets = findChildren<QTcpSocket *>();
        for (QTcpSocket *socket : sockets)
            socket->abort();
    }

    void stop(QThread *home)
    {
        dropAll();
        qDeleteAll(findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly));
        delete m_server;
        m_server = nullptr;
        moveToThread(home);
    }

private slots:
    void onNewConnection()
    {
        while (QTcpSocket *client = m_server->nextPendingConnection()) {
            ++accepted;
            client->setParent(this);
            if (refusing) {
                client->abort();
                client->deleteLater();
                continue;
            }
            if (silent)
                continue;
            QPointer<QTcpSocket> in(client);
            QPointer<QTcpSocket> out(new QTcpSocket(this));
            connect(in, &QTcpSocket::readyRead, this, [in, out] {
                if (in && out)
                    out->write(in->readAll());
            });
            connect(out, &QTcpSocket::readyRead, this, [in, out] {
                if (in && out)
                    in->write(out->readAll());
            });
            auto closeBoth = [in, out] {
                for (const QPointer<QTcpSocket> &s : {in, out}) {
                    if (s) {
                        s->abort();
                        s->deleteLater();
                    }
                }
            };
            connect(in, &QTcpSocket::disconnected, this, closeBoth);
            connect(out, &QTcpSocket::disconnected, this, closeBoth);
            out->connectToHost(QHostAddress::LocalHost, m_targetPort);
        }
    }

private:
    quint16 m_targetPort;
    QTcpServer *m_server = nullptr;
};

class ProxyRunner
{
public:
    ProxyRunner() : m_proxy(std::make_unique<CountingProxy>(ServerDatabase::kPort))
    {
        m_proxy->moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(m_proxy.get(), "start", Qt::BlockingQueuedConnection);
    }
    ~ProxyRunner()
    {
        QMetaObject::invokeMethod(m_proxy.get(), "stop", Qt::BlockingQueuedConnection,
                                  Q_ARG(QThread *, QThread::currentThread()));
        m_thread.quit();
        m_thread.wait();
    }
    CountingProxy *operator->() { return m_proxy.get(); }
    void dropAll() { QMetaObject::invokeMethod(m_proxy.get(), "dropAll", Qt::BlockingQueuedConnection); }

private:
    QThread m_thread;
    std::unique_ptr<CountingProxy> m_proxy;
};

bool isAscending(const QStringList &list)
{
    for (int i = 1; i < list.size(); ++i) {
        if (QString::compare(list.at(i - 1), list.at(i), Qt::CaseInsensitive) > 0)
            return false;
    }
    return true;
}

} // namespace

class TestServerDatabase : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void connectRegistersConfiguredConnection();
    void sessionVariablesAreSetOnTheConnection();
    void statementsWithoutConnectionFailQuietly();
    void escapeLike_data();
    void escapeLike();

    void serverSettingsRecordOfDemoAccount();
    void serverSettingsRecordMatchesExactly_data();
    void serverSettingsRecordMatchesExactly();
    void serverSettingsRecordWithoutAnnouncedBuild();
    void serverSettingsRecordTakesIdLiterally_data();
    void serverSettingsRecordTakesIdLiterally();
    void symbolLimitFromATextColumn();
    void emptyUserIdRunsNoStatement_data();
    void emptyUserIdRunsNoStatement();

    void catalogueGroupsEveryCodeInOrder();
    void segmentSymbolsOfFuture();
    void segmentSymbolsTakeCodeLiterally_data();
    void segmentSymbolsTakeCodeLiterally();
    void backfillSettingsReadNewestRow();
    void broadcastMessageIsTrimmed();

    void openCheckFailsAgainstClosedPort();
    void openCheckTriesThreeTimes();
    void openingTimeIsBoundedForASilentServer();
    void openCheckStopsAtFirstSuccessAndCreatesQuery();
    void failedCatalogueKeepsCacheAndReopensOnce();

private:
    TestEnv m_env;
};

void TestServerDatabase::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY2(QSqlDatabase::isDriverAvailable(QStringLiteral("QMYSQL")),
             "Qt's QMYSQL driver is missing (package libqt5sql5-mysql)");
    if (!TestEnv::mariadbUp())
        QFAIL("MariaDB does not answer on 127.0.0.1:49111; start it with scripts/mariadb.sh start");
}

void TestServerDatabase::connectRegistersConfiguredConnection()
{
    ServerDatabase db;
    QTest::ignoreMessage(QtDebugMsg, "Database connection established successfully!");
    QTest::ignoreMessage(QtDebugMsg, "Session variables set successfully!");
    db.connect();

    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));
    QVERIFY(QSqlDatabase::contains(QStringLiteral("MYSQLConn")));
    QSqlDatabase *handle = db.database();
    QCOMPARE(handle->connectionName(), QStringLiteral("MYSQLConn"));
    QCOMPARE(handle->driverName(), QStringLiteral("QMYSQL"));
    QCOMPARE(handle->hostName(), QStringLiteral(VANTREL_DB_HOST));
    QCOMPARE(handle->port(), 49111);
    QCOMPARE(handle->databaseName(), QStringLiteral(VANTREL_DB_NAME));
    QCOMPARE(handle->userName(), QStringLiteral(VANTREL_DB_USER));
    QCOMPARE(handle->connectOptions(),
             QStringLiteral("MYSQL_OPT_RECONNECT=1;MYSQL_OPT_CONNECT_TIMEOUT=30;"
                            "MYSQL_OPT_READ_TIMEOUT=10;MYSQL_OPT_WRITE_TIMEOUT=10;"));

    QSqlQuery *shared = db.sharedQuery();
    QVERIFY(shared);
    QVERIFY(shared->isForwardOnly());
    QCOMPARE(shared->driver(), handle->driver());

    // Connecting again replaces the registration and leaves a working connection.
    QTest::ignoreMessage(QtDebugMsg, "Database connection established successfully!");
    QTest::ignoreMessage(QtDebugMsg, "Session variables set successfully!");
    db.connect();
    QVERIFY(db.isOpen());
    QCOMPARE(QSqlDatabase::connectionNames().count(QStringLiteral("MYSQLConn")), 1);
    QCOMPARE(db.sharedQuery()->driver(), QSqlDatabase::database(QStringLiteral("MYSQLConn"), false).driver());
    QVERIFY(!db.segmentSymbols(QStringLiteral("FOREX")).isEmpty());
}

void TestServerDatabase::sessionVariablesAreSetOnTheConnection()
{
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));

    QSqlQuery q(*db.database());
    QVERIFY2(q.exec(QStringLiteral("SELECT @@SESSION.wait_timeout, @@SESSION.interactive_timeout, "
                                   "@@GLOBAL.wait_timeout")),
             qPrintable(q.lastError().text()));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 36000);
    QCOMPARE(q.value(1).toInt(), 36000);
    // Otherwise the two values above would prove nothing.
    QVERIFY(q.value(2).toInt() != 36000);

    // The open check reopens the connection (a new server session); the long limits must
    // hold on the new session too, and the shared query must still work on it.
    QVERIFY(db.openCheck());
    QSqlQuery after(*db.database());
    QVERIFY(after.exec(QStringLiteral("SELECT @@SESSION.wait_timeout, @@SESSION.interactive_timeout")));
    QVERIFY(after.next());
    QCOMPARE(after.value(0).toInt(), 36000);
    QCOMPARE(after.value(1).toInt(), 36000);
    QSqlRecord record;
    QVERIFY(db.serverSettingsRecord(QStringLiteral("VANTREL-DEMO-0001"), &record));
    QCOMPARE(record.value(QStringLiteral("SymbolAllowed")).toInt(), 50);
}

void TestServerDatabase::statementsWithoutConnectionFailQuietly()
{
    ServerDatabase db; // never connected: no handle, no shared query
    QVERIFY(!db.isOpen());
    QVERIFY(!db.sharedQuery());

    QSqlRecord record;
    QVERIFY(!db.serverSettingsRecord(QStringLiteral("VANTREL-DEMO-0001"), &record));
    QVERIFY(record.isEmpty());
    QString date, oneDay, fiveDay;
    QVERIFY(!db.backfillSettings(&date, &oneDay, &fiveDay));
    QHash<QString, QStringList> cache{{QStringLiteral("CASH"), {QStringLiteral("KEPT")}}};
    QVERIFY(!db.loadCatalogue(&cache));
    QCOMPARE(cache.value(QStringLiteral("CASH")), QStringList{QStringLiteral("KEPT")});
    QVERIFY(db.segmentSymbols(QStringLiteral("CASH")).isEmpty());
    QVERIFY(db.broadcastMessage().isEmpty());
    QVERIFY(!db.openCheck());
}

void TestServerDatabase::escapeLike_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("plain") << "VANTREL-DEMO-0001" << "VANTREL-DEMO-0001";
    QTest::newRow("percent") << "50%" << "50!%";
    QTest::newRow("underscore") << "A_B" << "A!_B";
    QTest::newRow("backslash kept") << "A\\B" << "A\\B";
    QTest::newRow("escape character") << "A!B" << "A!!B";
    QTest::newRow("quote kept") << "' OR '1'='1" << "' OR '1'='1";
    QTest::newRow("all") << "%_!" << "!%!_!!";
    QTest::newRow("empty") << "" << "";
}

void TestServerDatabase::escapeLike()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    QCOMPARE(ServerDatabase::escapeLike(text), escaped);
}

void TestServerDatabase::serverSettingsRecordOfDemoAccount()
{
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));

    QSqlRecord r;
    QVERIFY(db.serverSettingsRecord(QStringLiteral("VANTREL-DEMO-0001"), &r));
    QVERIFY(!r.value(QStringLiteral("MachineID")).isNull());
    QCOMPARE(r.value(QStringLiteral("MachineID")).toString(), QStringLiteral("VANTREL-DEMO-0001"));
    QCOMPARE(r.value(QStringLiteral("SymbolAllowed")).toString().toInt(), 50);
    QCOMPARE(r.value(QStringLiteral("SecureKey")).toString(), QStringLiteral("demo-secure-key-7f3a"));
    QCOMPARE(r.value(QStringLiteral("WebSocketLink")).toString(), QStringLiteral("ws://127.0.0.1:49120/ws"));
    QCOMPARE(r.value(QStringLiteral("txtBackfillPath")).toString(), QStringLiteral("127.0.0.1:49121/backfill"));
    QCOMPARE(r.value(QStringLiteral("txtBackfillPath1Min")).toString(), QStringLiteral("127.0.0.1:49121/backfill1min"));
    QCOMPARE(r.value(QStringLiteral("LiveDataPathGet")).toString(), QStringLiteral("127.0.0.1:49121/live/get"));
    QCOMPARE(r.value(QStringLiteral("LiveDataPathPost")).toString(), QStringLiteral("127.0.0.1:49121/live/post"));
    QCOMPARE(r.value(QStringLiteral("NetworkDataPathGet")).toString(), QStringLiteral("127.0.0.1:49121/net/get"));
    QCOMPARE(r.value(QStringLiteral("NetworkDataPathPost")).toString(), QStringLiteral("127.0.0.1:49121/net/post"));
    QCOMPARE(r.value(QStringLiteral("contactSupportLink")).toString(), QStringLiteral("http://127.0.0.1:49121/support"));
    // From the cross-joined version row.
    QCOMPARE(r.value(QStringLiteral("LatestVersionRT")).toString(), QStringLiteral("7.10"));
    QCOMPARE(r.value(QStringLiteral("LatestVersionPath")).toString(),
             QStringLiteral("http://127.0.0.1:49121/update/Vantrel_update.zip"));

    // The rows were read completely: the shared query serves the next statement.
    QVERIFY(!db.segmentSymbols(QStringLiteral("FUTURE")).isEmpty());
}

// Part of an account's ID is not that account: only the whole ID, letter case included,
// finds a record. Checked in both SQL modes, since the escape rules differ there.
void TestServerDatabase::serverSettingsRecordMatchesExactly_data()
{
    QTest::addColumn<QString>("userId");
    QTest::addColumn<QString>("machineId"); // empty: no account
    QTest::newRow("whole ID") << "VANTREL-DEMO-0002" << "VANTREL-DEMO-0002";
    QTest::newRow("tail") << "DEMO-0001" << "";
    QTest::newRow("middle") << "L-DEMO-00" << "";
    QTest::newRow("head") << "VANTREL-DEMO-000" << "";
    QTest::newRow("other case") << "vantrel-demo-0001" << "";
    QTest::newRow("trailing blank") << "VANTREL-DEMO-0001 " << "";
}

void TestServerDatabase::serverSettingsRecordMatchesExactly()
{
    QFETCH(QString, userId);
    QFETCH(QString, machineId);
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));

    for (const char *mode : {"", "NO_BACKSLASH_ESCAPES"}) {
        QSqlQuery session(*db.database());
        QVERIFY(session.exec(QStringLiteral("SET SESSION sql_mode = '%1'").arg(QLatin1String(mode))));
        QSqlRecord r;
        QVERIFY2(db.serverSettingsRecord(userId, &r), mode);
        QCOMPARE(r.value(QStringLiteral("MachineID")).toString(), machineId);
        QCOMPARE(r.isEmpty(), machineId.isEmpty());
    }
}

// The announced build is read on its own: an empty version table still finds the account,
// only without a build to offer.
void TestServerDatabase::serverSettingsRecordWithoutAnnouncedBuild()
{
    QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), QStringLiteral("versionAdmin"));
    admin.setHostName(QStringLiteral("127.0.0.1"));
    admin.setPort(ServerDatabase::kPort);
    admin.setUserName(QStringLiteral("root"));
    admin.setDatabaseName(QStringLiteral(VANTREL_DB_NAME));
    QVERIFY2(admin.open(), qPrintable(admin.lastError().text()));
    {
        QSqlQuery q(admin);
        QVERIFY(q.exec(QStringLiteral("CREATE TEMPORARY TABLE IF NOT EXISTS kept_version "
                                      "SELECT * FROM versionautoupdator_zip_2026")));
        QVERIFY(q.exec(QStringLiteral("DELETE FROM versionautoupdator_zip_2026")));
    }
    ServerDatabase db;
    db.connect();
    QSqlRecord r;
    const bool read = db.serverSettingsRecord(QStringLiteral("VANTREL-DEMO-0001"), &r);
    {
        QSqlQuery q(admin);
        QVERIFY(q.exec(QStringLiteral("INSERT INTO versionautoupdator_zip_2026 SELECT * FROM kept_version")));
    }
    admin.close();
    admin = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("versionAdmin"));

    QVERIFY(read);
    QCOMPARE(r.value(QStringLiteral("MachineID")).toString(), QStringLiteral("VANTREL-DEMO-0001"));
    QCOMPARE(r.value(QStringLiteral("SymbolAllowed")).toInt(), 50);
    QVERIFY(r.contains(QStringLiteral("LatestVersionRT")));
    QVERIFY(r.value(QStringLiteral("LatestVersionRT")).toString().isEmpty());
    // The table is back as it was.
    QVERIFY(db.serverSettingsRecord(QStringLiteral("VANTREL-DEMO-0001"), &r));
    QCOMPARE(r.value(QStringLiteral("LatestVersionRT")).toString(), QStringLiteral("7.10"));
}

void TestServerDatabase::serverSettingsRecordTakesIdLiterally_data()
{
    QTest::addColumn<QString>("userId");
    QTest::newRow("or-true injection") << "' OR '1'='1";
    QTest::newRow("comment injection") << "VANTREL-DEMO-0001' -- ";
    QTest::newRow("union injection") << "x' UNION SELECT 1 -- ";
    QTest::newRow("single quote") << "'";
    QTest::newRow("percent") << "%";
    QTest::newRow("underscore") << "_";
    QTest::newRow("underscore in place of a character") << "VANTREL_DEMO";
    QTest::newRow("percent inside") << "VANTREL%0001";
    QTest::newRow("backslash") << "\\";
    QTest::newRow("escape character") << "!";
    QTest::newRow("unknown account") << "VANTREL-DEMO-9999";
}

// None of these IDs is part of a MachineID; a statement that treats any of their
// characters as syntax or wildcard would return one of the demo accounts.
void TestServerDatabase::serverSettingsRecordTakesIdLiterally()
{
    QFETCH(QString, userId);
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));

    // Servers differ in whether a backslash escapes inside string literals.
    for (const char *mode : {"", "NO_BACKSLASH_ESCAPES"}) {
        QSqlQuery session(*db.database());
        QVERIFY(session.exec(QStringLiteral("SET SESSION sql_mode = '%1'").arg(QLatin1String(mode))));
        QSqlRecord r;
        QVERIFY2(db.serverSettingsRecord(userId, &r),
                 qPrintable(QLatin1String(mode) + QLatin1Char(' ') + db.sharedQuery()->lastError().text()));
        QCOMPARE(db.sharedQuery()->lastError().type(), QSqlError::NoError);
        QVERIFY(r.value(QStringLiteral("MachineID")).isNull());
        QVERIFY(r.isEmpty());

        // The connection is unharmed and a real ID is still found afterwards.
        QVERIFY(db.serverSettingsRecord(QStringLiteral("VANTREL-DEMO-0002"), &r));
        QCOMPARE(r.value(QStringLiteral("SecureKey")).toString(), QStringLiteral("second-account-key-c41d"));
    }
}

void TestServerDatabase::symbolLimitFromATextColumn()
{
    // The server may keep SymbolAllowed as text; read such values back from a real column.
    QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), QStringLiteral("limitAdmin"));
    admin.setHostName(QStringLiteral("127.0.0.1"));
    admin.setPort(ServerDatabase::kPort);
    admin.setUserName(QStringLiteral("root"));
    admin.setDatabaseName(QStringLiteral(VANTREL_DB_NAME));
    QVERIFY2(admin.open(), qPrintable(admin.lastError().text()));
    {
        QSqlQuery q(admin);
        QVERIFY(q.exec(QStringLiteral("CREATE TEMPORARY TABLE limits (id INT, SymbolAllowed TEXT NULL)")));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO limits VALUES (1,'abc'),(2,''),(3,NULL),(4,'-3'),"
                                      "(5,'7.5'),(6,'12abc'),(7,' 25 '),(8,'0'),(9,'50')")));
        QVERIFY(q.exec(QStringLiteral("SELECT SymbolAllowed FROM limits ORDER BY id")));
        QList<bool> readable;
        QList<int> limits;
        while (q.next()) {
            int limit = -1;
            readable << ServerDatabase::parseSymbolLimit(q.value(0), &limit);
            limits << limit;
        }
        QCOMPARE(readable, (QList<bool>{false, false, false, false, false, false, true, true, true}));
        QCOMPARE(limits, (QList<int>{-1, -1, -1, -1, -1, -1, 25, 0, 50}));
    }
    admin.close();
    admin = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("limitAdmin"));
}

void TestServerDatabase::emptyUserIdRunsNoStatement_data()
{
    QTest::addColumn<QString>("userId");
    QTest::newRow("empty") << QString();
    QTest::newRow("blanks") << "   ";
    QTest::newRow("tab and newline") << "\t\n";
}

void TestServerDatabase::emptyUserIdRunsNoStatement()
{
    QFETCH(QString, userId);
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));
    QCOMPARE(db.broadcastMessage(), QStringLiteral("Welcome to Vantrel. Markets open 09:15 IST."));
    const QString before = db.sharedQuery()->lastQuery();

    QSqlRecord r;
    QVERIFY(db.serverSettingsRecord(userId, &r));
    QVERIFY(r.value(QStringLiteral("MachineID")).isNull());
    QCOMPARE(db.sharedQuery()->lastQuery(), before);
}

void TestServerDatabase::catalogueGroupsEveryCodeInOrder()
{
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));

    QHash<QString, QStringList> cache;
    cache.insert(QStringLiteral("STALE"), {QStringLiteral("GONE")});
    QVERIFY(db.loadCatalogue(&cache));
    QVERIFY2(!cache.contains(QStringLiteral("STALE")), "the previous catalogue must be cleared");

    QStringList codes = cache.keys();
    codes.sort();
    QStringList expected = kExchangeCodes;
    expected.sort();
    QCOMPARE(codes, expected);

    int total = 0;
    for (const QString &code : kExchangeCodes) {
        const QStringList &symbols = cache.value(code);
        QVERIFY2(!symbols.isEmpty(), qPrintable(code));
        QVERIFY2(isAscending(symbols), qPrintable(code));
        // The per-segment statement must agree row for row.
        QCOMPARE(db.segmentSymbols(code), symbols);
        total += symbols.size();
    }
    QSqlQuery count(*db.database());
    QVERIFY(count.exec(QStringLiteral("SELECT COUNT(*) FROM contractv2")));
    QVERIFY(count.next());
    QCOMPARE(total, count.value(0).toInt());

    const QList<QPair<QString, QString>> watchlist = {
        {"BANKNIFTY-I", "FUTURE"}, {"CRUDEOIL-I", "MCX"},      {"GOLDM-I", "MCX"},
        {"SILVERM-I", "MCX"},      {"USDINR-I", "CURRENCY"},   {"INDIAVIX", "SPOTINDEX"},
        {"ICICIBANK", "CASH"},     {"NIFTY-I", "FUTURE"},      {"BTCUSD", "FOREX"},
        {"EURUSD", "FOREX"},       {"XAGUSD", "FOREX"},        {"XAUUSD", "FOREX"},
        {"XNGUSD", "FOREX"},       {"XRPUSD", "FOREX"},        {"ETHUSD", "FOREX"}};
    for (const auto &entry : watchlist)
        QVERIFY2(cache.value(entry.second).contains(entry.first), qPrintable(entry.first));
    QVERIFY(cache.value(QStringLiteral("CASH")).contains(QStringLiteral("M&M")));
    QVERIFY(cache.value(QStringLiteral("OPTION")).contains(QStringLiteral("NIFTY24DEC23500CE")));
}

void TestServerDatabase::segmentSymbolsOfFuture()
{
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));

    const QStringList future = db.segmentSymbols(QStringLiteral("FUTURE"));
    const int bank = future.indexOf(QStringLiteral("BANKNIFTY-I"));
    const int nifty = future.indexOf(QStringLiteral("NIFTY-I"));
    QVERIFY(bank >= 0);
    QVERIFY(nifty > bank);
    QVERIFY(future.contains(QStringLiteral("NIFTY1")));
    QVERIFY(future.contains(QStringLiteral("M&M-I")));
    QVERIFY(future.filter(QStringLiteral("NIF"), Qt::CaseInsensitive).size() >= 4);
    QVERIFY(isAscending(future));
    // Only FUTURE rows: a cash symbol is not among them.
    QVERIFY(!future.contains(QStringLiteral("ICICIBANK")));
}

void TestServerDatabase::segmentSymbolsTakeCodeLiterally_data()
{
    QTest::addColumn<QString>("code");
    QTest::newRow("or-true injection") << "FUTURE' OR '1'='1";
    QTest::newRow("comment injection") << "FUTURE'-- ";
    QTest::newRow("single quote") << "'";
    QTest::newRow("unknown code") << "NOSUCHCODE";
    QTest::newRow("empty") << "";
}

void TestServerDatabase::segmentSymbolsTakeCodeLiterally()
{
    QFETCH(QString, code);
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));

    QVERIFY(db.segmentSymbols(code).isEmpty());
    QCOMPARE(db.sharedQuery()->lastError().type(), QSqlError::NoError);
    QVERIFY(!db.segmentSymbols(QStringLiteral("FUTURE")).isEmpty());
}

void TestServerDatabase::backfillSettingsReadNewestRow()
{
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));

    QString date, oneDay, fiveDay;
    QVERIFY(db.backfillSettings(&date, &oneDay, &fiveDay));
    QVERIFY2(QDate::fromString(date, QStringLiteral("yyyy-MM-dd")).isValid(), qPrintable(date));
    QCOMPARE(oneDay, QStringLiteral("oneday"));
    QCOMPARE(fiveDay, QStringLiteral("fiveday"));
}

void TestServerDatabase::broadcastMessageIsTrimmed()
{
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));
    QCOMPARE(db.broadcastMessage(), QStringLiteral("Welcome to Vantrel. Markets open 09:15 IST."));
}

void TestServerDatabase::openCheckFailsAgainstClosedPort()
{
    {
        qputenv("VANTREL_DB_PORT", "not-a-port");
        QCOMPARE(ServerDatabase::port(), 49111);
        qunsetenv("VANTREL_DB_PORT");
        QCOMPARE(ServerDatabase::port(), 49111);
    }

    const quint16 port = closedPort();
    PortOverride portOverride(port);
    QCOMPARE(ServerDatabase::port(), int(port));

    ServerDatabase db;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Database connection failed: \\S")));
    db.connect();
    QVERIFY(!db.isOpen());
    QVERIFY2(!db.sharedQuery(), "no shared query without an open connection");
    QCOMPARE(db.database()->port(), int(port));

    QVERIFY(!db.openCheck());
    QVERIFY(!db.lastErrorText().isEmpty());
    QVERIFY(!db.sharedQuery());
    QSqlRecord r;
    QVERIFY(!db.serverSettingsRecord(QStringLiteral("VANTREL-DEMO-0001"), &r));
}

void TestServerDatabase::openCheckTriesThreeTimes()
{
    ProxyRunner proxy;
    proxy->refusing = true;
    PortOverride portOverride(proxy->port);

    ServerDatabase db;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Database connection failed: \\S")));
    db.connect();
    QCOMPARE(proxy->accepted.load(), 1);

    QVERIFY(!db.openCheck());
    QCOMPARE(proxy->accepted.load(), 1 + 3);
    QVERIFY(!db.lastErrorText().isEmpty());
    QVERIFY(!db.isOpen());
}

// A server that accepts and never greets: every open waits for its connect time-out, so
// all opens of a start-up share one budget instead of costing four full time-outs.
void TestServerDatabase::openingTimeIsBoundedForASilentServer()
{
    ProxyRunner proxy;
    proxy->silent = true;
    PortOverride portOverride(proxy->port);

    ServerDatabase db;
    db.connect();
    QVERIFY(!db.isOpen());
    QVERIFY(!db.openCheck());
    QCOMPARE(proxy->accepted.load(), 1);
}

void TestServerDatabase::openCheckStopsAtFirstSuccessAndCreatesQuery()
{
    ProxyRunner proxy;
    PortOverride portOverride(proxy->port);

    // First open fails: no shared query yet.
    proxy->refusing = true;
    ServerDatabase db;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Database connection failed: \\S")));
    db.connect();
    QVERIFY(!db.sharedQuery());

    proxy->refusing = false;
    const int before = proxy->accepted;
    QVERIFY2(db.openCheck(), qPrintable(db.lastErrorText()));
    QCOMPARE(proxy->accepted - before, 1);
    QVERIFY(db.sharedQuery());
    QVERIFY(db.sharedQuery()->isForwardOnly());
    QVERIFY(db.segmentSymbols(QStringLiteral("FOREX")).contains(QStringLiteral("XAUUSD")));

    // Again on the open connection: one reopen, same shared query object.
    QSqlQuery *shared = db.sharedQuery();
    QVERIFY(db.openCheck());
    QCOMPARE(proxy->accepted - before, 2);
    QCOMPARE(db.sharedQuery(), shared);
    QCOMPARE(db.broadcastMessage(), QStringLiteral("Welcome to Vantrel. Markets open 09:15 IST."));
}

void TestServerDatabase::failedCatalogueKeepsCacheAndReopensOnce()
{
    ProxyRunner proxy;
    PortOverride portOverride(proxy->port);
    ServerDatabase db;
    db.connect();
    QVERIFY2(db.isOpen(), qPrintable(db.lastErrorText()));
    db.setStartupPhase(false); // a long session: the link is revived, not given up

    QHash<QString, QStringList> cache;
    QVERIFY(db.loadCatalogue(&cache));
    const QHash<QString, QStringList> loaded = cache;
    QCOMPARE(loaded.size(), kExchangeCodes.size());

    // The link drops and the server stays unreachable: the client library's own
    // reconnect fails, so the statement fails.
    proxy->refusing = true;
    proxy.dropAll();

    // A statement without the reopen rule, to learn how many connects the client
    // library itself makes for one failed statement.
    int before = proxy->accepted;
    QVERIFY(db.broadcastMessage().isEmpty());
    const int libraryAttempts = proxy->accepted - before;

    before = proxy->accepted;
    QVERIFY(!db.loadCatalogue(&cache));
    QCOMPARE(cache, loaded);
    QCOMPARE(proxy->accepted - before, libraryAttempts + 1); // closed and opened once
    QVERIFY2(!db.isOpen(), "the reopen against the unreachable server must have failed");

    // Not open: the full catalogue statement is not even tried.
    before = proxy->accepted;
    QVERIFY(!db.loadCatalogue(&cache));
    QCOMPARE(proxy->accepted - before, 0);
    QCOMPARE(cache, loaded);

    // The server is back: the open check reconnects and the catalogue loads again.
    proxy->refusing = false;
    QVERIFY2(db.openCheck(), qPrintable(db.lastErrorText()));
    cache.clear();
    QVERIFY(db.loadCatalogue(&cache));
    QCOMPARE(cache, loaded);
}

QTEST_GUILESS_MAIN(TestServerDatabase)
#include "tst_serverdatabase.moc"
