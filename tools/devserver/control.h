#pragma once

#include <QHash>
#include <QObject>
#include <QStringList>

#include <functional>

class QTcpServer;
class QTcpSocket;

// Line-based control port for tests and benchmarks, loopback only. Each line is a command
// name and space-separated arguments; each command gets exactly one reply line: "ok",
// "ok <detail>", a JSON object, or "error: <reason>". Each side of the server (WebSocket
// now, HTTP later) registers its own commands, so this class knows none of them.
class Control : public QObject
{
    Q_OBJECT
public:
    // Returns the reply line without its line feed. A handler reports a failure by
    // returning a text that starts with "error: ".
    using Handler = std::function<QString(const QStringList &args)>;

    explicit Control(QObject *parent = nullptr);

    void addCommand(const QString &name, const QString &usage, Handler handler);
    bool listen(quint16 port, QString *error);
    quint16 serverPort() const;

    // Runs one command line as if it came from the port; the reply is returned.
    QString execute(const QString &line);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    struct Command
    {
        QString usage;
        Handler handler;
    };
    QHash<QString, Command> m_commands;
    QStringList m_order;
    QTcpServer *m_server = nullptr;
};
