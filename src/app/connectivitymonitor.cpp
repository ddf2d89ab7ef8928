#include "app/connectivitymonitor.h"

#include <QDebug>
#include <QTcpSocket>

ConnectivityMonitor::ConnectivityMonitor(QObject *parent) : QObject(parent)
{
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, [this] {
        finish(Outcome::TimedOut, QStringLiteral("no answer within %1 ms").arg(m_timeoutMs));
    });
    connect(&m_repeat, &QTimer::timeout, this, &ConnectivityMonitor::check);
}

ConnectivityMonitor::~ConnectivityMonitor()
{
    // The pending socket is our child and goes with us; make sure it cannot report on the
    // way out.
    if (m_socket)
        m_socket->disconnect(this);
}

QString ConnectivityMonitor::connectedText()
{
    return QStringLiteral("<span style=\"color:#04432E ;\"><b>Connected</b></span>");
}

QString ConnectivityMonitor::disconnectedText()
{
    return QStringLiteral("<span style=\"color:#ff0000;\"><b>Disconnected</b></span>");
}

ConnectivityMonitor::Target ConnectivityMonitor::parseTarget(const QString &text)
{
    Target t;
    const QString s = text.trimmed();
    QString portText;
    if (s.startsWith(QLatin1Char('['))) {
        const int close = s.indexOf(QLatin1Char(']'));
        if (close < 0) {
            t.host = s.mid(1);
            return t;
        }
        t.host = s.mid(1, close - 1);
        if (s.mid(close + 1).startsWith(QLatin1Char(':')))
            portText = s.mid(close + 2);
    } else if (s.count(QLatin1Char(':')) == 1) {
        const int colon = s.indexOf(QLatin1Char(':'));
        t.host = s.left(colon);
        portText = s.mid(colon + 1);
    } else {
        // No colon, or several: a plain host name or a bare IPv6 address.
        t.host = s;
    }
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint port = portText.toUInt(&ok);
        if (ok && port > 0 && port <= 65535)
            t.port = quint16(port);
        else
            qDebug() << "ConnectivityMonitor: ignoring bad port in" << text;
    }
    return t;
}

ConnectivityMonitor::Target ConnectivityMonitor::probeTarget()
{
    const QString fromEnv = qEnvironmentVariable("VANTREL_PROBE_HOST").trimmed();
    return parseTarget(fromEnv.isEmpty() ? QStringLiteral(VANTREL_PROBE_HOST_DEFAULT) : fromEnv);
}

void ConnectivityMonitor::check()
{
    if (m_socket)
        return;

    m_target = probeTarget();
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, [this] { finish(Outcome::Connected); });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        finish(Outcome::Failed, m_socket ? m_socket->errorString() : QString());
    });
    m_limit.start(m_timeoutMs);
    m_socket->connectToHost(m_target.host, m_target.port);
}

void ConnectivityMonitor::finish(Outcome outcome, const QString &detail)
{
    // A socket can report an error right after the limit ran out (or the reverse); only
    // the first word on a check counts.
    if (!m_socket)
        return;
    m_limit.stop();
    QTcpSocket *socket = m_socket;
    m_socket.clear();
    socket->disconnect(this);
    socket->abort();
    // We may be inside one of the socket's own signals.
    socket->deleteLater();

    m_lastOutcome = outcome;
    if (outcome == Outcome::Connected) {
        emit statusMessage(connectedText());
    } else {
        qDebug().noquote() << "ConnectivityMonitor:" << m_target.host << m_target.port
                           << "unreachable:" << detail;
        emit statusMessage(disconnectedText());
    }
}

void ConnectivityMonitor::start(int intervalMs)
{
    m_repeat.start(intervalMs);
}

void ConnectivityMonitor::stop()
{
    m_repeat.stop();
}
