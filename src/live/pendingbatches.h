#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// Batches recorded by the feed thread and not yet accepted by the charting program, oldest
// first. The recorder appends every stored batch; a live import cycle looks at all of them
// and removes them only once the import went through, so a cycle that cannot import (the
// import file cannot be written, the charting program refuses the file) leaves them for
// the next one, in order.
//
// What is kept is bounded by total bytes (kDefaultLimitBytes): a charting program that
// stays unusable must not make the process grow without end. Past the bound the OLDEST
// batches go first, with one debug line saying how many ticks were dropped.
namespace PendingBatches {

constexpr qint64 kDefaultLimitBytes = 64 * 1024 * 1024;

struct Snapshot
{
    QList<QByteArray> batches; // oldest first
    quint64 lastId = 0;        // pass to acknowledge() once these are imported
};

void append(const QByteArray &batch);

// Everything pending, left in place.
Snapshot peek();
// Removes the batches up to and including lastId (later appends stay).
void acknowledge(quint64 lastId);

// Removes and returns everything pending.
QList<QByteArray> takeAll();
void clear();
int count();
qint64 totalBytes();

// Test seam: the byte bound (kDefaultLimitBytes in the product); 0 or less restores it.
void setLimitBytes(qint64 limit);
qint64 limitBytes();

} // namespace PendingBatches
