#include "backfill/eodimport.h"

#include "backfill/symbolrewriter.h"
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
                        const QStringList &watchlist, const SymbolMap &map)
{
    if (!watchlistOnly)
        return entries;
    QStringList selected;
    for (const QString &name : entries) {
        QString symbol = name;
        symbol.remove(QStringLiteral(".txt"), Qt::CaseSensitive);
        if (watchlist.contains(symbol, Qt::CaseSensitive)
            || (map.contains(symbol) && watchlist.contains(map.value(symbol), Qt::CaseSensitive)))
            selected.append(name);
    }
    return selected;
}

void run(bool watchlistOnly, const QStringList &watchlist, const SymbolMap &map,
         BackfillImport::Hooks hooks)
{
    QStringList files;
    for (const QString &name : selectFiles(folderEntries(), watchlistOnly, watchlist, map)) {
        if (QFileInfo(InstallPaths::join(InstallPaths::backfillDirNative(), name)).isFile())
            files.append(name);
        else
            qDebug() << "End-of-day import: skipping the folder" << name;
    }
    BackfillImport import(std::move(hooks));
    import.runFiles(files);

    const QStringList kept = import.keptSources();
    const bool stopped = import.wasStopped();
    if (!kept.isEmpty() || stopped) {
        BackfillErrorLog log;
        for (const QString &name : kept) {
            const QString path = InstallPaths::join(InstallPaths::backfillDirNative(), name);
            const QString keptAs = BackfillImport::keepFailed(path, name, 0);
            log.write(QStringLiteral(" - failed to import "),
                                    keptAs.isEmpty() ? path : keptAs);
        }
        if (stopped)
            log.write(QStringLiteral(" - end-of-day import stopped; %1 files not imported from ")
                                              .arg(BackfillImport::pendingFiles().size()),
                                    InstallPaths::backfillDirNative());
        BackfillImport::pruneKept(&log);
    }
    QDir folder(InstallPaths::backfillDir());
    folder.removeRecursively();
    QDir().mkpath(InstallPaths::backfillDir());
}

void run(bool watchlistOnly, const QStringList &watchlist,
         const std::function<bool(const QString &chunkPath)> &importChunk)
{
    const SymbolMap map = SymbolMapping::load();
    BackfillImport::Hooks hooks;
    hooks.makeRewriter = [map] { return std::make_unique<SymbolRewriter>(map); };
    hooks.importChunk = importChunk;
    hooks.pause = [](int) {};
    run(watchlistOnly, watchlist, map, std::move(hooks));
}

} // namespace EodImport
