#include "live/pendingbatches.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>

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

} // namespace

namespace PendingBatches {

void append(const QByteArray &batch)
{
    qint64 droppedBatches = 0;
    qint64 droppedTicks = 0;
    {
        QMutexLocker lock(&g_mutex);
        g_pending.append(Entry{g_nextId++, batch});
        g_bytes += batch.size();
        // The newest batch is always kept, even alone above the bound.
        while (g_bytes > g_limit && g_pending.size() > 1) {
            const Entry oldest = g_pending.takeFirst();
            g_bytes -= oldest.bytes.size();
            ++droppedBatches;
            droppedTicks += oldest.bytes.count('\n');
        }
    }
    if (droppedBatches > 0) {
        qDebug().noquote() << QStringLiteral(
                                  "Live import: %1 tick(s) in %2 oldest batch(es) dropped; "
                                  "more than %3 bytes were waiting for the charting program")
                                  .arg(droppedTicks)
                                  .arg(droppedBatches)
                                  .arg(limitBytes());
    }
}

Snapshot peek()
{
    QMutexLocker lock(&g_mutex);
    Snapshot s;
    s.batches.reserve(g_pending.size());
    for (const Entry &e : qAsConst(g_pending))
        s.batches.append(e.bytes);
    if (!g_pending.isEmpty())
        s.lastId = g_pending.last().id;
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

QList<QByteArray> takeAll()
{
    QMutexLocker lock(&g_mutex);
    QList<QByteArray> out;
    out.reserve(g_pending.size());
    for (const Entry &e : qAsConst(g_pending))
        out.append(e.bytes);
    g_pending.clear();
    g_bytes = 0;
    return out;
}

void clear()
{
    QMutexLocker lock(&g_mutex);
    g_pending.clear();
    g_bytes = 0;
}

int count()
{
    QMutexLocker lock(&g_mutex);
    return g_pending.size();
}

qint64 totalBytes()
{
    QMutexLocker lock(&g_mutex);
    return g_bytes;
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

} // namespace PendingBatches
