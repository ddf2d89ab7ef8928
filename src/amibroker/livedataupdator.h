#pragma once

#include <QFile>
#include <QElapsedTimer>
#include <QMutex>
#include <QSet>
#include <QTimer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariant>
#include <atomic>
#include <functional>
#include <memory>

#include "serverdb/serverdatabase.h"

class BrokerAutomation;
class BrokerThread;
class LiveImportCycle;
class RepairScope;
class TickedMinutes;

// Worker object of the main window. Despite deriving from QThread it is never moved: its
// slots and the server database live in the GUI thread. Every call into the charting
// program goes to the broker thread it owns, so the window never waits on a busy charting
// program: the live import cycle runs there, and the backfill imports run in a worker
// thread of their own whose chunk imports (and the rests between them) are broker calls.
// It owns the watchlist lists, the database connection with the shared query, the broker
// thread with the automation object, and the backfill queue.
class liveDataUpdator : public QThread
{
    Q_OBJECT
public:
    explicit liveDataUpdator(QObject *parent = nullptr);
    ~liveDataUpdator() override;

    // The watchlist: symbols in the order added and the exchange code of each.
    QStringList selectedSymbols;
    QStringList correspondingExchanges;

    // Backfill imports (files used only there).
    QFile backfillFile;
    QFile chunkFile;

    // Fixed paths, set in the constructor.
    QString amibrokerDatabasePath;
    QString pollFilePath;
    QString importFilePath;
    QString realtimeFormatPath;
    QString eodFormatPath;
    QString rootPath;
    QString backfillFolder;

    int mode = 0;                // set by the main window before start() (1 = EOD backfill)
    bool eodWatchlistOnly = true; // copied from the end-of-day dialog for each request
    QStringList backfillQueue;   // intraday backfill request URLs
    QMutex backfillMutex;

    ServerDatabase *serverDatabase() { return &m_serverDb; }
    QSqlDatabase *database() { return m_serverDb.database(); }
    QSqlQuery *sharedQuery() { return m_serverDb.sharedQuery(); }
    // Where every call into the charting program is made.
    BrokerThread *brokerThread() const { return m_brokerThread.get(); }
    // The automation object, for tests and tools only: it waits (bounded) until the broker
    // thread has made it, and belongs to that thread.
    BrokerAutomation *broker();

    // Live import statistics (diagnostics and tests), readable from any thread.
    qint64 importCycles() const;
    qint64 importedBatches() const;
    qint64 liveImports() const;
    qint64 largestLiveImportBytes() const;
    // Time the import cycles spent in the program's own work (queue, import file) and
    // inside the charting program's calls (Import, RefreshAll), in nanoseconds; both in
    // the broker thread.
    qint64 ownWorkNs() const;
    qint64 brokerCallNs() const;

    // Whether the last import cycle could not hand its batches over (they are kept).
    bool isImportFailing() const;
    // Test seam: the pause before a failed import is tried again without a new batch.
    void setImportRetryIntervalMs(int ms);
    // Whether a backfill or end-of-day import is running in its worker thread.
    bool isBackfillImportRunning() const { return m_backfillThread != nullptr; }

    Q_INVOKABLE QVariant importIntoAmiBroker(QString filePath, QString formatDll);

    // Writes the processed copy of one backfill file with the user's symbol names; false
    // when it was not made (the file is then imported as it is).
    bool applySymbolMapping(QString sourcePath, QString processedPath);
    // Part of the close sequence: a running backfill import ends before its next file.
    void stopBackfill();

    // Asked when an intraday import starts: what a gap repair under way may store, or
    // null for a backfill of the user's (everything is imported).
    std::function<std::shared_ptr<const RepairScope>()> repairScopeForImport;
    // The live import notes the minutes of every batch there.
    void setTickedMinutes(std::shared_ptr<TickedMinutes> minutes);

signals:
    void backfillDone();
    void doAutoBackfill();
    void doeodbackfill();
    void eodBackfillDone();

public slots:
    void doEodBackfill();
    void updateDataAmi();
    void doBackFill();
    void do5DayFastBackfill();

protected:
    void run() override;

private:
    // The import call text for a file and its format definition.
    static QByteArray importCall(const QString &filePath, const QString &formatDll);
    // One import from a worker thread, made in the broker thread and waited for; false
    // for a null result.
    bool importInBrokerThread(const QString &filePath, const QString &formatDll);
    // Runs work in the backfill worker thread; then done() in this thread.
    void startBackfillWorker(std::function<void()> work, std::function<void()> done);

    // The symbols whose lines read back from the spool are imported: the watchlist, or
    // the default symbols the feed subscribes to while it is empty (built again only when
    // the list changed).
    QSet<QString> spooledSymbols();
    QStringList m_spooledSymbolsFrom;
    QSet<QString> m_spooledSymbols;

    ServerDatabase m_serverDb;
    std::unique_ptr<BrokerThread> m_brokerThread;
    LiveImportCycle *m_cycle = nullptr; // lives in the broker thread
    QThread *m_backfillThread = nullptr;
    bool m_backfillAgain = false; // doBackFill() came while an import ran
    // Set by the close sequence; the running import ends before its next file.
    std::atomic<bool> m_backfillStopRequested{false};
};
