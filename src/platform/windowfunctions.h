#pragma once

#include <QString>

// Top-level window handling outside our own process (the charting program's window).
namespace WindowFunctions {

// Finds a top-level window whose title is exactly `title` (no class name); when there is
// one, brings it to the foreground and shows it. Does nothing when none exists, and
// nothing at all on systems without the Windows window functions.
void raiseWindowTitled(const QString &title);

} // namespace WindowFunctions
