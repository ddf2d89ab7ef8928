#pragma once

#include "tickgenerator.h"

#include <QByteArray>
#include <QDate>
#include <QHash>
#include <QMap>
#include <QString>

// The intraday history of the local market, made from the ticks its feed generates: one
// bar per symbol and minute with the open, high, low, close and volume of that minute's
// ticks. A repair can then be checked bar for bar against what the feed sent, also for
// the minutes no client was there to see.
class MinuteBars
{
public:
    // Bars kept per symbol: five full days of minutes.
    static constexpr int kMaxBarsPerSymbol = 5 * 24 * 60;

    struct Bar
    {
        QByteArray date; // YYYYMMDD, local time
        QByteArray time; // HH:MM:00
        double open = 0;
        double high = 0;
        double low = 0;
        double close = 0;
        qint64 volume = 0;
        qint64 oi = 0;
    };

    void add(const Tick &tick);
    bool hasSymbol(const QString &symbol) const { return m_bars.contains(symbol); }
    int barCount(const QString &symbol) const { return m_bars.value(symbol).size(); }
    // "segment,symbol,YYYYMMDD,HH:MM:00,open,high,low,close,volume,openint" lines of the
    // bars dated from `days` calendar days back up to `today`, oldest first.
    QByteArray lines(const QString &segment, const QString &symbol, int days, const QDate &today) const;

private:
    QHash<QString, QMap<qint64, Bar>> m_bars; // symbol -> minute since the epoch -> bar
};
