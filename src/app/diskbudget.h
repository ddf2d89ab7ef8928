#pragma once

#include <QString>
#include <QtGlobal>

// The one rule for how much of a disk a job may fill: downloads, unpacking and the live
// spool all ask here. A job may use at most half of the free space above a floor kept for
// the system and the charting program, and never more than its own cap. Half, so that two
// jobs at once (a backfill while the spool grows) still leave the floor; the floor, so a
// nearly full disk stops a job before it stops the machine.
namespace DiskBudget {

constexpr qint64 kMB = 1024 * 1024;
constexpr qint64 kFloorBytes = 100 * kMB;
// One download body, one archive's unpacked contents, one update package.
constexpr qint64 kJobCapBytes = qint64(2) * 1024 * kMB;
// The live spool in all.
constexpr qint64 kSpoolCapBytes = qint64(2) * 1024 * kMB;

struct Room
{
    bool known = false;   // the free space of the folder's disk could be read
    qint64 freeBytes = 0; // free for this process on that disk
    qint64 usable = 0;    // what the job may use: min(cap, (free - floor) / 2), at least 0
    QString volume;       // how the user names that disk ("D:", "/mnt/data")
};

// The budget for `freeBytes` free and a cap (no disk is asked).
qint64 usableOf(qint64 freeBytes, qint64 capBytes);

// The budget of a job writing below `folder` (the nearest existing parent is asked). When
// the free space cannot be read the job gets nothing: an unknown disk is not filled.
Room roomFor(const QString &folder, qint64 capBytes);

// Whether `neededBytes` fits the room.
inline bool fits(qint64 neededBytes, const Room &room) { return room.known && neededBytes <= room.usable; }

// The text for a job refused for space, with the figures in MB and what to do, e.g.
// "needs 40 MB; 12 MB may be used: free space on D: is 124 MB; free 55 MB more on D:".
QString refusal(qint64 neededBytes, const Room &room, qint64 capBytes);
// The same for a job whose size is not known (a body without length, an archive that
// unpacks to more than it said) once it has passed the room.
QString refusalPassed(const Room &room, qint64 capBytes);

// Bytes as whole MB, rounded up for what is needed and down for what is there.
qint64 mbUp(qint64 bytes);
qint64 mbDown(qint64 bytes);

// Test seam: pretend every disk has this much free (negative: the disk's own figure).
void setFreeBytesForTests(qint64 bytes);

} // namespace DiskBudget
