#include "ui/uptimetext.h"

namespace UptimeText {

QString format(qint64 elapsedMs)
{
    const qint64 hours = elapsedMs / 3600000;
    const qint64 totalSeconds = elapsedMs / 1000;
    const qint64 minutes = (totalSeconds % 3600) / 60;
    const qint64 seconds = totalSeconds % 60;
    return QStringLiteral("Running: %1:%2:%3")
        .arg(hours)
        .arg(minutes, 2, 10, QLatin1Char('0'))
        .arg(seconds, 2, 10, QLatin1Char('0'));
}

QPoint cornerPosition(const QSize &window, const QSize &label, int margin)
{
    return QPoint(window.width() - label.width() - margin,
                  window.height() - label.height() - margin);
}

} // namespace UptimeText
