#pragma once

#include <QString>
#include <QUrl>
#include <functional>

// Opening an address with the desktop's default handler (the browser).
// Tests and unattended runs never start a browser: when VANTREL_NO_BROWSER is set (to
// anything but "0") or the program runs on the offscreen platform, the request is only
// written to the debug output.
namespace Desktop {

// Returns true when the address was handed to the desktop (or to the hook).
bool openUrl(const QUrl &url);

// A link that comes from outside (the server record): opened only when it is a web page
// (http or https), never a file or a program the desktop would start. False otherwise.
bool openWebLink(const QString &link);

// True when openUrl only logs.
bool browserSuppressed();

// Test seam: receives every request instead of the desktop; an empty hook restores it.
using Hook = std::function<void(const QUrl &url)>;
void setHook(Hook hook);

// The system's own handler, one per system (desktop_win.cpp, desktop_posix.cpp); openUrl
// decides whether it is reached.
bool openWithSystem(const QUrl &url);

} // namespace Desktop
