#include "live/pendingbatches.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex g_mutex;
QList<QByteArray> g_pending;
}

namespace PendingBatches {

void append(const QByteArray &batch)
{
    QMutexLocker lock(&g_mutex);
    g_pending.append(batch);
}

QList<QByteArray> takeAll()
{
    QMutexLocker lock(&g_mutex);
    QList<QByteArray> out;
    out.swap(g_pending);
    return out;
}

void clear()
{
    QMutexLocker lock(&g_mutex);
    g_pending.clear();
}

int count()
{
    QMutexLocker lock(&g_mutex);
    return g_pending.size();
}

} // namespace PendingBatches
