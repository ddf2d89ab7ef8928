#include "control.h"

#include <QDebug>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
// A control line is a few words; anything longer is a confused client, not a command.
constexpr qint64 kMaxLineBytes = 4096;
}

Control::Control(QObject *parent)
    : QObject(parent)
{
    addCommand(QStringLiteral("help"), QStringLiteral("help"), [this](const QStringList &) {
        QStringList usages;
        for (const QString &name : qAsConst(m_order))
            usages.append(m_commands.value(name).usage);
        return QStringLiteral("ok ") + usages.join(QStringLiteral(" | "));
    });
}

void Control::addCommand(const QString &name, const QString &usage, Handler handler)
{
    if (!m_commands.contains(name))
        m_order.append(name);
    m_commands.insert(name, Command{usage, std::move(handler)});
}

bool Control::listen(quint16 port, QString *error)
{
    m_server = new QTcpServer(this);
    connect(m_server, &QTcpServer::newConnection, this, &Control::onNewConnection);
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        if (error)
            *error = QStringLiteral("cannot listen for control on 127.0.0.1:%1: %2")
                         .arg(port)
                         .arg(m_server->errorString());
        return false;
    }
    return true;
}

quint16 Control::serverPort() const
{
    return m_server ? m_server->serverPort() : 0;
}

void Control::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, &Control::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void Control::onReadyRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    while (socket->canReadLine()) {
        const QString line = QString::fromUtf8(socket->readLine()).trimmed();
        if (line.isEmpty())
            continue;
        const QString reply = execute(line);
        socket->write(reply.toUtf8() + '\n');
        socket->flush();
    }
    if (socket->bytesAvailable() > kMaxLineBytes) {
        socket->write("error: line too long\n");
        socket->disconnectFromHost();
    }
}

QString Control::execute(const QString &line)
{
    static const QRegularExpression spaces(QStringLiteral("\\s+"));
    QStringList words = line.split(spaces, Qt::SkipEmptyParts);
    if (words.isEmpty())
        return QStringLiteral("error: empty command");
    const QString name = words.takeFirst().toLower();
    const auto it = m_commands.constFind(name);
    if (it == m_commands.constEnd())
        return QStringLiteral("error: unknown command %1 (try help)").arg(name);
    const QString reply = it->handler(words);
    qInfo().noquote() << "vantrel-devserver: control" << line << "->" << reply.left(200);
    return reply;
}
