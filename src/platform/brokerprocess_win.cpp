#include "platform/brokerprocess.h"

#include <QDebug>
#include <QProcess>
#include <QStringList>

namespace BrokerProcess {

qint64 endBroker()
{
    qint64 pid = 0;
    if (!QProcess::startDetached(QStringLiteral("taskkill"),
                                 {QStringLiteral("/F"), QStringLiteral("/IM"),
                                  QStringLiteral("Broker.exe"), QStringLiteral("/T")},
                                 QString(), &pid)) {
        qDebug() << "taskkill could not be started";
        return 0;
    }
    return pid;
}

} // namespace BrokerProcess
