#pragma once

#include "platform/childprocess.h"

#include <QStringList>

// A vantrel-devserver process on free ports (WebSocket, control and, when asked, HTTP),
// ready once it has printed its listening lines; stopped with the object, and killed by the
// system when the test dies (a timed-out test leaves no server holding the ports).
class DevServerProcess
{
public:
    ~DevServerProcess();

    bool start(const QStringList &extraArguments, bool withHttp = true);
    void stop();
    // One control command; its reply line (or "<no connection>" / "<no reply>").
    QString control(const QString &command) const;
    static QString sendControl(quint16 port, const QString &command);
    // The HTTP request lines the server has seen, oldest first.
    QStringList requests() const;
    QString httpBase() const; // "http://127.0.0.1:<port>"

    quint16 wsPort = 0;
    quint16 controlPort = 0;
    quint16 httpPort = 0;
    QString output;

private:
    ChildProcess m_proc;
};
