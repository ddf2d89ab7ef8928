#include "backfill/symbolrewriter.h"

#include "backfill/backfilllines.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <climits>
#include <cstring>

using BackfillLines::isWordByte;

namespace {

int runCount(const QByteArray &text)
{
    int runs = 0;
    for (int i = 0; i < text.size(); ++i) {
        if (i == 0 || isWordByte(text[i]) != isWordByte(text[i - 1]))
            ++runs;
    }
    return runs;
}

// "\b" at position pos of data[0, size): the characters on either side differ in being
// word characters, the outside of the text counting as non-word.
bool boundaryAt(const char *data, int size, int pos)
{
    const bool before = pos > 0 && isWordByte(data[pos - 1]);
    const bool after = pos < size && isWordByte(data[pos]);
    return before != after;
}

} // namespace

SymbolRewriter::SymbolRewriter(const SymbolMap &map)
{
    // A name with a control character (a line feed above all) would split or corrupt the
    // bar lines it is written into: such an entry is left out.
    const auto unusable = [](const QString &name) {
        return std::any_of(name.cbegin(), name.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
    };
    QStringList oldNames;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (unusable(it.key()) || unusable(it.value()))
            qDebug() << "Symbol mapping: entry left out, it holds a control character:" << it.key() << it.value();
        else
            oldNames.append(it.key());
    }
    std::sort(oldNames.begin(), oldNames.end());
    m_minLength = INT_MAX;
    for (int rank = 0; rank < oldNames.size(); ++rank) {
        const QByteArray oldName = oldNames.at(rank).toUtf8();
        m_entries.insert(oldName, Entry{rank, map.value(oldNames.at(rank)).toUtf8()});
        m_canStart[uchar(oldName.at(0))] = true;
        m_maxRuns = std::max(m_maxRuns, runCount(oldName));
        m_minLength = std::min(m_minLength, int(oldName.size()));
        m_maxLength = std::max(m_maxLength, int(oldName.size()));
    }
}

SymbolRewriter::Entries::const_iterator SymbolRewriter::find(const char *data, int size) const
{
    m_probe.setRawData(data, uint(size));
    return m_entries.constFind(m_probe);
}

const QByteArray *SymbolRewriter::nextOccurring(const char *d, int n, int afterRank,
                                                const Entry **entry) const
{
    m_runStarts.clear();
    for (int i = 0; i < n; ++i) {
        if (i == 0 || isWordByte(d[i]) != isWordByte(d[i - 1]))
            m_runStarts.push_back(i);
    }
    m_runStarts.push_back(n);

    const QByteArray *best = nullptr;
    int bestRank = INT_MAX;
    const int runs = int(m_runStarts.size()) - 1;
    for (int r = 0; r < runs; ++r) {
        const int start = m_runStarts[size_t(r)];
        if (!m_canStart[uchar(d[start])] || !boundaryAt(d, n, start))
            continue;
        for (int k = 1; k <= m_maxRuns && r + k <= runs; ++k) {
            const int end = m_runStarts[size_t(r + k)];
            const int length = end - start;
            if (length > m_maxLength)
                break;
            if (length < m_minLength || !boundaryAt(d, n, end))
                continue;
            const auto it = find(d + start, length);
            if (it != m_entries.cend() && it->rank > afterRank && it->rank < bestRank) {
                bestRank = it->rank;
                best = &it.key();
                *entry = &it.value();
            }
        }
    }
    return best;
}

QByteArray SymbolRewriter::replaceAll(const QByteArray &line, const QByteArray &oldName,
                                      const QByteArray &newName) const
{
    // Left to right, a match consumes its text and the search goes on after it, as a
    // global regular-expression replacement does; "\b" still sees the original text.
    const char *d = line.constData();
    const int n = line.size();
    QByteArray out;
    int copied = 0;
    int from = 0;
    int at;
    while ((at = line.indexOf(oldName, from)) >= 0) {
        const int end = at + oldName.size();
        if (boundaryAt(d, n, at) && boundaryAt(d, n, end)) {
            out.append(d + copied, at - copied);
            out.append(newName);
            copied = from = end;
        } else {
            from = at + 1;
        }
    }
    out.append(d + copied, n - copied);
    return out;
}

QByteArray SymbolRewriter::replaceWholeWords(QByteArray line) const
{
    return replaceWholeWordsAfter(std::move(line), -1);
}

QByteArray SymbolRewriter::replaceWholeWordsAfter(QByteArray line, int afterRank) const
{
    int done = afterRank;
    const Entry *entry = nullptr;
    while (const QByteArray *oldName = nextOccurring(line.constData(), line.size(), done, &entry)) {
        line = replaceAll(line, *oldName, entry->newName);
        done = entry->rank;
    }
    return line;
}

QByteArray SymbolRewriter::rewriteLine(const QByteArray &line) const
{
    QByteArray out;
    appendRewritten(line.constData(), line.size(), &out);
    return out;
}

bool SymbolRewriter::appendRewritten(const char *d, qint64 size, QByteArray *out) const
{
    // Lines come from BackfillLines::Reader, capped far below the range of int.
    const int n = int(qMin(size, BackfillLines::kMaxLineBytes));
    qint64 start = 0, length = 0;
    BackfillLines::trim(d, n, &start, &length);
    if (length == 0)
        return n != 0; // written as an empty line
    if (!BackfillLines::containsFailedAnyCase(d, n)) {
        const char *end = d + n;
        const char *firstComma = static_cast<const char *>(std::memchr(d, ',', size_t(n)));
        if (firstComma) {
            const char *field = firstComma + 1;
            const char *secondComma = static_cast<const char *>(std::memchr(field, ',', size_t(end - field)));
            if (!secondComma)
                secondComma = end;
            BackfillLines::trim(field, secondComma - field, &start, &length);
            const auto it = find(field + start, int(length));
            if (it != m_entries.cend()) {
                out->append(d, int(field - d));
                out->append(it->newName);
                out->append(secondComma, int(end - secondComma));
                return true;
            }
        }
        // Most lines hold no old name at all: they are looked at in place and copied.
        const Entry *entry = nullptr;
        const QByteArray *oldName = m_entries.isEmpty() ? nullptr : nextOccurring(d, n, -1, &entry);
        if (oldName) {
            const QByteArray first = replaceAll(QByteArray(d, n), *oldName, entry->newName);
            out->append(replaceWholeWordsAfter(first, entry->rank));
            return true;
        }
    }
    out->append(d, n);
    return false;
}

bool SymbolRewriter::applyToFile(const QString &sourcePath, const QString &processedPath) const
{
    if (sourcePath.isEmpty() || processedPath.isEmpty())
        return false;
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QDir().mkpath(QFileInfo(processedPath).absolutePath());
    QFile processed(processedPath);
    if (!processed.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate))
        return false;

    QList<QByteArray> changedSamples;
    {
        BackfillLines::Reader reader(&source);
        BackfillLines::Writer writer(&processed);
        const char *data = nullptr;
        qint64 size = 0;
        while (reader.next(&data, &size) && writer.ok()) {
            if (appendRewritten(data, size, &writer.pending()) && changedSamples.size() < 8)
                changedSamples.append(QByteArray(data, int(size)));
            writer.endLine();
        }
        if (!writer.close() || reader.failed()) {
            qDebug() << "Symbol mapping: could not write" << processedPath << "completely;"
                     << "the file is imported unchanged";
            processed.remove();
            return false;
        }
        // Over-long lines are left out of the copy, as the import leaves them out.
        if (reader.skippedLines() > 0)
            qDebug() << "Symbol mapping: left out" << reader.skippedLines() << "lines longer than"
                     << BackfillLines::kMaxLineBytes << "bytes from" << sourcePath;
    }
    for (const QByteArray &sample : changedSamples)
        qDebug().noquote() << "  " + QString::fromUtf8(sample);
    return true;
}
