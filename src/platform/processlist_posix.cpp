#include "platform/processlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace ProcessList {

// Image name of one process: the executable's file name when the link can be read (our
// own processes), else the kernel's short command name.
static QString imageNameOf(const QString &pidDir)
{
    QString target = QFile::symLinkTarget(pidDir + QStringLiteral("/exe"));
    if (!target.isEmpty()) {
        static const QString deleted = QStringLiteral(" (deleted)");
        if (target.endsWith(deleted))
            target.chop(deleted.size());
        return QFileInfo(target).fileName();
    }
    QFile comm(pidDir + QStringLiteral("/comm"));
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromLocal8Bit(comm.readAll()).trimmed();
    return QString();
}

QByteArray snapshot()
{
    // Laid out like tasklist: a header, then "<image name> <pid>" per process.
    QByteArray listing("Image Name PID\n");
    const QDir proc(QStringLiteral("/proc"));
    const QStringList entries = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QString name = imageNameOf(proc.filePath(entry));
        if (name.isEmpty())
            continue; // the process ended while we looked
        listing += name.toLocal8Bit() + ' ' + entry.toLatin1() + '\n';
    }
    return listing;
}

} // namespace ProcessList
