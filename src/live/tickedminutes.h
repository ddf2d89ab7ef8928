#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QVector>

// Minutes as the data server writes them: a date and a wall-clock time, no time zone.
namespace MinuteKey {

// Minutes from 2000-01-01 00:00 of an eight-digit YYYYMMDD date and a time "HH:MM",
// "HH:MM:SS" or "HH:MM:SS.fff"; false when either is not exactly that or not a real date
// or time of day.
bool parse(const char *date, qint64 dateSize, const char *time, qint64 timeSize, qint64 *key);
// The minute of a moment in this computer's local time.
qint64 of(const QDateTime &moment);

} // namespace MinuteKey

// The minutes of each symbol (the server's name) that live ticks reached, as runs of
// consecutive minutes. The live import cycle notes every batch it takes; a gap repair
// leaves these minutes to the ticks, so no minute ends up with a bar on top of its ticks.
//
// Bounded: at most kMaxRunsPerSymbol runs per symbol (the oldest go first) and
// kMaxSymbols symbols. Any thread; snapshots are cheap copies.
class TickedMinutes
{
public:
    static constexpr int kMaxRunsPerSymbol = 1024;
    static constexpr int kMaxSymbols = 10000;

    struct Run
    {
        qint32 first;
        qint32 last;
    };
    using Runs = QVector<Run>; // ascending; neither overlapping nor touching
    using Map = QHash<QByteArray, Runs>;

    // Tick lines "type,symbol,date,time,..."; lines without a readable minute are passed by.
    void note(const QByteArray &tickLines);
    Map snapshot() const;

    static void insert(Runs *runs, qint64 minute);
    static bool contains(const Runs &runs, qint64 minute);
    // Whether every minute from first to last (inclusive) has ticks.
    static bool coversAll(const Runs &runs, qint64 first, qint64 last);

private:
    mutable QMutex m_mutex;
    Map m_map;
};
