#include "platform/systemprograms.h"

#include <qt_windows.h>

namespace SystemPrograms {

QString path(const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))
        || name.contains(QLatin1Char(':')) || name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    wchar_t dir[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return QString();
    return QString::fromWCharArray(dir, int(n)) + QLatin1Char('\\') + name;
}

} // namespace SystemPrograms
