#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// The end-of-day import: the files unpacked into the backfill folder (one SYMBOL.txt per
// symbol of a segment) go to the charting program with the end-of-day format, either all
// of them or only those of the watchlist's symbols; the folder is emptied afterwards. A
// file the charting program refuses is kept beside the backfill error log and logged,
// instead of going with the folder.
namespace EodImport {

// Entry names of the backfill folder (hidden ones excluded), sorted ignoring letter case.
QStringList folderEntries();

// The names to import, in order: all of them, or, watchlist-only, those whose name with
// every ".txt" removed is a watchlist symbol (exact case).
QStringList selectFiles(const QStringList &entries, bool watchlistOnly,
                        const QStringList &watchlist);

// Imports the selected files (importFile returns false for a null result), then empties
// the backfill folder.
void run(bool watchlistOnly, const QStringList &watchlist,
         const std::function<bool(const QString &path)> &importFile);

} // namespace EodImport
