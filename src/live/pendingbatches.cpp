#include "live/pendingbatches.h"

#include "live/writebehind.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QVector>

#include <deque>
#include <limits>

namespace {

struct Entry
{
    quint64 id = 0;
    QByteArray bytes;
    qint64 keptAtMs = 0;
    bool written = false; // also in the spool, at `at`
    LiveSpool::Placed at;
};

struct Drop
{
    qint64 batches = 0;
    qint64 ticks = 0;
    QString why;
};

// What to tell once the locks are released.
struct Report
{
    QVector<Drop> drops;
    QString problem;
};

// Taken in this order when both are needed: the spool (disk work) first, then memory.
QMutex g_spoolMutex;
QMutex g_mutex;

// Under g_mutex: the newest part of the queue, spooled entries kept as copies (a prefix)
// and then the entries not written yet.
std::deque<Entry> g_memory;
qint64 g_memoryBytes = 0;
qint64 g_unwrittenBytes = 0;
int g_writtenInMemory = 0;
quint64 g_nextId = 1;
bool g_writing = false; // a group is being written: its entries stay where they are
// The memory snapshot the import cycle holds (entries up to this number) and, for those of
// them whose copies went meanwhile, where they end in the spool.
quint64 g_heldUpTo = 0;
LiveSpool::Position g_heldEnd;
qint64 g_heldRecords = 0;
qint64 g_heldBytes = 0;
qint64 g_memoryLimit = PendingBatches::kMemoryLimitBytes;
int g_flushDelayMs = PendingBatches::kFlushDelayMs;

// Under g_spoolMutex.
LiveSpool g_spool;
LiveSpool::Limits g_spoolLimits;
qint64 g_spoolWrittenBefore = 0; // by spools closed since
QElapsedTimer g_lastFailedOpen;

qint64 nowMs()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

int flushDue(bool everything);

WriteBehind &writer()
{
    static WriteBehind w([] { return flushDue(false); });
    return w;
}

void forgetHeldLocked()
{
    g_heldUpTo = 0;
    g_heldEnd = {};
    g_heldRecords = 0;
    g_heldBytes = 0;
}

// Lets go of the oldest copy of a spooled batch (it stays on the disk).
void dropOldestCopyLocked()
{
    const Entry &e = g_memory.front();
    if (e.id <= g_heldUpTo) {
        g_heldEnd = e.at.end;
        ++g_heldRecords;
        g_heldBytes += e.bytes.size();
    }
    g_memoryBytes -= e.bytes.size();
    --g_writtenInMemory;
    g_memory.pop_front();
}

void trimWindowLocked()
{
    while (g_writtenInMemory > 0 && g_memoryBytes - g_unwrittenBytes > PendingBatches::kWindowBytes)
        dropOldestCopyLocked();
}

// Without a spool memory is the only place: past its bound the oldest go, the newest batch
// always stays.
void enforceMemoryLimitLocked(Report *report)
{
    if (g_writing || g_memoryBytes <= g_memoryLimit)
        return;
    while (g_writtenInMemory > 0 && g_memoryBytes > g_memoryLimit)
        dropOldestCopyLocked();
    Drop d;
    while (g_memoryBytes > g_memoryLimit && g_memory.size() > 1) {
        const Entry &e = g_memory.front();
        ++d.batches;
        d.ticks += e.bytes.count('\n');
        g_memoryBytes -= e.bytes.size();
        g_unwrittenBytes -= e.bytes.size();
        g_memory.pop_front();
    }
    if (d.batches > 0) {
        d.why = QStringLiteral("more than %1 MB waited for AmiBroker and the spool could not take them")
                    .arg(DiskBudget::mbUp(g_memoryLimit));
        report->drops << d;
    }
}

// Copies whose records went with segments the spool dropped for space.
void forgetDroppedLocked(qint64 throughSegment)
{
    while (g_writtenInMemory > 0 && g_memory.front().at.start.segment <= throughSegment) {
        g_memoryBytes -= g_memory.front().bytes.size();
        --g_writtenInMemory;
        g_memory.pop_front();
    }
}

void addSpoolDrop(const LiveSpool::Dropped &dropped, const QString &why, Report *report)
{
    if (dropped.batches > 0)
        report->drops << Drop{dropped.batches, dropped.ticks, why};
}

// Under g_spoolMutex. The spool of the installation root of this moment; an unusable
// folder is tried again only after kSpoolRetryMs unless `force`.
bool openSpoolLocked(bool force, Report *report)
{
    const QString folder = InstallPaths::liveSpoolDir();
    if (g_spool.isOpen() && g_spool.folder() == folder)
        return true;
    if (!force && !g_spool.isOpen() && g_spool.folder() == folder && g_lastFailedOpen.isValid()
        && g_lastFailedOpen.elapsed() < PendingBatches::kSpoolRetryMs)
        return false;
    if (g_spool.isOpen()) {
        // Another root (tests): copies refer to the old spool; what they hold is written again.
        QMutexLocker lock(&g_mutex);
        for (Entry &e : g_memory) {
            if (e.written) {
                e.written = false;
                g_unwrittenBytes += e.bytes.size();
            }
        }
        g_writtenInMemory = 0;
        forgetHeldLocked();
    }
    g_spoolWrittenBefore += g_spool.bytesWritten();
    g_spool.setLimits(g_spoolLimits);
    LiveSpool::Dropped old;
    const bool ok = g_spool.open(folder, &old);
    addSpoolDrop(old, QStringLiteral("the spool of the earlier build cannot be verified"), report);
    if (ok) {
        g_lastFailedOpen.invalidate();
    } else {
        g_lastFailedOpen.start();
        report->problem = g_spool.problem();
    }
    return ok;
}

void tell(const Report &report)
{
    PendingBatches::Notifier *n = PendingBatches::notifier();
    if (!report.problem.isEmpty()) {
        emit n->statusText(QStringLiteral("Live: ticks waiting for AmiBroker cannot be kept on disk (%1); "
                                          "they stay in memory only")
                               .arg(report.problem));
    }
    for (const Drop &d : report.drops) {
        qDebug().noquote() << QStringLiteral("Live import: %1 tick(s) in %2 oldest batch(es) dropped; %3")
                                  .arg(d.ticks)
                                  .arg(d.batches)
                                  .arg(d.why);
        const int ticks = int(qMin<qint64>(d.ticks, std::numeric_limits<int>::max()));
        emit n->batchesDropped(ticks);
        emit n->statusText(QStringLiteral("Live: %1 tick(s) dropped: %2").arg(d.ticks).arg(d.why));
    }
}

// Writes the batches that have waited long enough (all of them when `everything`); returns
// in how many ms the next ones are due, or -1 when none wait.
int flushDue(bool everything)
{
    Report report;
    int again = -1;
    {
        QMutexLocker spoolLock(&g_spoolMutex);
        {
            QMutexLocker lock(&g_mutex);
            if (g_writtenInMemory == int(g_memory.size()))
                return -1;
            const qint64 age = nowMs() - g_memory.at(size_t(g_writtenInMemory)).keptAtMs;
            if (!everything && age < g_flushDelayMs && g_unwrittenBytes < PendingBatches::kGroupBytes)
                return int(g_flushDelayMs - age);
        }
        if (!openSpoolLocked(everything, &report)) {
            again = PendingBatches::kSpoolRetryMs;
        } else {
            QList<QByteArray> group;
            {
                QMutexLocker lock(&g_mutex);
                for (size_t i = size_t(g_writtenInMemory); i < g_memory.size(); ++i)
                    group.append(g_memory[i].bytes);
                g_writing = true;
            }
            QVector<LiveSpool::Placed> placed;
            LiveSpool::Dropped dropped;
            const bool all = g_spool.append(group, &placed, &dropped);
            addSpoolDrop(dropped,
                         QStringLiteral("AmiBroker took nothing for so long that the spool reached the "
                                        "disk space it may use"),
                         &report);
            QMutexLocker lock(&g_mutex);
            g_writing = false;
            if (dropped.throughSegment > 0)
                forgetDroppedLocked(dropped.throughSegment);
            for (const LiveSpool::Placed &p : qAsConst(placed)) {
                Entry &e = g_memory[size_t(g_writtenInMemory)];
                e.written = true;
                e.at = p;
                g_unwrittenBytes -= e.bytes.size();
                ++g_writtenInMemory;
            }
            trimWindowLocked();
            enforceMemoryLimitLocked(&report);
            if (!all)
                report.problem = g_spool.problem();
            if (g_writtenInMemory < int(g_memory.size())) {
                const qint64 age = nowMs() - g_memory.at(size_t(g_writtenInMemory)).keptAtMs;
                again = all ? int(qMax<qint64>(0, g_flushDelayMs - age)) : PendingBatches::kSpoolRetryMs;
            }
        }
        if (!report.problem.isEmpty()) {
            QMutexLocker lock(&g_mutex);
            enforceMemoryLimitLocked(&report);
        }
    }
    tell(report);
    return again;
}

} // namespace

namespace PendingBatches {

Notifier *notifier()
{
    static Notifier n;
    return &n;
}

void append(const QByteArray &batch)
{
    Report report;
    int writeWithin = -1;
    {
        QMutexLocker lock(&g_mutex);
        const bool firstUnwritten = g_writtenInMemory == int(g_memory.size());
        Entry e;
        e.id = g_nextId++;
        e.bytes = batch;
        e.keptAtMs = nowMs();
        g_memory.push_back(std::move(e));
        g_memoryBytes += batch.size();
        g_unwrittenBytes += batch.size();
        if (firstUnwritten)
            writeWithin = g_flushDelayMs;
        // Once per group, not for every batch while a spool that cannot be written waits.
        if (g_unwrittenBytes >= kGroupBytes && g_unwrittenBytes - batch.size() < kGroupBytes)
            writeWithin = 0;
        enforceMemoryLimitLocked(&report);
    }
    if (writeWithin >= 0)
        writer().requestWithin(writeWithin);
    tell(report);
}

Snapshot peek() { return peek(std::numeric_limits<qint64>::max()); }

Snapshot peek(qint64 maxBytes)
{
    Snapshot s;
    Report report;
    {
        QMutexLocker spoolLock(&g_spoolMutex);
        const bool open = openSpoolLocked(false, &report);
        {
            QMutexLocker lock(&g_mutex);
            const bool fromDisk = open && !g_spool.isEmpty()
                                  && (g_writtenInMemory == 0 || g_spool.readPosition() < g_memory.front().at.start);
            forgetHeldLocked();
            if (!fromDisk) {
                for (const Entry &e : g_memory) {
                    if (!s.batches.isEmpty() && s.bytes + e.bytes.size() > maxBytes)
                        break;
                    s.batches.append(e.bytes);
                    s.bytes += e.bytes.size();
                    s.lastId = e.id;
                }
                g_heldUpTo = s.lastId;
            }
        }
        if (s.batches.isEmpty() && open) {
            s.spoolRead = g_spool.peek(maxBytes);
            s.fromSpool = !s.spoolRead.batches.isEmpty();
            s.batches = s.spoolRead.batches;
            s.bytes = s.spoolRead.bytes;
        }
    }
    tell(report);
    return s;
}

void acknowledge(const Snapshot &snapshot)
{
    QMutexLocker spoolLock(&g_spoolMutex);
    QMutexLocker lock(&g_mutex);
    if (snapshot.fromSpool) {
        if (!g_spool.isOpen())
            return;
        g_spool.acknowledge(snapshot.spoolRead);
        // Copies of what was read go with it.
        while (g_writtenInMemory > 0
               && (g_spool.isEmpty() || !(g_spool.readPosition() < g_memory.front().at.end))) {
            g_memoryBytes -= g_memory.front().bytes.size();
            --g_writtenInMemory;
            g_memory.pop_front();
        }
        return;
    }
    if (snapshot.batches.isEmpty())
        return;
    const bool held = g_heldUpTo == snapshot.lastId;
    LiveSpool::Position end = held ? g_heldEnd : LiveSpool::Position();
    qint64 records = held ? g_heldRecords : 0;
    qint64 bytes = held ? g_heldBytes : 0;
    while (!g_memory.empty() && g_memory.front().id <= snapshot.lastId) {
        const Entry &e = g_memory.front();
        g_memoryBytes -= e.bytes.size();
        if (e.written) {
            end = e.at.end;
            ++records;
            bytes += e.bytes.size();
            --g_writtenInMemory;
        } else {
            g_unwrittenBytes -= e.bytes.size();
        }
        g_memory.pop_front();
    }
    if (held)
        forgetHeldLocked();
    // Those that were spooled as well are read there now.
    if (records > 0 && g_spool.isOpen())
        g_spool.skipTo(end, records, bytes);
}

void recover()
{
    Report report;
    {
        QMutexLocker spoolLock(&g_spoolMutex);
        openSpoolLocked(true, &report);
    }
    tell(report);
}

void persist()
{
    flushDue(true);
    QMutexLocker spoolLock(&g_spoolMutex);
    QMutexLocker lock(&g_mutex);
    const int unwritten = int(g_memory.size()) - g_writtenInMemory;
    if (unwritten > 0) {
        qDebug().noquote() << QStringLiteral("Live import: %1 batch(es), %2 bytes not yet taken by the charting "
                                             "program could not be spooled; they stay in memory only")
                                  .arg(unwritten)
                                  .arg(g_unwrittenBytes);
    } else if (g_spool.isOpen() && !g_spool.isEmpty()) {
        qDebug().noquote() << QStringLiteral("Live import: %1 batch(es), %2 bytes not yet taken by the charting "
                                             "program are in the spool for the next start")
                                  .arg(g_spool.unreadRecords())
                                  .arg(g_spool.unreadBytes());
    }
}

QList<QByteArray> takeAll()
{
    QList<QByteArray> out;
    for (;;) {
        const Snapshot s = peek();
        if (s.batches.isEmpty())
            return out;
        out += s.batches;
        acknowledge(s);
    }
}

void clear()
{
    QMutexLocker spoolLock(&g_spoolMutex);
    QMutexLocker lock(&g_mutex);
    g_memory.clear();
    g_memoryBytes = 0;
    g_unwrittenBytes = 0;
    g_writtenInMemory = 0;
    forgetHeldLocked();
    g_spoolWrittenBefore += g_spool.bytesWritten();
    if (!g_spool.isOpen() || g_spool.folder() != InstallPaths::liveSpoolDir())
        g_spool.open(InstallPaths::liveSpoolDir());
    g_spool.clear();
    g_lastFailedOpen.invalidate();
}

bool isEmpty()
{
    QMutexLocker spoolLock(&g_spoolMutex);
    QMutexLocker lock(&g_mutex);
    return g_memory.empty() && (!g_spool.isOpen() || g_spool.isEmpty());
}

int count()
{
    QMutexLocker spoolLock(&g_spoolMutex);
    QMutexLocker lock(&g_mutex);
    const qint64 onDiskOnly = g_spool.isOpen() ? qMax<qint64>(0, g_spool.unreadRecords() - g_writtenInMemory) : 0;
    return int(onDiskOnly + qint64(g_memory.size()));
}

qint64 totalBytes()
{
    QMutexLocker spoolLock(&g_spoolMutex);
    QMutexLocker lock(&g_mutex);
    return (g_spool.isOpen() ? g_spool.unreadBytes() : 0) + g_unwrittenBytes;
}

qint64 memoryBytes()
{
    QMutexLocker lock(&g_mutex);
    return g_memoryBytes;
}

qint64 unwrittenBytes()
{
    QMutexLocker lock(&g_mutex);
    return g_unwrittenBytes;
}

qint64 spoolBytes()
{
    QMutexLocker spoolLock(&g_spoolMutex);
    return g_spool.isOpen() ? g_spool.unreadBytes() : 0;
}

qint64 spoolBytesWritten()
{
    QMutexLocker spoolLock(&g_spoolMutex);
    return g_spoolWrittenBefore + g_spool.bytesWritten();
}

void setMemoryLimitBytes(qint64 limit)
{
    QMutexLocker lock(&g_mutex);
    g_memoryLimit = limit > 0 ? limit : kMemoryLimitBytes;
}

void setFlushDelayMs(int ms)
{
    QMutexLocker lock(&g_mutex);
    g_flushDelayMs = ms > 0 ? ms : kFlushDelayMs;
}

void setSpoolLimits(const LiveSpool::Limits &limits)
{
    QMutexLocker spoolLock(&g_spoolMutex);
    g_spoolLimits = limits;
    g_spool.setLimits(limits);
}

} // namespace PendingBatches
