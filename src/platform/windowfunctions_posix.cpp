#include "platform/windowfunctions.h"

#include <QDebug>

namespace WindowFunctions {

void raiseWindowTitled(const QString &title)
{
    // The broker stand-in has no window of its own to raise.
    qDebug() << "Raising the window titled" << title << "is not available on this system";
}

} // namespace WindowFunctions
