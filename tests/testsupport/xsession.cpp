#include "xsession.h"

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

XSession::~XSession()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(5000))
            m_server.kill();
        m_server.waitForFinished(5000);
    }
}

bool XSession::start()
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
        m_error = QStringLiteral("xdotool is missing (scripts/install-deps.sh)");
        return false;
    }
    m_server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                            QStringLiteral("0"), QStringLiteral("1280x800x24"),
                                            QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!m_server.waitForStarted(5000)) {
        m_error = QStringLiteral("Xvfb does not start: ") + m_server.errorString();
        return false;
    }
    QByteArray number;
    while (!number.contains('\n') && m_server.waitForReadyRead(10000))
        number += m_server.readAllStandardOutput();
    bool ok = false;
    number.trimmed().toInt(&ok);
    if (!ok) {
        m_error = QStringLiteral("Xvfb named no display: ") + QString::fromLocal8Bit(number);
        return false;
    }
    m_display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    return true;
}

QStringList XSession::variables() const
{
    return {QStringLiteral("QT_QPA_PLATFORM=xcb"), QStringLiteral("DISPLAY=") + m_display};
}

QByteArray XSession::xdotool(const QStringList &args) const
{
    QProcess x;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("DISPLAY"), m_display);
    x.setProcessEnvironment(e);
    x.start(QStringLiteral("xdotool"), args);
    if (!x.waitForFinished(15000)) {
        x.kill();
        x.waitForFinished(2000);
        return {};
    }
    return x.exitCode() == 0 ? x.readAllStandardOutput() : QByteArray();
}

QByteArray XSession::findWindow(const QString &title, int timeoutMs) const
{
    QElapsedTimer waited;
    waited.start();
    do {
        const QByteArray ids = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), title});
        const QByteArray first = ids.split('\n').first().trimmed();
        if (!first.isEmpty())
            return first;
        QThread::msleep(200);
    } while (waited.elapsed() < timeoutMs);
    return {};
}

QSize XSession::windowSize(const QString &title) const
{
    const QByteArray id = findWindow(title);
    if (id.isEmpty())
        return {};
    const QByteArray g = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), QString::fromLatin1(id)});
    auto value = [&g](const char *name) {
        const int at = g.indexOf(name);
        return at < 0 ? -1 : g.mid(at + int(qstrlen(name))).split('\n').first().toInt();
    };
    return QSize(value("WIDTH="), value("HEIGHT="));
}

bool XSession::clickIn(const QString &title, int x, int y) const
{
    const QByteArray id = findWindow(title);
    if (id.isEmpty())
        return false;
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), QString::fromLatin1(id), QString::number(x),
             QString::number(y), QStringLiteral("click"), QStringLiteral("1")});
    return true;
}

void XSession::key(const QString &keys) const { xdotool({QStringLiteral("key"), keys}); }

void XSession::type(const QString &text) const
{
    xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text});
}
