#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

#include "backfill/importworker.h"
#include "serverdb/serverdatabase.h"

class BrokerAutomation;
class BrokerThread;
class LiveImportCycle;
class TickedMinutes;

// Worker object of the main window, living in the GUI thread with the server database.
// Every call into the charting program goes to the broker thread it owns, so the window
// never waits on a busy charting program: the live import cycle runs there, and so do the
// backfill imports' calls (backfillBroker()). It owns the watchlist lists, the database
// connection with the shared query and the broker thread with the automation object.
class liveDataUpdator : public QObject
{
    Q_OBJECT
public:
    explicit liveDataUpdator(QObject *parent = nullptr);
    ~liveDataUpdator() override;

    // The watchlist: symbols in the order added and the exchange code of each.
    QStringList selectedSymbols;
    QStringList correspondingExchanges;

    // Fixed paths, set in the constructor.
    QString amibrokerDatabasePath;
    QString pollFilePath;
    QString importFilePath;
    QString realtimeFormatPath;
    QString rootPath;

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

    Q_INVOKABLE QVariant importIntoAmiBroker(QString filePath, QString formatDll);

    // How the backfill imports reach the charting program from their thread: every import
    // call and every rest between attempts is made in the broker thread, behind or between
    // the live imports, and waited for. Once this object is gone they fail at once.
    ImportWorker::Broker backfillBroker() const;

    // The live import notes the minutes of every batch there.
    void setTickedMinutes(std::shared_ptr<TickedMinutes> minutes);

public slots:
    void updateDataAmi();

private:
    struct BrokerGate;
    // The import call text for a file and its format definition.
    static QByteArray importCall(const QString &filePath, const QString &formatDll);

    // The symbols whose lines read back from the spool are imported: the watchlist, or
    // the default symbols the feed subscribes to while it is empty (built again only when
    // the list changed).
    QSet<QString> spooledSymbols();
    QStringList m_spooledSymbolsFrom;
    QSet<QString> m_spooledSymbols;

    ServerDatabase m_serverDb;
    std::unique_ptr<BrokerThread> m_brokerThread;
    LiveImportCycle *m_cycle = nullptr; // lives in the broker thread
    // The backfill imports' way into the broker thread, closed by the destructor.
    std::shared_ptr<BrokerGate> m_backfillGate;
};
