#include "backfill/symbolrewriter.h"

#include "backfill/backfilllines.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <climits>

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
    QStringList oldNames = map.keys();
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

const QByteArray *SymbolRewriter::nextOccurring(const QByteArray &line, int afterRank,
                                                const Entry **entry) const
{
    const char *d = line.constData();
    const int n = line.size();
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
            const auto it = m_entries.constFind(QByteArray::fromRawData(d + start, length));
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
    int done = -1;
    const Entry *entry = nullptr;
    while (const QByteArray *oldName = nextOccurring(line, done, &entry)) {
        line = replaceAll(line, *oldName, entry->newName);
        done = entry->rank;
    }
    return line;
}

QByteArray SymbolRewriter::rewriteLine(const QByteArray &line) const
{
    const char *d = line.constData();
    const int n = line.size();
    int start = 0, length = 0;
    BackfillLines::trim(d, n, &start, &length);
    if (length == 0)
        return QByteArray();
    if (BackfillLines::containsFailedAnyCase(d, n))
        return line;

    const int firstComma = line.indexOf(',');
    if (firstComma >= 0) {
        int secondComma = line.indexOf(',', firstComma + 1);
        if (secondComma < 0)
            secondComma = n;
        BackfillLines::trim(d + firstComma + 1, secondComma - firstComma - 1, &start, &length);
        const auto it = m_entries.constFind(
            QByteArray::fromRawData(d + firstComma + 1 + start, length));
        if (it != m_entries.cend()) {
            QByteArray out;
            out.reserve(n + it->newName.size());
            out.append(d, firstComma + 1);
            out.append(it->newName);
            out.append(d + secondComma, n - secondComma);
            return out;
        }
    }
    return m_entries.isEmpty() ? line : replaceWholeWords(line);
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
        int size = 0;
        while (reader.next(&data, &size)) {
            const QByteArray line = QByteArray::fromRawData(data, size);
            const QByteArray out = rewriteLine(line);
            if (out.constData() == line.constData() && out.size() == line.size()) {
                writer.writeLine(data, size);
                continue;
            }
            if (out != line && changedSamples.size() < 8)
                changedSamples.append(QByteArray(data, size));
            writer.writeLine(out);
        }
        if (!writer.flush() || reader.failed()) {
            qDebug() << "Symbol mapping: could not write" << processedPath << "completely;"
                     << "the file is imported unchanged";
            processed.close();
            processed.remove();
            return false;
        }
    }
    processed.close();
    for (const QByteArray &sample : changedSamples)
        qDebug().noquote() << "  " + QString::fromUtf8(sample);
    return true;
}
