#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QTcpSocket;

// Checks Internet reachability by opening a TCP connection to a well-known host and reports
// the result as the status line's coloured text. A check runs in the background (the GUI
// thread keeps working while the connection is pending), gives up after 5 seconds and
// reports exactly once; while one check is pending further requests are ignored, so a slow
// network never piles up checks.
class ConnectivityMonitor : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultTimeoutMs = 5000;
    static constexpr quint16 kDefaultPort = 80;

    enum class Outcome { None, Connected, Failed, TimedOut };
    Q_ENUM(Outcome)

    struct Target
    {
        QString host;
        quint16 port = kDefaultPort;
    };

    explicit ConnectivityMonitor(QObject *parent = nullptr);
    ~ConnectivityMonitor() override;

    // Starts one check unless one is still pending.
    void check();
    bool isChecking() const { return !m_socket.isNull(); }

    // Convenience for callers that do not own a timer: check() every intervalMs.
    void start(int intervalMs);
    void stop();
    bool isRunning() const { return m_repeat.isActive(); }

    // Test seam: the limit of one check (kDefaultTimeoutMs in the product).
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }
    int timeoutMs() const { return m_timeoutMs; }

    // How the last finished check ended (None before the first one).
    Outcome lastOutcome() const { return m_lastOutcome; }

    static QString connectedText();
    static QString disconnectedText();

    // The probed host: the environment variable VANTREL_PROBE_HOST ("host:port", the port
    // defaulting to 80), else the build's default. Read at every check.
    static Target probeTarget();
    // "host", "host:port", "[v6]:port" or a bare IPv6 address; the port defaults to 80.
    static Target parseTarget(const QString &text);

signals:
    void statusMessage(const QString &text);

private:
    void finish(Outcome outcome, const QString &detail = QString());

    QPointer<QTcpSocket> m_socket;
    Target m_target;
    QTimer m_limit;
    QTimer m_repeat;
    int m_timeoutMs = kDefaultTimeoutMs;
    Outcome m_lastOutcome = Outcome::None;
};
