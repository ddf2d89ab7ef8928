#pragma once

#include <QPoint>
#include <QSize>
#include <QString>

// The uptime overlay's text and place, without the label.
namespace UptimeText {

// "Running: H:MM:SS" for the elapsed milliseconds; hours are not wrapped at 24.
QString format(qint64 elapsedMs);

// Top-left corner that keeps a label of `label` size `margin` pixels from the bottom-right
// corner of a window of `window` size.
QPoint cornerPosition(const QSize &window, const QSize &label, int margin = 2);

} // namespace UptimeText
