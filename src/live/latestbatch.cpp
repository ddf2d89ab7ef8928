#include "live/latestbatch.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex g_mutex;
QByteArray g_batch;
}

namespace LatestBatch {

void set(const QByteArray &batch)
{
    QMutexLocker lock(&g_mutex);
    g_batch = batch;
}

void clear()
{
    QMutexLocker lock(&g_mutex);
    g_batch.clear();
}

QByteArray copy()
{
    QMutexLocker lock(&g_mutex);
    return g_batch;
}

} // namespace LatestBatch
