#include "live/pendingbatches.h"

#include "platform/installpaths.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>

#include <limits>

namespace {

struct Entry
{
    quint64 id;
    QByteArray bytes;
};

QMutex g_mutex;
QList<Entry> g_pending;
quint64 g_nextId = 1;
qint64 g_bytes = 0;
qint64 g_limit = PendingBatches::kDefaultLimitBytes;
LiveSpool g_spool;
LiveSpool::Limits g_spoolLimits;
qint64 g_spoolWrittenBefore = 0; // by spools closed since

// A spool folder that cannot be made is tried again after this long, not for every batch.
constexpr qint64 kSpoolRetryMs = 10000;
QElapsedTimer g_lastFailedOpen;

// Under g_mutex.
void openSpoolLocked()
{
    const QString folder = InstallPaths::liveSpoolDir();
    if (g_spool.isOpen() && g_spool.folder() == folder)
        return;
    if (!g_spool.isOpen() && g_spool.folder() == folder && g_lastFailedOpen.isValid()
        && g_lastFailedOpen.elapsed() < kSpoolRetryMs)
        return;
    g_spoolWrittenBefore += g_spool.bytesWritten();
    g_spool.open(folder);
    g_spool.setLimits(g_spoolLimits);
    if (g_spool.isOpen())
        g_lastFailedOpen.invalidate();
    else
        g_lastFailedOpen.start();
}

void reportDropped(qint64 batches, qint64 ticks, const QString &why)
{
    if (batches <= 0)
        return;
    qDebug().noquote() << QStringLiteral("Live import: %1 tick(s) in %2 oldest batch(es) dropped; %3")
                              .arg(ticks)
                              .arg(batches)
                              .arg(why);
    emit PendingBatches::notifier()->batchesDropped(
        int(qMin<qint64>(ticks, std::numeric_limits<int>::max())));
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
    qint64 spoolDroppedBatches = 0, spoolDroppedTicks = 0;
    qint64 memoryDroppedBatches = 0, memoryDroppedTicks = 0;
    {
        QMutexLocker lock(&g_mutex);
        if (!g_spool.isOpen())
            openSpoolLocked();
        // Once something is spooled, everything after it is too: the order is kept.
        const bool toSpool = !g_spool.isEmpty() || g_bytes + batch.size() > g_limit;
        if (!toSpool
            || !g_spool.append(batch, &spoolDroppedBatches, &spoolDroppedTicks)) {
            // In memory; past the bound (the spool refused) the oldest go, and the newest
            // batch is always kept, even alone above the bound.
            g_pending.append(Entry{g_nextId++, batch});
            g_bytes += batch.size();
            while (g_bytes > g_limit && g_pending.size() > 1) {
                const Entry oldest = g_pending.takeFirst();
                g_bytes -= oldest.bytes.size();
                ++memoryDroppedBatches;
                memoryDroppedTicks += oldest.bytes.count('\n');
            }
        }
    }
    reportDropped(spoolDroppedBatches, spoolDroppedTicks,
                  QStringLiteral("the spool of batches waiting for the charting program is at its "
                                 "size cap or at the free space it must leave"));
    reportDropped(memoryDroppedBatches, memoryDroppedTicks,
                  QStringLiteral("more than %1 bytes were waiting for the charting program and "
                                 "the spool could not take more")
                      .arg(limitBytes()));
}

Snapshot peek() { return peek(std::numeric_limits<qint64>::max()); }

Snapshot peek(qint64 maxBytes)
{
    QMutexLocker lock(&g_mutex);
    Snapshot s;
    if (!g_pending.isEmpty()) {
        for (const Entry &e : qAsConst(g_pending)) {
            if (!s.batches.isEmpty() && s.bytes + e.bytes.size() > maxBytes)
                break;
            s.batches.append(e.bytes);
            s.bytes += e.bytes.size();
            s.lastId = e.id;
        }
        return s;
    }
    if (!g_spool.isOpen())
        openSpoolLocked();
    s.spoolRead = g_spool.peek(maxBytes);
    s.fromSpool = !s.spoolRead.batches.isEmpty();
    s.batches = s.spoolRead.batches;
    s.bytes = s.spoolRead.bytes;
    return s;
}

void acknowledge(quint64 lastId)
{
    QMutexLocker lock(&g_mutex);
    while (!g_pending.isEmpty() && g_pending.first().id <= lastId) {
        g_bytes -= g_pending.first().bytes.size();
        g_pending.removeFirst();
    }
}

void acknowledge(const Snapshot &snapshot)
{
    if (!snapshot.fromSpool) {
        acknowledge(snapshot.lastId);
        return;
    }
    QMutexLocker lock(&g_mutex);
    g_spool.acknowledge(snapshot.spoolRead);
}

void recover()
{
    QMutexLocker lock(&g_mutex);
    openSpoolLocked();
}

void persist()
{
    int batches = 0;
    qint64 bytes = 0;
    bool kept = false;
    {
        QMutexLocker lock(&g_mutex);
        if (g_pending.isEmpty())
            return;
        openSpoolLocked();
        QList<QByteArray> memory;
        memory.reserve(g_pending.size());
        for (const Entry &e : qAsConst(g_pending))
            memory.append(e.bytes);
        batches = memory.size();
        bytes = g_bytes;
        kept = g_spool.prepend(memory);
        if (kept) {
            g_pending.clear();
            g_bytes = 0;
        }
    }
    qDebug().noquote() << (kept ? QStringLiteral("Live import: %1 batch(es), %2 bytes not yet taken by the "
                                                 "charting program are kept in the spool for the next start")
                                : QStringLiteral("Live import: %1 batch(es), %2 bytes not yet taken by the "
                                                 "charting program could not be spooled; they stay in memory only"))
                              .arg(batches)
                              .arg(bytes);
}

QList<QByteArray> takeAll()
{
    QMutexLocker lock(&g_mutex);
    QList<QByteArray> out;
    out.reserve(g_pending.size());
    for (const Entry &e : qAsConst(g_pending))
        out.append(e.bytes);
    g_pending.clear();
    g_bytes = 0;
    if (g_spool.isOpen()) {
        for (;;) {
            const LiveSpool::Read r = g_spool.peek(std::numeric_limits<qint64>::max());
            if (r.batches.isEmpty())
                break;
            out += r.batches;
            g_spool.acknowledge(r);
        }
    }
    return out;
}

void clear()
{
    QMutexLocker lock(&g_mutex);
    g_pending.clear();
    g_bytes = 0;
    g_spool.clear();
    g_spoolWrittenBefore += g_spool.bytesWritten();
    g_spool.close();
    g_lastFailedOpen.invalidate();
}

int count()
{
    QMutexLocker lock(&g_mutex);
    return g_pending.size() + g_spool.count();
}

qint64 totalBytes()
{
    QMutexLocker lock(&g_mutex);
    return g_bytes + g_spool.unreadBytes();
}

qint64 memoryBytes()
{
    QMutexLocker lock(&g_mutex);
    return g_bytes;
}

qint64 spoolBytes()
{
    QMutexLocker lock(&g_mutex);
    return g_spool.unreadBytes();
}

qint64 spoolBytesWritten()
{
    QMutexLocker lock(&g_mutex);
    return g_spoolWrittenBefore + g_spool.bytesWritten();
}

void setLimitBytes(qint64 limit)
{
    QMutexLocker lock(&g_mutex);
    g_limit = limit > 0 ? limit : kDefaultLimitBytes;
}

qint64 limitBytes()
{
    QMutexLocker lock(&g_mutex);
    return g_limit;
}

void setSpoolLimits(const LiveSpool::Limits &limits)
{
    QMutexLocker lock(&g_mutex);
    g_spoolLimits = limits;
    g_spool.setLimits(limits);
}

} // namespace PendingBatches
