#pragma once

#include <QElapsedTimer>
#include <QObject>

class QLabel;
class QTimer;
class QWidget;

// The uptime label in the bottom-right corner of a window: its text follows the time since
// it was made (every 1000 ms) and its place follows its text (every 500 ms). The clock is
// the window's one monotonic clock, also for the quote ages.
class UptimeOverlay : public QObject
{
public:
    explicit UptimeOverlay(QWidget *window);

    qint64 elapsedMs() const { return m_clock.elapsed(); }

private:
    void place();

    QWidget *m_window;
    QElapsedTimer m_clock;
    QLabel *m_label;
};
