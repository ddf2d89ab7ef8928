#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <limits>

// The arithmetic of a soak run's verdict, kept apart from the files it reads so it can be
// tested on its own.
namespace Soak {

constexpr qint64 kNever = std::numeric_limits<qint64>::max();

// A stretch of time around one dropped link: from `lead` before the drop until the first
// tick the data server sent after it (kNever when none followed).
struct Window
{
    qint64 drop = 0;
    qint64 from = 0;
    qint64 to = kNever;
    qint64 reconnectMs() const { return to == kNever ? -1 : to - drop; }
};

// Milliseconds since the epoch of a tick's date (yyyyMMdd) and time (HH:mm:ss[.zzz]) read
// as UTC, the way the quote store keeps them. -1 when either is malformed.
qint64 tickTimestamp(const QByteArray &date, const QByteArray &time);

// One window per drop; sendTimes must be sorted.
QVector<Window> reconnectWindows(const QVector<qint64> &drops, const QVector<qint64> &sendTimes,
                                 qint64 leadMs);
// One window per outage (a refusal, a silent link, a killed program): the data server may
// go on sending for a moment to a link that is already dead, so a window runs until the
// first tick after the sending paused for at least pauseMs (kNever when it never resumed).
QVector<Window> outageWindows(const QVector<qint64> &starts, const QVector<qint64> &sendTimes,
                              qint64 leadMs, qint64 pauseMs);
// The window holding t, or -1.
int windowOf(const QVector<Window> &windows, qint64 t);

// The value at quantile q (0..1) of sorted values; -1 when there are none.
qint64 percentile(const QVector<qint64> &sorted, double q);

// Resident memory sampled once a minute. Bounded when the later half of the run never
// exceeds the earlier half's peak by more than a fifth plus 16 MiB (a backfill or a burst
// of kept batches may raise it once, a leak keeps raising it). The first sample, taken
// while the program is still starting, is not part of either half.
struct MemoryVerdict
{
    qint64 peakKb = 0;
    qint64 finalKb = 0;
    qint64 earlierPeakKb = 0;
    qint64 laterPeakKb = 0;
    bool bounded = false;
    QString why;
};
MemoryVerdict memoryVerdict(const QVector<qint64> &samplesKb);

// The longest event-loop stall the program reported in its log ("event loop stall N ms",
// "N ms since start"); -1 when it reported none.
qint64 longestStall(const QByteArray &log);

} // namespace Soak
