#pragma once

#include <QByteArray>

// The process-wide latest batch buffer: the bytes of the newest non-empty tick batch,
// guarded by one mutex. The lock is held only to copy, assign or clear.
namespace LatestBatch {
void set(const QByteArray &batch);
void clear();
QByteArray copy();
}
