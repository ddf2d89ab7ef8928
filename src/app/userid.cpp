#include "app/userid.h"

#include "platform/installpaths.h"

#include <QFile>
#include <QSysInfo>

namespace UserId {

QString current()
{
    QFile f(InstallPaths::userIdFile());
    if (f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        if (!line.isEmpty())
            return line;
    }
    return QString::fromLatin1(QSysInfo::machineUniqueId()).trimmed();
}

} // namespace UserId
