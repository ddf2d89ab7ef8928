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
    SetForegroundWindow(window);
    ShowWindow(window, SW_SHOW);
}

} // namespace WindowFunctions
