#include "serverdb/serverdatabase.h"

#include <QDebug>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>

#include <vector>

const QString ServerDatabase::kConnectionName = QStringLiteral("MYSQLConn");

namespace {

const char kDriverName[] = "QMYSQL";
constexpr QLatin1Char kLikeEscape('!');
// The client library reconnects a dropped link by itself; a connect gives up after 30 s
// (less when the opening budget below has less left). A server that stops answering in
// the middle of a statement would otherwise hold the GUI thread for ever: a read or write
// that waits 10 s fails the statement.
constexpr int kConnectTimeoutSeconds = 30;
constexpr int kReadWriteTimeoutSeconds = 10;
// All opens of one start-up together (the first connect and the open check's three
// attempts): a port that accepts but never greets must not cost 4 x 30 s.
constexpr int kOpenBudgetSeconds = 30;

QString connectOptions(int connectTimeoutSeconds)
{
    return QStringLiteral("MYSQL_OPT_RECONNECT=1;MYSQL_OPT_CONNECT_TIMEOUT=%1;"
                          "MYSQL_OPT_READ_TIMEOUT=%2;MYSQL_OPT_WRITE_TIMEOUT=%2;")
        .arg(connectTimeoutSeconds)
        .arg(kReadWriteTimeoutSeconds);
}

// Client errors that mean the link itself is gone or stalled (the server went away, the
// connection was lost or a read timed out), as opposed to a statement the server refused.
bool isLinkFailure(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return error.type() == QSqlError::ConnectionError || code == QLatin1String("2006")
        || code == QLatin1String("2013");
}

const char kWaitTimeoutStatement[] = "SET SESSION wait_timeout = 36000;";
const char kInteractiveTimeoutStatement[] = "SET SESSION interactive_timeout = 36000;";

// The account row of one user ID. The ID travels as a bound value with its LIKE wildcards
// escaped and none added, so neither a quote nor '%' or '_' in it can widen the match to
// other accounts, and "PROBE-UP" is not found inside "PROBE-UP-1". The escape character
// is '!', not '\': a backslash literal means a different string under
// NO_BACKSLASH_ESCAPES, and the server refused the statement there. The column's
// collation still ignores letter case, so the row is compared once more in the program.
const char kAccountStatement[] = "SELECT * FROM user_accounts WHERE MachineID LIKE ? ESCAPE '!'";
// Read on its own: an empty version table only means that no update is announced, not
// that the account is missing.
const char kVersionStatement[] =
    "SELECT LatestVersionRT, LatestVersionPath FROM versionautoupdator_zip_2026 LIMIT 1";
const char kBackfillSettingsStatement[] =
    "SELECT TodaysDateAtServer, oneDayBackfillPath, fiveDayBackfillPath FROM vantrel_settings "
    "ORDER BY ID DESC LIMIT 1";
const char kCatalogueStatement[] = "SELECT Symbol, Exch FROM contractv2 ORDER BY Symbol ASC";
const char kSegmentStatement[] = "SELECT Symbol FROM contractv2 WHERE Exch=? ORDER BY Symbol ASC";
const char kBroadcastStatement[] = "SELECT message FROM broadcastmsg ORDER BY id DESC LIMIT 1";

} // namespace

ServerDatabase::ServerDatabase() = default;

ServerDatabase::~ServerDatabase()
{
    m_query.reset();
    // A later ServerDatabase may have registered its own "MYSQLConn" meanwhile; only the
    // connection this object registered is removed.
    bool registeredIsOurs = false;
    if (m_db.isValid() && QSqlDatabase::contains(kConnectionName))
        registeredIsOurs = QSqlDatabase::database(kConnectionName, false).driver() == m_db.driver();
    if (m_db.isValid())
        m_db.close();
    m_db = QSqlDatabase();
    if (registeredIsOurs)
        QSqlDatabase::removeDatabase(kConnectionName);
}

int ServerDatabase::port()
{
    bool ok = false;
    const int overridden = qEnvironmentVariableIntValue("VANTREL_DB_PORT", &ok);
    if (ok && overridden > 0 && overridden <= 65535)
        return overridden;
    return kPort;
}

void ServerDatabase::connect()
{
    // Every handle and query on the old connection must be gone before it is removed,
    // otherwise Qt keeps the old driver alive and warns.
    m_query.reset();
    m_db = QSqlDatabase();
    if (QSqlDatabase::contains(kConnectionName))
        QSqlDatabase::removeDatabase(kConnectionName);

    m_db = QSqlDatabase::addDatabase(QLatin1String(kDriverName), kConnectionName);
    m_db.setHostName(QStringLiteral(VANTREL_DB_HOST));
    m_db.setDatabaseName(QStringLiteral(VANTREL_DB_NAME));
    m_db.setUserName(QStringLiteral(VANTREL_DB_USER));
    m_db.setPassword(QStringLiteral(VANTREL_DB_PASSWORD));
    m_db.setPort(port());
    m_openClock.start();

    if (!openWithinBudget()) {
        qDebug().noquote() << "Database connection failed:" << m_db.lastError().text();
        return;
    }
    qDebug() << "Database connection established successfully!";

    applySessionSettings();
    createSharedQuery();
}

void ServerDatabase::applySessionSettings()
{
    QSqlQuery session(m_db);
    if (!session.exec(QLatin1String(kWaitTimeoutStatement)))
        noteFailure(session.lastError());
    if (m_db.isOpen())
        session.exec(QLatin1String(kInteractiveTimeoutStatement));
    // Only the last statement's error is looked at; a failure here is not fatal.
    if (session.lastError().isValid())
        qDebug().noquote() << "Error setting session variables:" << session.lastError().text();
    else
        qDebug() << "Session variables set successfully!";
}

void ServerDatabase::createSharedQuery()
{
    m_query = std::make_unique<QSqlQuery>(m_db);
    m_query->setForwardOnly(true);
}

bool ServerDatabase::openWithinBudget()
{
    if (!m_openClock.isValid())
        m_openClock.start();
    const qint64 left = kOpenBudgetSeconds - m_openClock.elapsed() / 1000;
    if (left < 1) {
        qDebug() << "Server database: no further open attempt, the opening time of"
                 << kOpenBudgetSeconds << "s is used up";
        return false;
    }
    m_db.setConnectOptions(connectOptions(int(qMin<qint64>(kConnectTimeoutSeconds, left))));
    return m_db.open();
}

bool ServerDatabase::openCheck()
{
    // Opening an open MySQL connection closes and reopens it, so the first attempt
    // also revives a link that has gone stale.
    bool open = false;
    for (int attempt = 0; attempt < 3 && !open; ++attempt)
        open = openWithinBudget();
    if (!open)
        return false;
    // The reopen starts a new server session with the server's default idle limits; set
    // the long limits again so an idle window does not lose its connection.
    applySessionSettings();
    if (!m_db.isOpen())
        return false; // the server stopped answering right after the greeting
    if (!m_query)
        createSharedQuery();
    return true;
}

bool ServerDatabase::isOpen() const
{
    return m_db.isOpen();
}

QString ServerDatabase::lastErrorText() const
{
    return m_db.lastError().text();
}

bool ServerDatabase::parseSymbolLimit(const QVariant &value, int *limit)
{
    if (value.isNull())
        return false;
    bool ok = false;
    const int n = value.toString().trimmed().toInt(&ok, 10);
    if (!ok || n < 0)
        return false;
    *limit = n;
    return true;
}

QString ServerDatabase::escapeLike(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (c == kLikeEscape || c == QLatin1Char('%') || c == QLatin1Char('_'))
            escaped.append(kLikeEscape);
        escaped.append(c);
    }
    return escaped;
}

bool ServerDatabase::serverSettingsRecord(const QString &userId, QSqlRecord *record)
{
    if (record)
        record->clear();
    if (!m_query || !m_db.isOpen())
        return false;
    // An ID with nothing in it belongs to nobody.
    if (userId.trimmed().isEmpty())
        return true;

    if (!m_query->prepare(QLatin1String(kAccountStatement))) {
        qDebug().noquote() << "Server settings statement could not be prepared:"
                           << m_query->lastError().text();
        noteFailure(m_query->lastError());
        return false;
    }
    m_query->addBindValue(escapeLike(userId));
    if (!m_query->exec()) {
        qDebug().noquote() << "Server settings statement failed:" << m_query->lastError().text();
        noteFailure(m_query->lastError());
        return false;
    }
    QSqlRecord account;
    while (m_query->next()) {
        if (m_query->value(QStringLiteral("MachineID")).toString() == userId) {
            account = m_query->record();
            break;
        }
    }
    m_query->finish();
    if (account.isEmpty())
        return true;

    QVariant latest(QVariant::String), latestPath(QVariant::String);
    if (!m_query->exec(QLatin1String(kVersionStatement))) {
        qDebug().noquote() << "Announced build cannot be read, no update is offered:"
                           << m_query->lastError().text();
        noteFailure(m_query->lastError());
    } else {
        if (m_query->next()) {
            latest = m_query->value(0);
            latestPath = m_query->value(1);
        } else {
            qDebug() << "No build is announced (the version table is empty)";
        }
        m_query->finish();
    }
    for (auto column : {std::make_pair("LatestVersionRT", latest),
                        std::make_pair("LatestVersionPath", latestPath)}) {
        const QString name = QLatin1String(column.first);
        if (!account.contains(name))
            account.append(QSqlField(name, QVariant::String));
        account.setValue(name, column.second);
    }
    if (record)
        *record = account;
    return true;
}

void ServerDatabase::noteFailure(const QSqlError &error)
{
    // During the start-up every further statement on a stalled server would wait its own
    // time-out (and the client library's reconnect its connect time-out); closing the link
    // lets them fail at once, so the start-up reaches its box in bounded time.
    if (m_failFast && isLinkFailure(error) && m_db.isOpen()) {
        qDebug() << "Server database link lost during the start-up; the connection is closed";
        m_db.close();
    }
}

bool ServerDatabase::backfillSettings(QString *todaysDate, QString *oneDayPath, QString *fiveDayPath)
{
    if (!m_query || !m_db.isOpen())
        return false;
    if (!m_query->exec(QLatin1String(kBackfillSettingsStatement))) {
        qDebug().noquote() << "Backfill settings statement failed:" << m_query->lastError().text();
        noteFailure(m_query->lastError());
        return false;
    }
    if (!m_query->next()) {
        m_query->finish();
        return false;
    }
    if (todaysDate)
        *todaysDate = m_query->value(0).toString();
    if (oneDayPath)
        *oneDayPath = m_query->value(1).toString();
    if (fiveDayPath)
        *fiveDayPath = m_query->value(2).toString();
    m_query->finish();
    return true;
}

bool ServerDatabase::loadCatalogue(QHash<QString, QStringList> *cache)
{
    if (!cache || !m_query || !m_db.isOpen())
        return false;

    if (!m_query->exec(QLatin1String(kCatalogueStatement))) {
        const QSqlError error = m_query->lastError();
        qDebug().noquote() << "Symbol catalogue statement failed:" << error.text();
        // A real error usually means the link is gone: reconnect once for the next
        // statement. The catalogue read so far stays in use.
        noteFailure(error);
        if (error.type() != QSqlError::NoError && !m_failFast) {
            m_db.close();
            m_db.open();
        }
        return false;
    }

    // Rows come in symbol order, so one segment's rows are interleaved with the others'
    // but mostly arrive in runs (option series). Grouping into a handful of lists by
    // index keeps the per-row work to one short string compare, with no hash look-up.
    struct Group
    {
        QString code;
        QStringList symbols;
    };
    std::vector<Group> groups;
    groups.reserve(16);
    std::size_t current = 0;

    while (m_query->next()) {
        const QString code = m_query->value(1).toString();
        if (groups.empty() || groups[current].code != code) {
            current = 0;
            while (current < groups.size() && groups[current].code != code)
                ++current;
            if (current == groups.size())
                groups.push_back(Group{code, QStringList()});
        }
        groups[current].symbols.append(m_query->value(0).toString());
    }
    m_query->finish();

    cache->clear();
    cache->reserve(int(groups.size()));
    for (Group &group : groups)
        cache->insert(group.code, group.symbols); // implicitly shared, no deep copy
    return true;
}

QStringList ServerDatabase::segmentSymbols(const QString &exchangeCode)
{
    QStringList symbols;
    if (!m_query || !m_db.isOpen())
        return symbols;
    if (!m_query->prepare(QLatin1String(kSegmentStatement)))
        return symbols;
    m_query->addBindValue(exchangeCode);
    if (!m_query->exec()) {
        noteFailure(m_query->lastError());
        return symbols;
    }
    while (m_query->next())
        symbols.append(m_query->value(0).toString());
    m_query->finish();
    return symbols;
}

QString ServerDatabase::broadcastMessage()
{
    if (!m_query || !m_db.isOpen())
        return QString();
    if (!m_query->exec(QLatin1String(kBroadcastStatement))) {
        noteFailure(m_query->lastError());
        return QString();
    }
    QString message;
    if (m_query->next())
        message = m_query->value(0).toString().trimmed();
    m_query->finish();
    return message;
}
