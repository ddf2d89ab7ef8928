#include "platform/updatelauncher.h"

#include "platform/installpaths.h"

#include <QDebug>
#include <QDir>
#include <QProcess>

namespace UpdateLauncher {

bool startDetached(const QString &launcherPath)
{
    const QString root = InstallPaths::rootSlash();
    const QString native = QDir::toNativeSeparators(launcherPath);
    qint64 pid = 0;
    bool started = false;
    if (launcherPath == InstallPaths::updateLauncher()) {
        // A batch file runs inside the command interpreter.
        started = QProcess::startDetached(QStringLiteral("cmd.exe"), {QStringLiteral("/c"), native},
                                          root, &pid);
    } else {
        started = QProcess::startDetached(native, {}, root, &pid);
    }
    qDebug() << "UpdateLauncher:" << native << (started ? "started, pid" : "failed to start") << pid;
    return started;
}

} // namespace UpdateLauncher
