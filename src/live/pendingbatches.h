#pragma once

#include <QByteArray>
#include <QList>

// Batches recorded by the feed thread and not yet imported, oldest first. The recorder
// appends every stored batch; each live import cycle takes all of them at once, so every
// accepted batch reaches the charting program exactly once and in order, however the
// queued cycles happen to be scheduled.
namespace PendingBatches {
void append(const QByteArray &batch);
QList<QByteArray> takeAll();
void clear();
int count();
}
