#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>

class BrokerThread;

// The live import cycle, run in the broker thread: the oldest kept batches (at most
// kMaxImportBytes) become the import file with the user's symbol names, the charting
// program imports it and then refreshes its charts. Batches leave the queue only once the
// import went through; a failed cycle keeps them and tries again every kImportRetryMs when
// no new batch brings a cycle sooner. After every import the charting program gets a rest
// of kImportPauseMs before the next one, so a backlog (after a stall) goes in as a row of
// bounded imports, oldest first, with a rest between them.
//
// Batches read back from the spool went through the disk: their lines are imported only in
// the exact form the recorder writes and for the watchlist's symbols (Paths::symbols).
//
// Requests come from any thread and are merged: while one is waiting to run, more add
// nothing (each cycle takes whatever is pending anyway).
class LiveImportCycle : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 kImportPauseMs = 50;
    static constexpr int kImportRetryMs = 1000;
    static constexpr qint64 kMaxImportBytes = 8 * 1024 * 1024;

    struct Paths
    {
        QString importFile;
        QString format;
        // Lines read back from the spool are imported only for these (server) symbols.
        QSet<QString> symbols;
    };

    // Moves itself into the broker's thread; delete it there (deleteLater).
    explicit LiveImportCycle(BrokerThread *broker);

    // Any thread: a cycle soon, with these paths (they stay in use for retries).
    void request(const Paths &paths);
    // Any thread: the pause before a failed import is tried again without a new batch.
    void setRetryIntervalMs(int ms);
    // Called in the broker thread with the tick lines of every batch taken from now on.
    using TakenTicks = std::function<void(const QByteArray &ticks)>;
    // Any thread: who hears of the taken ticks (the gap repair leaves their minutes to them).
    void setTakenTicksObserver(TakenTicks observer);
    // Any thread: who hears of the tick lines the charting program accepted, after each
    // import that went through (lines read back from the spool only as far as imported).
    void setImportedTicksObserver(TakenTicks observer);

    // Statistics, readable from any thread.
    qint64 cycles() const { return m_cycles.load(); }
    qint64 importedBatches() const { return m_importedBatches.load(); }
    qint64 imports() const { return m_imports.load(); }
    qint64 largestImportBytes() const { return m_largestImport.load(); }
    qint64 ownWorkNs() const { return m_ownWorkNs.load(); }
    qint64 brokerCallNs() const { return m_brokerCallNs.load(); }
    bool isFailing() const { return m_failing.load(); }

private:
    void run();
    void failed(const QString &reason, int keptBatches);

    BrokerThread *m_broker;
    Paths m_paths;
    TakenTicks m_takenTicks;
    TakenTicks m_importedTicks;
    QTimer m_pauseTimer;
    QTimer m_retryTimer;
    QElapsedTimer m_lastImport;
    std::atomic<bool> m_requested{false};
    std::atomic<bool> m_failing{false};
    std::atomic<qint64> m_cycles{0};
    std::atomic<qint64> m_importedBatches{0};
    std::atomic<qint64> m_imports{0};
    std::atomic<qint64> m_largestImport{0};
    std::atomic<qint64> m_ownWorkNs{0};
    std::atomic<qint64> m_brokerCallNs{0};
};
