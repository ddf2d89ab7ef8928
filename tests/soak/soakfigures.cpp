#include "soakfigures.h"

#include <QDateTime>
#include <QRegularExpression>
#include <algorithm>

namespace Soak {

qint64 tickTimestamp(const QByteArray &date, const QByteArray &time)
{
    const QDate d = QDate::fromString(QString::fromLatin1(date), QStringLiteral("yyyyMMdd"));
    QTime t = QTime::fromString(QString::fromLatin1(time), QStringLiteral("HH:mm:ss.zzz"));
    if (!t.isValid())
        t = QTime::fromString(QString::fromLatin1(time), QStringLiteral("HH:mm:ss"));
    if (!d.isValid() || !t.isValid())
        return -1;
    return QDateTime(d, t, Qt::UTC).toMSecsSinceEpoch();
}

QVector<Window> reconnectWindows(const QVector<qint64> &drops, const QVector<qint64> &sendTimes,
                                 qint64 leadMs)
{
    QVector<Window> out;
    for (const qint64 drop : drops) {
        Window w;
        w.drop = drop;
        w.from = drop - leadMs;
        const auto next = std::upper_bound(sendTimes.begin(), sendTimes.end(), drop);
        w.to = next == sendTimes.end() ? kNever : *next;
        out.append(w);
    }
    return out;
}

QVector<Window> outageWindows(const QVector<qint64> &starts, const QVector<qint64> &sendTimes,
                              qint64 leadMs, qint64 pauseMs)
{
    QVector<Window> out;
    for (const qint64 start : starts) {
        Window w;
        w.drop = start;
        w.from = start - leadMs;
        auto it = std::upper_bound(sendTimes.begin(), sendTimes.end(), start);
        qint64 previous = start;
        for (; it != sendTimes.end(); ++it) {
            if (*it - previous >= pauseMs)
                break;
            previous = *it;
        }
        w.to = it == sendTimes.end() ? kNever : *it;
        out.append(w);
    }
    return out;
}

int windowOf(const QVector<Window> &windows, qint64 t)
{
    for (int i = 0; i < windows.size(); ++i) {
        if (t >= windows[i].from && t <= windows[i].to)
            return i;
    }
    return -1;
}

qint64 percentile(const QVector<qint64> &sorted, double q)
{
    if (sorted.isEmpty())
        return -1;
    const int at = std::min<int>(sorted.size() - 1, int(q * sorted.size()));
    return sorted.at(std::max(0, at));
}

MemoryVerdict memoryVerdict(const QVector<qint64> &samplesKb)
{
    MemoryVerdict v;
    if (samplesKb.isEmpty()) {
        v.why = QStringLiteral("no memory samples");
        return v;
    }
    v.peakKb = *std::max_element(samplesKb.begin(), samplesKb.end());
    v.finalKb = samplesKb.last();
    const QVector<qint64> run = samplesKb.mid(1);
    if (run.size() < 2) {
        v.why = QStringLiteral("too few memory samples (%1) to judge growth").arg(samplesKb.size());
        return v;
    }
    const int half = run.size() / 2;
    v.earlierPeakKb = *std::max_element(run.begin(), run.begin() + half);
    v.laterPeakKb = *std::max_element(run.begin() + half, run.end());
    const qint64 allowed = v.earlierPeakKb + v.earlierPeakKb / 5 + 16 * 1024;
    v.bounded = v.laterPeakKb <= allowed;
    if (!v.bounded)
        v.why = QStringLiteral("later half peaked at %1 kB, more than %2 kB allowed after %3 kB")
                    .arg(v.laterPeakKb).arg(allowed).arg(v.earlierPeakKb);
    return v;
}

qint64 longestStall(const QByteArray &log)
{
    static const QRegularExpression stall(
        QStringLiteral("event loop (?:stall (\\d+) ms|longest stall \\d+ ms in the last minute, (\\d+) ms since start)"));
    qint64 longest = -1;
    auto it = stall.globalMatch(QString::fromUtf8(log));
    while (it.hasNext()) {
        const auto m = it.next();
        const QString n = m.captured(1).isEmpty() ? m.captured(2) : m.captured(1);
        longest = std::max(longest, n.toLongLong());
    }
    return longest;
}

} // namespace Soak
