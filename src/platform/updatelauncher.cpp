#include "platform/updatelauncher.h"

#include "platform/executabletrust.h"
#include "platform/installpaths.h"
#include "platform/singleinstance.h"

#include <QCoreApplication>
#include <QProcess>

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace UpdateLauncher {

QStringList candidates()
{
    return {InstallPaths::updateLauncher(), InstallPaths::updatedExecutable()};
}

QString missingText()
{
    const QStringList names{QFileInfo(InstallPaths::updateLauncher()).fileName(),
                            QFileInfo(InstallPaths::updatedExecutable()).fileName()};
    return QStringLiteral("%1 and %2 not found in %3.").arg(names[0], names[1], InstallPaths::root());
}

QString startFirstPresent(QString *error)
{
    for (const QString &path : candidates()) {
        const QFileInfo fi(path);
        if (fi.isSymLink() || !fi.isFile())
            continue;
        QString why;
        if (path == InstallPaths::updatedExecutable()
            && !ExecutableTrust::mayRun(path, ExecutableTrust::requiredPublisher(), &why)) {
            qDebug().noquote() << "UpdateLauncher: refused:" << why;
            *error = why;
            return QString();
        }
        if (startDetached(path))
            return path;
        *error = QStringLiteral("%1 could not be started.").arg(QDir::toNativeSeparators(path));
        return QString();
    }
    *error = missingText();
    return QString();
}

QProcessEnvironment handOverEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(SingleInstance::handOverVariable(), QString::number(QCoreApplication::applicationPid()));
    return env;
}

bool startInRoot(const QString &program, const QStringList &arguments, qint64 *pid)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(InstallPaths::rootSlash());
    process.setProcessEnvironment(handOverEnvironment());
    return process.startDetached(pid);
}

} // namespace UpdateLauncher
