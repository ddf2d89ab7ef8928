#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The hand-over to a freshly unpacked build. An update package brings a restart script or
// a new executable into the installation root: "Vantrel.bat" / "VantrelNew.exe" on
// Windows, "Vantrel.sh" / "VantrelNew" elsewhere. Whichever is there is started detached,
// with the root as working directory, so that it outlives this process.
namespace UpdateLauncher {

// Full paths of the launchers, preferred first.
QStringList candidates();

// The "Updater" warning text when the package brought neither launcher.
QString missingText();

// Starts the first launcher present (a plain file, not a link). Returns its path, or an
// empty string with *error set when none is there, it could not be started, or it is the
// new executable and its Authenticode signature does not name the required publisher.
QString startFirstPresent(QString *error);

// Starts one launcher detached in the installation root (platform part), with
// handOverEnvironment().
bool startDetached(const QString &launcherPath);

// This process's environment plus its process ID under SingleInstance::handOverVariable(),
// so the new build waits for this one to end before it takes the single-instance claim.
QProcessEnvironment handOverEnvironment();

// Starts program detached in the root with handOverEnvironment(); its ID in *pid.
bool startInRoot(const QString &program, const QStringList &arguments, qint64 *pid);

} // namespace UpdateLauncher
