#include "platform/updatelauncher.h"

#include "platform/installpaths.h"
#include "platform/systemprograms.h"

#include <QDebug>
#include <QDir>

namespace UpdateLauncher {

bool startDetached(const QString &launcherPath)
{
    const QString native = QDir::toNativeSeparators(launcherPath);
    qint64 pid = 0;
    bool started = false;
    if (launcherPath == InstallPaths::updateLauncher()) {
        // A batch file runs inside the command interpreter: the system's own, never a
        // cmd.exe that lies in the installation folder.
        const QString cmd = SystemPrograms::path(QStringLiteral("cmd.exe"));
        started = !cmd.isEmpty() && startInRoot(cmd, {QStringLiteral("/c"), native}, &pid);
    } else {
        started = startInRoot(native, {}, &pid);
    }
    qDebug() << "UpdateLauncher:" << native << (started ? "started, pid" : "failed to start") << pid;
    return started;
}

} // namespace UpdateLauncher
