#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>

class QSqlError;
#include <memory>

// The one connection to the server database ("MYSQLConn", QMYSQL, port 49111) and the
// shared forward-only query, plus every statement the program runs. Made and owned by the
// start-up controller for one pass; the main window borrows it for the catalogue.
//
// Values are passed to the server as bound values, never pasted into the statement text,
// so a quote in a user ID or exchange code cannot change a statement's meaning.
class ServerDatabase
{
public:
    static const QString kConnectionName; // "MYSQLConn"
    static constexpr int kPort = 49111;

    // Port the connection uses: kPort, unless the environment variable VANTREL_DB_PORT
    // holds a port number (1..65535). Tests set it to aim the connection at a closed
    // port or a relay; it is read when connect() registers the connection.
    static int port();

    ServerDatabase();
    ~ServerDatabase();
    ServerDatabase(const ServerDatabase &) = delete;
    ServerDatabase &operator=(const ServerDatabase &) = delete;

    // Registers the connection (replacing an earlier one of the same name), opens it,
    // runs the two session statements and creates the shared query.
    void connect();

    // Up to three opens in a row, stopping at the first success. Creates the shared query
    // when it is missing and the database is open. Returns the last attempt's result.
    bool openCheck();

    bool isOpen() const;
    QString lastErrorText() const;

    QSqlDatabase *database() { return &m_db; }
    QSqlQuery *sharedQuery() { return m_query.get(); }

    // Server settings record for the user ID: the account whose MachineID equals the ID
    // exactly (letter case included; an empty ID matches no account), with the announced
    // build's LatestVersionRT and LatestVersionPath added (null when none is announced or
    // it cannot be read: that only means no update). Returns false when the account
    // statement cannot be executed. No account leaves *record empty (MachineID reads null).
    bool serverSettingsRecord(const QString &userId, QSqlRecord *record);

    // Newest backfill settings row: TodaysDateAtServer, oneDayBackfillPath,
    // fiveDayBackfillPath. Returns false when there is none or the statement fails.
    bool backfillSettings(QString *todaysDate, QString *oneDayPath, QString *fiveDayPath);

    // Full catalogue: exchange code -> symbols in ascending order. On failure the cache is
    // left untouched and, for a real error, the connection is closed and opened again.
    // Does nothing when the connection is not open.
    bool loadCatalogue(QHash<QString, QStringList> *cache);

    // Symbols of one exchange code, ascending; empty when not open or on failure.
    QStringList segmentSymbols(const QString &exchangeCode);

    // Trimmed broadcast message text; empty when it cannot be read.
    QString broadcastMessage();

    // The symbol limit from a SymbolAllowed value, which the server may keep as text: a
    // whole number of 0 or more, blanks around it allowed. False (and *limit untouched)
    // for NULL, empty, negative, fractional or other text.
    static bool parseSymbolLimit(const QVariant &value, int *limit);

    // While on (from construction until the start-up is over), a statement that loses the
    // link closes the connection, so the following start-up statements fail at once
    // instead of each waiting for a stalled server. Off, the client library's own
    // reconnect and the catalogue's reopen revive a link that dropped in a long session.
    void setStartupPhase(bool on) { m_failFast = on; }

    // Escapes LIKE wildcards so the text matches literally (escape character '!').
    static QString escapeLike(const QString &text);

private:
    void createSharedQuery();
    void applySessionSettings();
    // One open with the connect time-out cut to what is left of the opening budget;
    // false without trying once the budget is used up.
    bool openWithinBudget();
    void noteFailure(const QSqlError &error);

    QSqlDatabase m_db;
    std::unique_ptr<QSqlQuery> m_query;
    QElapsedTimer m_openClock;
    bool m_failFast = true;
};
