#include "platform/updatelauncher.h"

#include "platform/installpaths.h"

#include <QDebug>
#include <QFile>

namespace UpdateLauncher {

bool startDetached(const QString &launcherPath)
{
    qint64 pid = 0;
    bool started = false;
    if (launcherPath == InstallPaths::updateLauncher()) {
        // The archiver may drop the execute bit; the shell runs the script either way,
        // as Windows runs the .bat through its command interpreter.
        started = startInRoot(QStringLiteral("/bin/sh"), {launcherPath}, &pid);
    } else {
        QFile::setPermissions(launcherPath, QFile::permissions(launcherPath) | QFile::ExeOwner
                                                | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther);
        started = startInRoot(launcherPath, {}, &pid);
    }
    qDebug() << "UpdateLauncher:" << launcherPath << (started ? "started, pid" : "failed to start") << pid;
    return started;
}

} // namespace UpdateLauncher
