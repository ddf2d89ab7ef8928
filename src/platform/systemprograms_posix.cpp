#include "platform/systemprograms.h"

#include <QFileInfo>

namespace SystemPrograms {

QString path(const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".")
        || name == QLatin1String(".."))
        return QString();
    for (const char *dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
        const QFileInfo fi(QString::fromLatin1(dir) + QLatin1Char('/') + name);
        if (fi.isFile() && fi.isExecutable())
            return fi.filePath();
    }
    return QString();
}

} // namespace SystemPrograms
