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

// "7za.exe" x <archive> -o<destination> -y   (bare program name, found by the system)
Invocation archiverCall(const QString &archivePath, const QString &destination);

// Windows: powershell -NoProfile -Command <expandArchiveCommand(...)>
// Elsewhere: unzip -o <archive> -d <destination>
Invocation fallbackCall(const QString &archivePath, const QString &destination);

// Whether the fallback's exit code means the archive was unpacked. unzip says 1 ("warning")
// when it kept entries that named a path outside the destination inside it; with such
// entries present that is its success. Expand-Archive refuses those archives outright.
bool fallbackSucceeded(int exitCode, bool archiveHasEscapingEntries);

// The PowerShell command text with every single quote of both values doubled, both
// inserted in one step (a first value containing "%2" is not touched again).
QString expandArchiveCommand(const QString &archivePath, const QString &destination);

} // namespace Archiver
