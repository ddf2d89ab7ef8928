#pragma once

#include "backfill/backfillimport.h"
#include "live/symbolmapping.h"

#include <QString>
#include <QStringList>
#include <functional>

// The end-of-day import: the files unpacked into the backfill folder (one SYMBOL.txt per
// symbol of a segment) go to the charting program with the end-of-day format, either all
// of them or only those of the watchlist's symbols; the folder is emptied afterwards.
// The lines take the same road as intraday ones (BackfillImport): renamed through the
// symbol mapping, gathered into bounded chunks, refused chunks kept beside the error log.
namespace EodImport {

// Entry names of the backfill folder (hidden ones excluded), sorted ignoring letter case.
QStringList folderEntries();

// The names to import, in order: all of them, or, watchlist-only, those whose name with
// every ".txt" removed is a watchlist symbol (exact case), as it stands or under its
// mapped name (a watchlist holds the user's names, the archive the server's).
QStringList selectFiles(const QStringList &entries, bool watchlistOnly,
                        const QStringList &watchlist, const SymbolMap &map = SymbolMap());

// Imports the selected plain files through hooks (importChunk with the end-of-day format),
// then empties the backfill folder. A file whose bars could not be written is moved
// beside the error log first, so the emptying never takes bars no line speaks of.
void run(bool watchlistOnly, const QStringList &watchlist, const SymbolMap &map,
         BackfillImport::Hooks hooks);

// The same with the stored mapping and no pauses or event loop between files.
void run(bool watchlistOnly, const QStringList &watchlist,
         const std::function<bool(const QString &chunkPath)> &importChunk);

} // namespace EodImport
