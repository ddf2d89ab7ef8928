#include "platform/archiver.h"

namespace Archiver {

// "7za.exe" is delivered beside the program; a bare name makes CreateProcess look in the
// program's folder first and then on the search path.
Invocation archiverCall(const QString &archivePath, const QString &destination)
{
    return {QStringLiteral("7za.exe"),
            {QStringLiteral("x"), archivePath, QStringLiteral("-o%1").arg(destination),
             QStringLiteral("-y")}};
}

Invocation fallbackCall(const QString &archivePath, const QString &destination)
{
    return {QStringLiteral("powershell"),
            {QStringLiteral("-NoProfile"), QStringLiteral("-Command"),
             expandArchiveCommand(archivePath, destination)}};
}

bool fallbackSucceeded(int exitCode, bool archiveHasEscapingEntries)
{
    Q_UNUSED(archiveHasEscapingEntries)
    return exitCode == 0;
}

} // namespace Archiver
