#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Diagnostic for soak runs: how long the GUI thread's event loop goes without serving its
// timers. A 10 ms precise timer measures the gap between its beats; the longest gap is
// written to the debug output once a minute and whenever a new longest gap over 100 ms
// appears. Started only when VANTREL_STALL_WATCH is set, so a user's program never runs it.
class StallWatch : public QObject
{
    Q_OBJECT
public:
    explicit StallWatch(QObject *parent = nullptr);

    // A watch owned by parent when VANTREL_STALL_WATCH is set (to anything but "0"), else null.
    static StallWatch *startIfRequested(QObject *parent);

    qint64 longestGapMs() const { return m_longest; }

private:
    void beat();
    void report();

    QTimer m_beat;
    QTimer m_report;
    QElapsedTimer m_sinceBeat;
    qint64 m_longest = 0;
    qint64 m_longestThisMinute = 0;
};
