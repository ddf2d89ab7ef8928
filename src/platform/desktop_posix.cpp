#include "platform/desktop.h"

#include <QProcess>

namespace Desktop {

// The core library has no GUI module here, so the desktop's handler is reached through
// xdg-open, which is what QDesktopServices does on these systems as well.
bool openWithSystem(const QUrl &url)
{
    return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

} // namespace Desktop
