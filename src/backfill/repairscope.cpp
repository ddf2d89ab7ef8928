#include "backfill/repairscope.h"

#include "backfill/backfilllines.h"

#include <QMutexLocker>

#include <cstring>

void RepairScope::Tally::add(const QHash<QByteArray, qint64> &stored)
{
    QMutexLocker lock(&m_mutex);
    for (auto it = stored.cbegin(); it != stored.cend(); ++it)
        m_stored[it.key()] += it.value();
}

qint64 RepairScope::Tally::stored(const QByteArray &symbol) const
{
    QMutexLocker lock(&m_mutex);
    return m_stored.value(symbol);
}

RepairScope::RepairScope(const QStringList &symbols, qint64 firstMinute, qint64 lastMinute,
                         TickedMinutes::Map ticked, std::shared_ptr<Tally> tally)
    : m_first(firstMinute)
    , m_last(lastMinute)
    , m_ticked(std::move(ticked))
    , m_tally(tally ? std::move(tally) : std::make_shared<Tally>())
{
    for (const QString &s : symbols)
        m_symbols.insert(s.toUtf8());
}

RepairScope::Verdict RepairScope::judge(const char *line, qint64 size, Cursor *cursor) const
{
    BackfillLines::Field f[4];
    const int n = BackfillLines::splitFields(line, size, f, 4);
    if (n < 2)
        return ForeignSymbol;
    const char *symbol = line + f[1].start;
    const qint64 length = f[1].length;
    if (cursor->symbol.size() != length || std::memcmp(cursor->symbol.constData(), symbol, size_t(length)) != 0) {
        cursor->symbol = QByteArray(symbol, int(length));
        cursor->asked = m_symbols.contains(cursor->symbol);
        const auto found = m_ticked.constFind(cursor->symbol);
        cursor->ticked = found == m_ticked.cend() ? nullptr : &found.value();
    }
    if (!cursor->asked)
        return ForeignSymbol;
    qint64 minute = 0;
    if (n < 4 || !MinuteKey::parse(line + f[2].start, f[2].length, line + f[3].start, f[3].length, &minute))
        return UnreadableTime;
    if (minute < m_first || minute > m_last)
        return OutsideOutage;
    if (cursor->ticked && TickedMinutes::contains(*cursor->ticked, minute))
        return TickedMinute;
    return Keep;
}

bool RepairScope::hasMinuteToFill(const QByteArray &symbol) const
{
    if (m_first > m_last)
        return false;
    const auto found = m_ticked.constFind(symbol);
    return found == m_ticked.cend() || !TickedMinutes::coversAll(found.value(), m_first, m_last);
}

QString RepairScope::countsText(const Counts &counts)
{
    static const char *const kNames[kVerdicts] = {"kept", "foreign symbol", "unreadable time",
                                                  "outside the outage", "minute with live ticks"};
    qint64 refused = 0;
    QStringList parts;
    for (int v = Keep + 1; v < kVerdicts; ++v) {
        refused += counts[size_t(v)];
        if (counts[size_t(v)] > 0)
            parts.append(QStringLiteral("%1 %2").arg(counts[size_t(v)]).arg(QLatin1String(kNames[v])));
    }
    QString text = QStringLiteral("kept %1, refused %2").arg(counts[size_t(Keep)]).arg(refused);
    if (!parts.isEmpty())
        text += QStringLiteral(" (%1)").arg(parts.join(QStringLiteral(", ")));
    return text;
}
