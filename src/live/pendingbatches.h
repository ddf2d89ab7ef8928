#pragma once

#include "live/livespool.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QtGlobal>

// Batches recorded by the feed thread and not yet accepted by the charting program, oldest
// first. The recorder appends every stored batch; a live import cycle looks at the oldest
// of them and removes them only once the import went through, so a cycle that cannot
// import (the import file cannot be written, the charting program refuses the file or is
// busy) leaves them for the next one, in order.
//
// Written ahead: a batch still waiting kFlushDelayMs after it came (or once kGroupBytes
// wait) is appended to the disk spool under the installation root (LiveSpool) by a writer
// thread of its own, so a crash or a kill loses at most the last such group, never the
// backlog. Batches the charting program takes at once never touch the disk. Memory keeps
// copies of the newest spooled batches, up to kWindowBytes; older ones are read back from
// the spool. A spool left by an earlier run is taken up by recover() and comes first.
//
// When the spool cannot be used (its folder is a file, the disk is read-only or full)
// batches stay in memory up to kMemoryLimitBytes; past that the oldest are dropped, and the
// notifier says so (status line and gap repair).
//
// Process-wide: the kept batches outlive a Restart's pass of the process loop, and the
// next pass's cycle imports them.
namespace PendingBatches {

constexpr qint64 kMemoryLimitBytes = 64 * 1024 * 1024;
constexpr qint64 kWindowBytes = 4 * 1024 * 1024;
constexpr int kFlushDelayMs = 250;
constexpr qint64 kGroupBytes = 1024 * 1024;
// A spool folder that could not be opened is tried again after this long.
constexpr int kSpoolRetryMs = 10000;

struct Snapshot
{
    QList<QByteArray> batches; // oldest first
    quint64 lastId = 0;        // memory batches: the newest one's number
    bool fromSpool = false;    // read back from the spool (then spoolRead says where)
    LiveSpool::Read spoolRead;
    qint64 bytes = 0;
};

// Says when kept batches were dropped, and what the user should see about the spool.
// Emitted in the thread that appended or wrote.
class Notifier : public QObject
{
    Q_OBJECT
signals:
    void batchesDropped(int ticks);
    // A line for the main window's status line.
    void statusText(const QString &text);
};
Notifier *notifier();

void append(const QByteArray &batch);

// Everything pending, left in place (memory and spool).
Snapshot peek();
// The oldest pending batches, together at most maxBytes (at least one). Batches read back
// from the spool (fromSpool) come before any held only in memory, never mixed in one
// snapshot.
Snapshot peek(qint64 maxBytes);
// Removes what the snapshot holds.
void acknowledge(const Snapshot &snapshot);

// Takes up the spool under the current installation root (one left by an earlier run
// included). Called when a pass starts; writes do it too when needed.
void recover();

// Writes every batch not yet on the disk to the spool now (when a pass ends), so that what
// the charting program has not taken yet is imported at the next start.
void persist();

// Removes and returns everything pending.
QList<QByteArray> takeAll();
// Empties memory and spool, and forgets the spool's folder (the next use opens the one
// under the installation root of that moment).
void clear();
bool isEmpty();
int count();
qint64 totalBytes();         // pending payload bytes, memory and spool, each counted once
qint64 memoryBytes();        // held in memory (unwritten batches and copies of spooled ones)
qint64 unwrittenBytes();     // not on the disk yet
qint64 spoolBytes();         // unread payload bytes in the spool
qint64 spoolBytesWritten();  // written to the spool since the process started

// Test seams; 0 or less restores the product's value.
void setMemoryLimitBytes(qint64 limit);
void setFlushDelayMs(int ms);
void setSpoolLimits(const LiveSpool::Limits &limits); // a default-constructed one restores

} // namespace PendingBatches
