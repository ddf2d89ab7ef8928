#pragma once

#include <functional>

// Every immediate process end of the start-up checks goes through here, so tests can
// observe it instead of losing the test process. Without a hook it is the C library exit.
namespace ProcessExit {

// The event loop's exit code that asks the process loop for a new pass (Restart).
constexpr int kRestartCode = 4444;

using Hook = std::function<void(int status)>;

// Ends the process at once with the status (or calls the installed hook and returns).
void endNow(int status);

// Test seam: replaces the exit; pass an empty hook to restore the real exit.
void setHook(Hook hook);

} // namespace ProcessExit
