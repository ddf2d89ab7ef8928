#pragma once

#include <QString>

// One running copy of the program per machine, without a race: a named mutex on Windows
// ("Global\Vantrel.SingleInstance"), elsewhere an flock() on the lock file under the
// installation root, held through a descriptor kept open for the life of the process.
// Both are released by the kernel when the process dies, however it dies, so nothing a
// killed copy leaves behind can stop the next start: the lock file's content (process ID,
// host) is written for people only and never read back. Unlike counting copies in a
// process list, a copy that is still ending cannot make the next one quit, and of two
// copies started at once exactly one runs. A lock that cannot be had at all (a folder, a
// link or a FIFO at the lock path, a read-only root without the file) refuses the start
// with its reason: the program never runs without the lock.
//
// An update's launcher passes the old copy's process ID (environment variable
// VANTREL_HANDOVER_PID); the new copy first waits for that process to end.
namespace SingleInstance {

constexpr int kWaitMs = 10000;
// kWaitMs, or what a test set with setWaitForTests().
int defaultWaitMs();

enum class Claim {
    Held,     // this process holds it
    Taken,    // another copy still held it when the wait ended
    Unusable, // it cannot be had at all; problem() says why
};

// Takes the claim for this process, waiting up to waitMs for a copy that is ending. Once
// held it is kept until the process ends (later passes of the restart loop get Held at
// once).
Claim claim(int waitMs = defaultWaitMs());

// Why the last claim was Unusable: the lock's path (or name) and the reason, for the user.
QString problem();

// Gives the claim up (tests; a process that holds it keeps it otherwise).
void release();
// Tests shorten the wait of claim() without argument; 0 restores kWaitMs.
void setWaitForTests(int ms);

// Name of the hand-over variable.
inline QString handOverVariable() { return QStringLiteral("VANTREL_HANDOVER_PID"); }

// The process ID handed over, once (the variable is cleared), or 0 when none or not a
// usable ID.
qint64 takeHandOverPid();

// Platform parts.
// Waits until the process with this ID has ended; false when it still runs after waitMs.
bool waitForProcessEnd(qint64 pid, int waitMs);
// The lock or mutex itself; see claim(). Fills *problem when it returns Unusable.
Claim acquire(int waitMs, QString *problem);
void releaseLock();

} // namespace SingleInstance
