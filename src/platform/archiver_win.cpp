#include "platform/archiver.h"

#include <QDir>

#include <windows.h>

namespace {

// The system's own PowerShell, never one that a folder on the search path or the current
// folder puts first.
QString systemPowerShell()
{
    wchar_t buffer[MAX_PATH];
    const UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
    QString system32;
    if (n > 0 && n < MAX_PATH) {
        system32 = QString::fromWCharArray(buffer, int(n));
    } else {
        QString root = qEnvironmentVariable("SystemRoot");
        if (root.isEmpty())
            root = QStringLiteral("C:\\Windows");
        system32 = root + QStringLiteral("\\System32");
    }
    return QDir::toNativeSeparators(system32 + QStringLiteral("\\WindowsPowerShell\\v1.0\\powershell.exe"));
}

} // namespace

namespace Archiver {

// "7za.exe" is delivered beside the program; a bare name makes CreateProcess look in the
// program's folder first and then on the search path. "-p-" answers a password question
// with a wrong password, so a protected entry fails instead of waiting for the keyboard.
Invocation archiverCall(const QString &archivePath, const QString &destination)
{
    return {QStringLiteral("7za.exe"),
            {QStringLiteral("x"), archivePath, QStringLiteral("-o%1").arg(destination),
             QStringLiteral("-y"), QStringLiteral("-p-")}};
}

Invocation fallbackCall(const QString &archivePath, const QString &destination)
{
    return {systemPowerShell(),
            {QStringLiteral("-NoProfile"), QStringLiteral("-NonInteractive"),
             QStringLiteral("-ExecutionPolicy"), QStringLiteral("Bypass"), QStringLiteral("-Command"),
             expandArchiveCommand(archivePath, destination)}};
}

bool fallbackSucceeded(int exitCode, bool archiveHasEscapingEntries)
{
    Q_UNUSED(archiveHasEscapingEntries)
    return exitCode == 0;
}

} // namespace Archiver
