#pragma once

#include "app/processexit.h"

#include <functional>
#include <memory>

class QObject;

// The process entry's restart loop. Each pass builds a fresh application object with
// the product's attributes, identity and font, lets startPass build the pass's objects
// (the start-up controller), runs the event loop and tears everything down again.
// An event loop ending with kRestartCode starts a new pass; any other code ends the loop.
namespace ApplicationLoop {

constexpr int kRestartCode = ProcessExit::kRestartCode;

using StartPass = std::function<std::unique_ptr<QObject>()>;

// Returns 0 when the loop ends, whatever the last exit code was.
int run(int &argc, char **argv, const StartPass &startPass);

} // namespace ApplicationLoop
