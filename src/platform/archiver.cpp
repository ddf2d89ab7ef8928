#include "platform/archiver.h"

namespace Archiver {

QString expandArchiveCommand(const QString &archivePath, const QString &destination)
{
    const QString quote = QStringLiteral("'");
    const QString doubled = QStringLiteral("''");
    QString archive = archivePath;
    QString dest = destination;
    archive.replace(quote, doubled);
    dest.replace(quote, doubled);
    // Multi-argument arg() fills both markers in one pass.
    return QStringLiteral("try { Expand-Archive -Force -LiteralPath '%1' -DestinationPath '%2' "
                          "-ErrorAction Stop } catch { exit 1 }")
        .arg(archive, dest);
}

} // namespace Archiver
