#include "platform/desktop.h"

#include <QDesktopServices>

namespace Desktop {

bool openWithSystem(const QUrl &url) { return QDesktopServices::openUrl(url); }

} // namespace Desktop
