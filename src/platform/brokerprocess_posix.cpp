#include "platform/brokerprocess.h"

#include "platform/installpaths.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QStringList>

namespace BrokerProcess {

namespace {

// The folder and process ID travel as arguments ("$1", "$2"), never inside the script
// text, so no path can reach the shell as code.
const char kEndScript[] =
    "i=0; while kill -0 \"$1\" 2>/dev/null && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done; "
    "printf 'EndBroker\\n' >> \"$2\"";

} // namespace

qint64 endBroker()
{
    const QString dir = InstallPaths::databaseDir();
    QDir().mkpath(dir);
    const QString log = dir + QStringLiteral("/broker-process.log");
    qint64 pid = 0;
    if (!QProcess::startDetached(QStringLiteral("/bin/sh"),
                                 {QStringLiteral("-c"), QString::fromLatin1(kEndScript),
                                  QStringLiteral("vantrel-endbroker"),
                                  QString::number(QCoreApplication::applicationPid()), log},
                                 QString(), &pid)) {
        qDebug() << "EndBroker: the process that ends the charting program stand-in could not be started";
        return 0;
    }
    qDebug() << "EndBroker: the charting program stand-in ends with this process (watcher" << pid << ")";
    return pid;
}

} // namespace BrokerProcess
