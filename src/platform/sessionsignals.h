#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

// Requests from the session that arrive as POSIX signals: SIGTERM and SIGINT ask the
// program to close the way the user would (close sequence, settings saved), SIGHUP asks
// it to restart. On Windows nothing arrives this way and the object does nothing.
class SessionSignals : public QObject
{
    Q_OBJECT
public:
    explicit SessionSignals(QObject *parent = nullptr);
    ~SessionSignals() override;

signals:
    void closeRequested();
    void restartRequested();

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};
