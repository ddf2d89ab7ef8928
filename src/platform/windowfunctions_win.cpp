#include "platform/windowfunctions.h"

#include <QDebug>

#include <qt_windows.h>

namespace WindowFunctions {

void raiseWindowTitled(const QString &title)
{
    const std::wstring wide = title.toStdWString();
    HWND window = FindWindowW(nullptr, wide.c_str());
    if (!window) {
        qDebug() << "No window titled" << title;
        return;
    }
    // A minimised window stays an icon under SW_SHOW; SW_RESTORE brings it back first.
    ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window);
}

} // namespace WindowFunctions
