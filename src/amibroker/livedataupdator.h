#pragma once

#include <QFile>
#include <QElapsedTimer>
#include <QMutex>
#include <QTimer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariant>
#include <memory>

#include "serverdb/serverdatabase.h"

class BrokerAutomation;

// Worker object of the main window. Despite deriving from QThread it is never moved: its
// slots, the server database and every call into the charting program run in the GUI
// thread. It owns the watchlist lists, the database connection with the shared query and
// the automation object; it runs the live import cycle and (later) the backfill imports.
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
    BrokerAutomation *broker() { return m_broker.get(); }

    // Live import statistics (diagnostics and tests).
    qint64 importCycles() const { return m_importCycles; }
    qint64 importedBatches() const { return m_importedBatches; }
    // Time the import cycles spent in the program's own work (queue, import file) and
    // inside the charting program's calls (Import, RefreshAll), in nanoseconds.
    qint64 ownWorkNs() const { return m_ownWorkNs; }
    qint64 brokerCallNs() const { return m_brokerCallNs; }

    // Whether the last import cycle could not hand its batches over (they are kept).
    bool isImportFailing() const { return m_importFailing; }
    // Test seam: the pause before a failed import is tried again without a new batch.
    void setImportRetryIntervalMs(int ms) { m_retryTimer.setInterval(ms); }

    Q_INVOKABLE QVariant importIntoAmiBroker(QString filePath, QString formatDll);

    // Writes the processed copy of one backfill file with the user's symbol names; false
    // when it was not made (the file is then imported as it is).
    bool applySymbolMapping(QString sourcePath, QString processedPath);
    // Part of the close sequence: a running backfill import ends before its next file.
    void stopBackfill();

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
    QVariant callBroker(const char *function);
    void importFailed(const QString &reason, int keptBatches);
    // importIntoAmiBroker() on the GUI thread, waited for when called from another one.
    QVariant importFromAnyThread(const QString &filePath, const QString &formatDll);

    ServerDatabase m_serverDb;
    std::unique_ptr<BrokerAutomation> m_broker;
    static constexpr qint64 kImportPauseMs = 50;
    QElapsedTimer m_lastImport;
    QTimer m_pauseTimer;
    static constexpr int kImportRetryMs = 1000;
    QTimer m_retryTimer;
    bool m_importFailing = false;
    qint64 m_importCycles = 0;
    qint64 m_importedBatches = 0;
    qint64 m_ownWorkNs = 0;
    qint64 m_brokerCallNs = 0;
    bool m_backfillRunning = false;
    bool m_backfillStopRequested = false;
};
