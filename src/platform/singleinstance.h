#pragma once

#include <QString>

// One running copy of the program per machine, without a race: a named mutex on Windows
// ("Global\Vantrel.SingleInstance"), a lock file under the installation root elsewhere
// (QLockFile, which a crashed copy does not keep). Unlike counting copies in a process
// list, a copy that is still ending cannot make the next one quit, and of two copies
// started at once exactly one runs.
//
// An update's launcher passes the old copy's process ID (environment variable
// VANTREL_HANDOVER_PID); the new copy first waits for that process to end.
namespace SingleInstance {

constexpr int kWaitMs = 10000;
// kWaitMs, or what a test set with setWaitForTests().
int defaultWaitMs();

// Takes the claim for this process, waiting up to waitMs for a copy that is ending. True
// when this process holds it; it is kept until the process ends (later passes of the
// restart loop get true at once). A claim that cannot even be attempted (no lock file can
// be made) lets the program start, as the old check did when the list could not be read.
bool claim(int waitMs = defaultWaitMs());

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
// The lock or mutex itself; see claim().
bool acquire(int waitMs);
void releaseLock();

} // namespace SingleInstance
