#include "platform/brokerprocess.h"

#include "platform/systemprograms.h"

#include <QDebug>
#include <QProcess>
#include <QStringList>

namespace BrokerProcess {

qint64 endBroker()
{
    qint64 pid = 0;
    if (!QProcess::startDetached(SystemPrograms::path(QStringLiteral("taskkill.exe")),
                                 {QStringLiteral("/F"), QStringLiteral("/IM"),
                                  QStringLiteral("Broker.exe"), QStringLiteral("/T")},
                                 QString(), &pid)) {
        qDebug() << "taskkill could not be started";
        return 0;
    }
    return pid;
}

} // namespace BrokerProcess
