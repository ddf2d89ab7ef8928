#pragma once

#include "live/symbolmapping.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <array>
#include <vector>

// Renames server symbols to the user's names in backfill lines (UTF-8 bytes).
//
// A line whose second comma-separated field (trimmed) is an old name gets that field
// replaced. Any other line is rewritten whole-word: for each old name in ascending order
// (QString order), every match of "\b<old>\b" in the line as it stands after the earlier
// names is replaced by the new name. That is one regular-expression pass per table entry;
// here the line is cut once into runs of word and non-word characters and only the old
// names that really occur in it are looked at, so the cost follows the line's length and
// not the size of the table, with the same output.
class SymbolRewriter
{
public:
    explicit SymbolRewriter(const SymbolMap &map);

    bool isEmpty() const { return m_entries.isEmpty(); }

    // One line (without terminator) as the mapping step writes it.
    QByteArray rewriteLine(const QByteArray &line) const;
    // The same, appended to out; false when the line was written unchanged.
    bool appendRewritten(const char *data, qint64 size, QByteArray *out) const;

    // The whole-word renaming alone.
    QByteArray replaceWholeWords(QByteArray line) const;

    // Writes the processed copy of a backfill file: every line through rewriteLine(), a
    // line feed after each (text mode). False when either path is empty, the source cannot
    // be read or the copy cannot be written completely (a partial copy is removed, so the
    // caller falls back to the source instead of importing a cut-off file).
    bool applyToFile(const QString &sourcePath, const QString &processedPath) const;

private:
    struct Entry
    {
        int rank = 0; // position of the old name in ascending order
        QByteArray newName;
    };
    using Entries = QHash<QByteArray, Entry>;
    // The entry whose old name is data[0, size), or end(); no allocation.
    Entries::const_iterator find(const char *data, int size) const;
    // The old name with the smallest rank above afterRank that occurs whole-word in the
    // line; null when there is none.
    const QByteArray *nextOccurring(const char *d, int n, int afterRank, const Entry **entry) const;
    QByteArray replaceAll(const QByteArray &line, const QByteArray &oldName,
                          const QByteArray &newName) const;
    // The whole-word renaming from the names ranked above afterRank on.
    QByteArray replaceWholeWordsAfter(QByteArray line, int afterRank) const;

    Entries m_entries;
    // Points at the bytes being looked up: QByteArray::fromRawData would allocate a header
    // for every lookup, several per line.
    mutable QByteArray m_probe;
    std::array<bool, 256> m_canStart{};
    int m_maxRuns = 0;
    int m_minLength = 0;
    int m_maxLength = 0;
    mutable std::vector<int> m_runStarts;
};
