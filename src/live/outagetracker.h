#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

// Knows when ticks may have been missed. It keeps the moment ticks were last imported and
// the start of the oldest gap not yet repaired in a small state file under the
// installation root, so that a gap left by a process end (close, Restart, crash, kill) is
// still known at the next start.
//
// The live path only stamps a time in memory; the file is written by a timer, at most
// every writeIntervalMs(), and by flush() at close.
//
// GUI thread. Callers in other threads reach the slots queued (for example
// QMetaObject::invokeMethod(tracker, "noteDroppedBatches", Qt::QueuedConnection, ...)).
class OutageTracker : public QObject
{
    Q_OBJECT
public:
    enum class Cause { LinkLost, EarlierRun, DroppedBatches };
    Q_ENUM(Cause)

    // Largest state file read; anything bigger is not ours and is removed.
    static constexpr qint64 kMaxStateBytes = 4096;
    static constexpr int kWriteIntervalMs = 10000;

    explicit OutageTracker(QString stateFile, QObject *parent = nullptr);
    ~OutageTracker() override;

    // Reads what an earlier run left. When that run fed ticks, the gap since then is an
    // outage: outageBegan(EarlierRun, ...) is emitted (queued, so receivers connected
    // right after this call see it).
    void load();

    QDateTime lastImport() const;
    QDateTime unrepairedSince() const { return m_unrepairedSince; }
    QString stateFile() const { return m_stateFile; }

    // Test seams: the clock and the write interval (kWriteIntervalMs in the product).
    void setClockForTests(QDateTime (*now)()) { m_now = now ? now : &QDateTime::currentDateTimeUtc; }
    void setWriteIntervalMs(int ms) { m_writeTimer.setInterval(ms); }
    int writeIntervalMs() const { return m_writeTimer.interval(); }
    qint64 stateWrites() const { return m_writes; }

    // The state file's text for these values, and the values of such a text. Anything
    // that is not a valid moment is left out; moments after now are taken as now (a clock
    // that went back must not hide a gap).
    // The earlier of two moments, an invalid one counting as unknown.
    static QDateTime earlier(const QDateTime &a, const QDateTime &b);

    static QByteArray encode(const QDateTime &lastImport, const QDateTime &unrepairedSince);
    static bool decode(const QByteArray &text, const QDateTime &now, QDateTime *lastImport,
                       QDateTime *unrepairedSince);

signals:
    // Ticks may be missing from `since` on.
    void outageBegan(OutageTracker::Cause cause, QDateTime since);

public slots:
    // A batch of ticks reached the import. Costs one clock read.
    void noteTicksImported();
    // The link was lost: a drop, an error, a refused reconnect or a stall.
    void noteLinkLost();
    // Batches were dropped because the charting program could not take them.
    void noteDroppedBatches(int ticks);
    // A repair run has started / ended. A run that ended well repaired everything that
    // was missing when it started; `stillMissingSince` is what is left (an outage that
    // began during the run, or the run's own period when it failed), invalid for none.
    void noteRepairStarted();
    void noteRepairEnded(QDateTime stillMissingSince);
    // Writes the state now when it changed (close sequence).
    void flush();

private:
    void beginOutage(Cause cause, const QDateTime &since);
    bool anythingToMiss() const;
    void markDirty();

    QString m_stateFile;
    QDateTime (*m_now)() = &QDateTime::currentDateTimeUtc;
    qint64 m_lastImportMs = 0; // 0: none known
    QDateTime m_unrepairedSince;
    QDateTime m_repairStartedAt;
    bool m_dirty = false;
    qint64 m_writes = 0;
    QTimer m_writeTimer;
};
