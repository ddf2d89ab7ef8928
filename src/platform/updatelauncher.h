#pragma once

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

// Launchers left by an earlier update must not stand in for the one this package lacks.
void removeStale();

// Starts the first launcher present (a plain file, not a link). Returns its path, or an
// empty string with *error set when none is there or it could not be started.
QString startFirstPresent(QString *error);

// Starts one launcher detached in the installation root (platform part).
bool startDetached(const QString &launcherPath);

} // namespace UpdateLauncher
