#include "platform/updatelauncher.h"

#include "platform/installpaths.h"

#include <QDebug>
#include <QFile>
#include <QProcess>

namespace UpdateLauncher {

bool startDetached(const QString &launcherPath)
{
    const QString root = InstallPaths::rootSlash();
    qint64 pid = 0;
    bool started = false;
    if (launcherPath == InstallPaths::updateLauncher()) {
        // The archiver may drop the execute bit; the shell runs the script either way,
        // as Windows runs the .bat through its command interpreter.
        started = QProcess::startDetached(QStringLiteral("/bin/sh"), {launcherPath}, root, &pid);
    } else {
        QFile::setPermissions(launcherPath, QFile::permissions(launcherPath) | QFile::ExeOwner
                                                | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther);
        started = QProcess::startDetached(launcherPath, {}, root, &pid);
    }
    qDebug() << "UpdateLauncher:" << launcherPath << (started ? "started, pid" : "failed to start") << pid;
    return started;
}

} // namespace UpdateLauncher
