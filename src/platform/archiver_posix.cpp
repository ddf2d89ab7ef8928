#include "platform/archiver.h"

namespace Archiver {

Invocation archiverCall(const QString &archivePath, const QString &destination)
{
    return {QStringLiteral("7za"),
            {QStringLiteral("x"), archivePath, QStringLiteral("-o%1").arg(destination),
             QStringLiteral("-y"), QStringLiteral("-p-")}};
}

Invocation fallbackCall(const QString &archivePath, const QString &destination)
{
    return {QStringLiteral("unzip"),
            {QStringLiteral("-o"), QStringLiteral("-qq"), QStringLiteral("-P"), QStringLiteral("no-password"),
             archivePath, QStringLiteral("-d"), destination}};
}

bool fallbackSucceeded(int exitCode, bool archiveHasEscapingEntries)
{
    return exitCode == 0 || (exitCode == 1 && archiveHasEscapingEntries);
}

} // namespace Archiver
