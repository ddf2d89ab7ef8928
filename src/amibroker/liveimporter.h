#pragma once

#include "amibroker/brokercalls.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>

class BrokerAutomation;
class BrokerThread;
class LiveImportCycle;

// The owner of the charting program's side of a pass: the broker thread with the
// automation object, the live import cycle that takes every stored batch into the
// charting program, and the close sequence's calls. Lives in the GUI thread; every call
// into the charting program is made in the broker thread, so the window never waits on a
// busy charting program (only the close sequence does, bounded per call).
class LiveImporter : public QObject
{
    Q_OBJECT
public:
    explicit LiveImporter(QObject *parent = nullptr);
    // shutdown().
    ~LiveImporter() override;

    // Where every call into the charting program is made.
    BrokerThread *brokerThread() const { return m_brokerThread.get(); }
    // The automation object, for tests and tools only: it waits (bounded) until the broker
    // thread has made it, and belongs to that thread.
    BrokerAutomation *broker();
    // The import call and the rest the backfill imports make. After shutdown() they do
    // nothing (an import fails), also when the importer itself is gone.
    BrokerCalls brokerCalls() const;

    // The symbols whose lines read back from the spool are imported: the watchlist (the
    // default symbols the feed subscribes to while it is empty).
    void setFollowedSymbols(const QStringList &symbols);
    // Called in the broker thread with the tick lines of every batch the cycle takes.
    void setTakenTicksObserver(std::function<void(const QByteArray &)> observer);
    // Called in the broker thread with the tick lines of every import that went through.
    void setImportedTicksObserver(std::function<void(const QByteArray &)> observer);

    // Points the charting program at its database; the cycle asked for next runs after
    // it, so batches kept from an earlier pass or run go into this database.
    void loadDatabase(const QString &folder);

    // The close sequence's calls, each bounded by BrokerThread::kCloseCallBoundMs: the exit
    // command; with `control` on also the database (and the layout when "saveLayout" is
    // on), then `beforeEnd` (the window hides), a second's rest and the end of the
    // charting program with its child processes.
    void closeBroker(bool control, const std::function<void()> &beforeEnd);
    // Restart with control on: the database and layout saved as at a close; false (and
    // nothing called) when the charting program's object is not there.
    bool saveForRestart();

    // The end of the pass: the cycle goes, waiters are released, the broker thread ends and
    // what the charting program has not taken yet is kept for the next run. Idempotent.
    void shutdown();

    // Live import statistics (diagnostics and tests), readable from any thread.
    qint64 importCycles() const;
    qint64 importedBatches() const;
    qint64 liveImports() const;
    qint64 largestLiveImportBytes() const;
    // Time the import cycles spent in the program's own work (queue, import file) and
    // inside the charting program's calls (Import, RefreshAll), in nanoseconds.
    qint64 ownWorkNs() const;
    qint64 brokerCallNs() const;
    // Whether the last import cycle could not hand its batches over (they are kept).
    bool isImportFailing() const;

    // Test seams: the pause before a failed import is tried again without a new batch,
    // and the import file the cycle builds.
    void setImportRetryIntervalMs(int ms);
    void setImportFilePath(const QString &path) { m_importFile = path; }
    QString importFilePath() const { return m_importFile; }
    QString realtimeFormatPath() const { return m_realtimeFormat; }

    Q_INVOKABLE QVariant importIntoAmiBroker(QString filePath, QString formatDll);

public slots:
    // One cycle soon, after the one running: the feed stored a batch.
    void importBatches();

private:
    struct BrokerGate;
    bool isReadyForClose();
    void saveDatabaseAndLayout();

    QString m_importFile;
    QString m_realtimeFormat;
    QStringList m_followed;
    QSet<QString> m_followedSet;
    std::unique_ptr<BrokerThread> m_brokerThread;
    LiveImportCycle *m_cycle = nullptr; // lives in the broker thread
    // The backfill imports' way into the broker thread, closed by shutdown().
    std::shared_ptr<BrokerGate> m_gate;
};
