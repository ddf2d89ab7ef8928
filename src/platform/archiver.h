#pragma once

#include <QString>
#include <QStringList>

// The external programs that unpack a ZIP archive. The archiver proper is 7-Zip's
// stand-alone "7za" ("7za.exe" on Windows, delivered beside the program); the fallback is
// PowerShell's Expand-Archive on Windows and Info-ZIP's unzip elsewhere. For both, exit
// code 0 means the archive was unpacked; anything else is a failure.
namespace Archiver {

struct Invocation
{
    QString program;
    QStringList arguments;
};

// "7za.exe" x <archive> -o<destination> -y -p-   (bare program name, found by the system;
// "-p-" is a wrong password, so a protected entry fails instead of asking for one)
Invocation archiverCall(const QString &archivePath, const QString &destination);

// Windows: <System32>\WindowsPowerShell\v1.0\powershell.exe -NoProfile -NonInteractive
//          -ExecutionPolicy Bypass -Command <expandArchiveCommand(...)>
// Elsewhere: unzip -o -qq -P no-password <archive> -d <destination>   (never asks: a wrong
//            password)
Invocation fallbackCall(const QString &archivePath, const QString &destination);

// Whether the fallback's exit code means the archive was unpacked. unzip says 1 ("warning")
// when it kept entries that named a path outside the destination inside it; with such
// entries present that is its success. Expand-Archive refuses those archives outright.
bool fallbackSucceeded(int exitCode, bool archiveHasEscapingEntries);

// The PowerShell command text with every single quote of both values doubled, both
// inserted in one step (a first value containing "%2" is not touched again).
QString expandArchiveCommand(const QString &archivePath, const QString &destination);

} // namespace Archiver
