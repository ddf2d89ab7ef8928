#pragma once

#include <QtGlobal>

// Ending the charting program together with its child processes.
namespace BrokerProcess {

// Starts the end and returns at once. The end runs in a detached process, so that it
// outlives the window and this process: the close sequence ends the event loop right
// after this call, and a process owned by the window would be killed with it.
//
// On Windows this is "taskkill /F /IM Broker.exe /T". Elsewhere the charting program is
// the broker stand-in inside our own process, which ends when this process does; the
// detached process waits for that (for at most a minute) and then writes the line
// "EndBroker" to "broker-process.log" in the charting program's database folder, so an
// end-to-end run of the real binary sees the end happen after the program has gone.
// Returns the detached process's ID, 0 when it could not be started.
qint64 endBroker();

} // namespace BrokerProcess
