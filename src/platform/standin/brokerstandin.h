#pragma once

#include "platform/brokerautomation.h"

#include <QString>
#include <memory>

class AsciiImportFormat;
class QSqlQuery;

// Takes the charting program's place where it cannot run. It accepts the call texts the
// product makes and does the work for real:
//
//   "LoadDatabase(QString&)"   args[0] = database folder (created when missing)
//   "Import(0,<file>,<format>)" imports <file> with the format definition <format> into
//                              the loaded database (the installation's default database
//                              when none was loaded); returns the number of rows stored,
//                              null when the file or the format cannot be read
//   "RefreshAll()"             counted; returns true
//   "ExecuteCommand(int)"      args[0]; 33029 is recorded as the request to exit
//   "SaveDatabase()"           checkpoints the store; returns true
//   "SaveLayout(<path>)"       writes a small layout file at <path>, folders included
//
// Arguments may also be written inside the call text ("ExecuteCommand(33029)") or passed
// as args ("Import(int,QString,QString)" with three args). Function names are compared
// without regard to letter case, as the automation interface does.
//
// Paths in call texts: the Import text is split at its first comma (the import type) and
// at the LAST comma (file before it, format after it), so the data file may contain
// commas; when that split does not name two existing files, the other commas are tried
// and the split that does is taken. A format path containing a comma therefore still
// works when both files exist. Surrounding blanks and double quotes are removed. Off
// Windows a path with '\' that does not exist as written is read with '/' instead, because
// the product writes some paths with backslashes.
//
// Faults, so the product can be seen facing a busy charting program:
//   VANTREL_STANDIN_IMPORT_MS=N  every Import takes N ms longer (0 to 600000, read once)
//   "<database folder>/standin-stall"  while this file exists, every call blocks, as the
//                              charting program does while it runs an exploration
// Both give up at once when the object is abandoned (the program is closing); the call
// then returns null.
//
// Quotes go to "<database folder>/quotes.sqlite" (see QuoteStore); a row whose symbol and
// timestamp already exist replaces the stored one's prices, and keeps the moment it was
// first stored (stored_at, milliseconds since the epoch). One transaction per Import.
class BrokerStandIn : public BrokerAutomation
{
    Q_OBJECT
public:
    static constexpr int ExitCommand = 33029;

    struct Counters
    {
        int imports = 0;        // successful Import calls
        int failedImports = 0;  // Import calls that returned null
        int refreshes = 0;
        int databaseLoads = 0;
        int databaseSaves = 0;
        int layoutSaves = 0;
        int commands = 0;       // ExecuteCommand calls
        int unknownCalls = 0;
        qint64 rowsStored = 0;  // over all imports
        qint64 badLines = 0;    // over all imports
        int lastImportRows = 0;
        int lastImportBadLines = 0;
        int lastImportSkippedSymbols = 0; // lines of unknown symbols under $AUTOADD 0
        int formatParses = 0;   // format definitions parsed
    };

    explicit BrokerStandIn(QObject *parent = nullptr);
    ~BrokerStandIn() override;

    QVariant dynamicCall(const char *function, const QVariantList &args = {}) override;

    // Journal of state-changing calls ("<database folder>/standin-calls.log"), one call
    // text per line followed by its arguments.
    static QString journalFileName();
    // The stall file's name inside the database folder.
    static QString stallFileName();
    // Extra milliseconds per Import from VANTREL_STANDIN_IMPORT_MS (0 when unset or unusable).
    static int importDelayFromEnvironment();

    const Counters &counters() const { return m_counters; }
    QString lastError() const { return m_lastError; }
    bool isExitRequested() const { return m_exitRequested; }
    int lastCommand() const { return m_lastCommand; }
    bool isDatabaseLoaded() const { return m_databaseLoaded; }
    // The loaded database folder, or the default one before any LoadDatabase.
    QString databaseFolder() const;
    QString lastLayoutPath() const { return m_lastLayoutPath; }

signals:
    void imported(const QString &file, int rows);
    void refreshed();
    void exitCommandReceived();

private:
    QVariant loadDatabase(const QString &folder);
    QVariant import(int type, const QString &file, const QString &format);
    QVariant saveDatabase();
    QVariant saveLayout(const QString &path);
    QVariant executeCommand(int command);

    QVariant failure(const QString &why);
    // Blocks while the stall file exists; false when abandoned meanwhile.
    bool waitWhileStalled();
    // Sleeps ms in short steps; false when abandoned meanwhile.
    bool busyFor(int ms);
    void journal(const QString &callText, const QVariantList &args);
    bool openStore(const QString &folder);
    void closeStore();
    bool symbolKnown(const QString &symbol);

    Counters m_counters;
    int m_importDelayMs = 0;
    QString m_lastError;
    QString m_lastLayoutPath;
    bool m_exitRequested = false;
    int m_lastCommand = 0;
    bool m_databaseLoaded = false;
    // The last format definition parsed, kept until its file changes: parsing it afresh
    // for every live batch cost a whole read of the file per import. A change is a new
    // path, size or modification time; files of ordinary size are also compared byte for
    // byte, because a rewrite within the file system's timestamp granularity keeps both.
    struct FormatCache
    {
        QString path;
        qint64 size = -1;
        qint64 modifiedMs = 0;
        QByteArray bytes; // files up to kFormatCompareBytes only
        bool valid = false;
        QString error;
        std::shared_ptr<AsciiImportFormat> definition;
    };
    static constexpr qint64 kFormatCompareBytes = 64 * 1024;
    const AsciiImportFormat *formatFor(const QString &path, QString *error);
    FormatCache m_format;

    QString m_folder;        // folder of the open store
    QString m_connection;    // its connection name, empty when closed
    std::unique_ptr<QSqlQuery> m_insert;
    std::unique_ptr<QSqlQuery> m_exists;
};
