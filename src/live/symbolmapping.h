#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// The user's rename table: server symbol (old name) -> name used in AmiBroker (new name).
using SymbolMap = QHash<QString, QString>;

// Reading side of the stored mapping list ("SymbolMapping/entries"). The dialog that
// edits the list lives in ui/; everything that only needs the table uses this.
namespace SymbolMapping {

// Builds the old -> new table from stored entries. An entry counts when, after trimming,
// it splits at "," into at least two parts whose first two parts are non-empty once
// trimmed; further parts are ignored. An entry whose names hold a control character (a
// line break would split an import line) never counts, here or in the reverse look-ups.
// A later entry with the same old name wins.
SymbolMap parse(const QStringList &entries);

// The stored entries, read afresh from a short-lived settings store (absent key = empty).
QStringList storedEntries();

// Splits one stored entry: trimmed, then cut at each "," (empty parts kept); old = part 0
// and new = part 1, both trimmed (new is empty without a part 1; parts after 1 are
// ignored). Returns the number of parts, 0 for a blank entry.
int splitEntry(const QString &entry, QString *oldName, QString *newName);

// The stored form of one pair: both names trimmed and every comma turned into a blank,
// so that an entry never holds a second comma.
QString makeEntry(const QString &oldName, const QString &newName);

// Replaces the stored list as a whole and flushes the store; false when the store could
// not be written.
bool storeEntries(const QStringList &entries);

// parse(storedEntries()): the table as stored right now. Read on every use so an edit
// takes effect at the next import without a restart.
SymbolMap load();

// Reverse look-up over entries in stored order: the old name of the first entry whose
// new name equals newName exactly and whose old name is non-empty. An entry with an empty
// new name never matches. Returns newName itself when it is empty or nothing maps to it.
QString reverse(const QStringList &entries, const QString &newName);

// reverse(storedEntries(), newName).
QString reverseLookup(const QString &newName);

// Entries that would put two followed symbols into one series in the charting program:
// the old name is followed, and another followed symbol is the new name itself or is
// renamed to it. One description per such entry ("OLD -> NEW (OTHER also in the
// watchlist)"), in entry order; empty when nothing merges.
QStringList mergingEntries(const QStringList &entries, const QStringList &followed);

} // namespace SymbolMapping
