#include "devserverprocess.h"

#include "testenv.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpSocket>

DevServerProcess::~DevServerProcess() { stop(); }

static quint16 listeningPort(const QString &text, const QString &side)
{
    const QRegularExpression re(QStringLiteral("^vantrel-devserver: listening %1 on 127\\.0\\.0\\.1:(\\d+)$").arg(side),
                                QRegularExpression::MultilineOption);
    return quint16(re.match(text).captured(1).toUInt());
}

bool DevServerProcess::start(const QStringList &extraArguments, bool withHttp)
{
    const QString exe = TestEnv::builtExecutable(QStringLiteral("vantrel-devserver"));
    if (exe.isEmpty())
        return false;
    QStringList args{QStringLiteral("--ws-port"), QStringLiteral("0"), QStringLiteral("--control-port"),
                     QStringLiteral("0")};
    if (withHttp)
        args << QStringLiteral("--http-port") << QStringLiteral("0");
    m_proc.setProgram(exe);
    m_proc.setArguments(args + extraArguments);
    m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_proc.start();
    if (!m_proc.waitForStarted(5000))
        return false;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000 && m_proc.state() == QProcess::Running) {
        m_proc.waitForReadyRead(100);
        output += QString::fromUtf8(m_proc.readAllStandardOutput());
        wsPort = listeningPort(output, QStringLiteral("ws"));
        if (wsPort != 0) {
            controlPort = listeningPort(output, QStringLiteral("control"));
            httpPort = listeningPort(output, QStringLiteral("http"));
            return controlPort != 0 && (!withHttp || httpPort != 0);
        }
    }
    return false;
}

void DevServerProcess::stop()
{
    if (m_proc.state() == QProcess::NotRunning)
        return;
    m_proc.terminate();
    if (!m_proc.waitForFinished(5000))
        m_proc.kill();
    m_proc.waitForFinished(2000);
}

QString DevServerProcess::control(const QString &command) const
{
    return sendControl(controlPort, command);
}

QString DevServerProcess::sendControl(quint16 port, const QString &command)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(3000))
        return QStringLiteral("<no connection>");
    s.write(command.toUtf8() + '\n');
    while (!s.canReadLine()) {
        if (!s.waitForReadyRead(5000))
            return QStringLiteral("<no reply>");
    }
    return QString::fromUtf8(s.readLine()).trimmed();
}

QStringList DevServerProcess::requests() const
{
    QStringList out;
    const QJsonArray a = QJsonDocument::fromJson(control(QStringLiteral("requests")).toUtf8()).array();
    for (const auto &v : a)
        out.append(v.toString());
    return out;
}

QString DevServerProcess::httpBase() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(httpPort);
}
