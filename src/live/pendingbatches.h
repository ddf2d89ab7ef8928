#pragma once

#include "live/livespool.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QtGlobal>

// Batches recorded by the feed thread and not yet accepted by the charting program, oldest
// first. The recorder appends every stored batch; a live import cycle looks at the oldest
// of them and removes them only once the import went through, so a cycle that cannot
// import (the import file cannot be written, the charting program refuses the file or is
// busy) leaves them for the next one, in order.
//
// Process-wide: the kept batches outlive a Restart's pass of the process loop, and the
// next pass's cycle imports them.
//
// Memory holds at most kDefaultLimitBytes. Beyond that, batches go to the disk spool under
// the installation root (LiveSpool), and once anything is spooled every later batch goes
// there too until it is read back, so the order is kept. A spool left by a killed run is
// taken up by recover() and comes first. Only when the spool cannot take a batch (its size
// cap, the free space it must leave, an unusable folder) are batches dropped, the oldest
// first, with one debug line and batchesDropped().
namespace PendingBatches {

constexpr qint64 kDefaultLimitBytes = 64 * 1024 * 1024;

struct Snapshot
{
    QList<QByteArray> batches; // oldest first
    quint64 lastId = 0;        // memory batches: pass to acknowledge() once imported
    bool fromSpool = false;    // read back from the spool (then spoolRead says where)
    LiveSpool::Read spoolRead;
    qint64 bytes = 0;
};

// Says when kept batches were dropped. Emitted in the thread that appended.
class Notifier : public QObject
{
    Q_OBJECT
signals:
    void batchesDropped(int ticks);
};
Notifier *notifier();

void append(const QByteArray &batch);

// Everything pending, left in place (memory and spool).
Snapshot peek();
// The oldest pending batches, together at most maxBytes (at least one). Memory batches come
// before the spool's, never mixed in one snapshot.
Snapshot peek(qint64 maxBytes);
// Removes the memory batches up to and including lastId (later appends stay).
void acknowledge(quint64 lastId);
// Removes what the snapshot holds.
void acknowledge(const Snapshot &snapshot);

// Takes up the spool under the current installation root (one left by an earlier run
// included). Called when a pass starts; appends do it too when needed.
void recover();

// Moves the batches held in memory to the front of the spool, so that what the charting
// program has not taken yet is imported at the next start instead of lost with the
// process. Called when a pass ends.
void persist();

// Removes and returns everything pending.
QList<QByteArray> takeAll();
// Empties memory and spool, and forgets the spool's folder (the next use opens the one
// under the installation root of that moment).
void clear();
int count();
qint64 totalBytes();
qint64 memoryBytes();
qint64 spoolBytes();         // unread bytes in the spool
qint64 spoolBytesWritten();  // written to the spool since the process started

// Test seam: the memory bound (kDefaultLimitBytes in the product); 0 or less restores it.
void setLimitBytes(qint64 limit);
qint64 limitBytes();
// Test seam: the spool's bounds; a default-constructed Limits restores the product's.
void setSpoolLimits(const LiveSpool::Limits &limits);

} // namespace PendingBatches
