#pragma once

class QObject;

// Ending the charting program together with its child processes.
namespace BrokerProcess {

// Starts the end and returns at once. On Windows this is "taskkill /F /IM Broker.exe /T"
// as a child process of `parent` that deletes itself when it finishes. Elsewhere the
// broker stand-in lives inside our own process and there is nothing to kill: the request
// is written as the line "EndBroker" to "broker-process.log" in the charting program's
// database folder, so end-to-end runs can see that it was made.
void endBroker(QObject *parent);

} // namespace BrokerProcess
