#include "app/stallwatch.h"

#include <QDebug>
#include <algorithm>

namespace {
constexpr int kBeatMs = 10;
constexpr int kReportMs = 60000;
constexpr qint64 kNoteworthyMs = 100;
} // namespace

StallWatch::StallWatch(QObject *parent)
    : QObject(parent)
{
    m_beat.setTimerType(Qt::PreciseTimer);
    m_beat.setInterval(kBeatMs);
    connect(&m_beat, &QTimer::timeout, this, &StallWatch::beat);
    m_report.setInterval(kReportMs);
    connect(&m_report, &QTimer::timeout, this, &StallWatch::report);
    m_beat.start();
    m_report.start();
}

StallWatch *StallWatch::startIfRequested(QObject *parent)
{
    const QByteArray v = qgetenv("VANTREL_STALL_WATCH");
    if (v.isEmpty() || v == "0")
        return nullptr;
    return new StallWatch(parent);
}

void StallWatch::beat()
{
    if (m_sinceBeat.isValid()) {
        const qint64 gap = m_sinceBeat.elapsed();
        m_longestThisMinute = std::max(m_longestThisMinute, gap);
        if (gap > m_longest) {
            m_longest = gap;
            if (gap > kNoteworthyMs)
                qDebug().noquote() << QStringLiteral("Vantrel: event loop stall %1 ms (longest so far)").arg(gap);
        }
    }
    m_sinceBeat.start();
}

void StallWatch::report()
{
    qDebug().noquote() << QStringLiteral("Vantrel: event loop longest stall %1 ms in the last minute, %2 ms since start")
                              .arg(m_longestThisMinute)
                              .arg(m_longest);
    m_longestThisMinute = 0;
}
