#include "backfill/eodimport.h"

#include "backfill/backfillimport.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace EodImport {

QStringList folderEntries()
{
    return QDir(InstallPaths::backfillDir())
        .entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
}

QStringList selectFiles(const QStringList &entries, bool watchlistOnly,
                        const QStringList &watchlist)
{
    if (!watchlistOnly)
        return entries;
    QStringList selected;
    for (const QString &name : entries) {
        QString symbol = name;
        symbol.remove(QStringLiteral(".txt"), Qt::CaseSensitive);
        if (watchlist.contains(symbol, Qt::CaseSensitive))
            selected.append(name);
    }
    return selected;
}

void run(bool watchlistOnly, const QStringList &watchlist,
         const std::function<bool(const QString &path)> &importFile)
{
    QFile log;
    const QStringList names = selectFiles(folderEntries(), watchlistOnly, watchlist);
    for (const QString &name : names) {
        const QString path = InstallPaths::join(InstallPaths::backfillDirNative(), name);
        if (QFileInfo(path).isDir()) {
            qDebug() << "End-of-day import: skipping the folder" << path;
            continue;
        }
        if (importFile(path))
            continue;
        if (!log.isOpen()) {
            QDir().mkpath(InstallPaths::backfillWorkDir());
            log.setFileName(InstallPaths::backfillErrorLog());
            log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
        }
        BackfillImport::logLine(&log, QStringLiteral(" - failed to import "),
                                BackfillImport::keepFailed(path, name, 0));
    }
    QDir folder(InstallPaths::backfillDir());
    folder.removeRecursively();
    QDir().mkpath(InstallPaths::backfillDir());
}

} // namespace EodImport
