#include "minutebars.h"

#include <QDateTime>

#include <algorithm>

void MinuteBars::add(const Tick &tick)
{
    const qint64 minute = tick.epochMs / 60000;
    QMap<qint64, Bar> &bars = m_bars[tick.symbol];
    auto it = bars.find(minute);
    if (it == bars.end()) {
        Bar bar;
        const QDateTime start = QDateTime::fromMSecsSinceEpoch(minute * 60000);
        bar.date = start.toString(QStringLiteral("yyyyMMdd")).toLatin1();
        bar.time = start.toString(QStringLiteral("HH:mm:00")).toLatin1();
        bar.open = bar.high = bar.low = tick.ltp;
        it = bars.insert(minute, bar);
        while (bars.size() > kMaxBarsPerSymbol)
            bars.erase(bars.begin());
    }
    Bar &bar = it.value();
    bar.high = std::max(bar.high, tick.ltp);
    bar.low = std::min(bar.low, tick.ltp);
    bar.close = tick.ltp;
    bar.volume += tick.ltq;
    bar.oi = tick.oi;
}

QByteArray MinuteBars::lines(const QString &segment, const QString &symbol, int days,
                             const QDate &today) const
{
    const auto found = m_bars.constFind(symbol);
    if (found == m_bars.constEnd())
        return QByteArray();
    const QByteArray first = today.addDays(-(std::max(1, days) - 1)).toString(QStringLiteral("yyyyMMdd")).toLatin1();
    const QByteArray prefix = segment.toUtf8() + ',' + symbol.toUtf8() + ',';
    QByteArray out;
    out.reserve(found->size() * 80);
    for (const Bar &bar : *found) {
        if (bar.date < first)
            continue;
        out.append(prefix).append(bar.date).append(',').append(bar.time).append(',');
        out.append(TickGenerator::priceText(bar.open)).append(',');
        out.append(TickGenerator::priceText(bar.high)).append(',');
        out.append(TickGenerator::priceText(bar.low)).append(',');
        out.append(TickGenerator::priceText(bar.close)).append(',');
        out.append(QByteArray::number(bar.volume)).append(',');
        out.append(QByteArray::number(bar.oi)).append('\n');
    }
    return out;
}
