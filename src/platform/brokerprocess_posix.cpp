#include "platform/brokerprocess.h"

#include "platform/installpaths.h"

#include <QDebug>
#include <QDir>
#include <QFile>

namespace BrokerProcess {

void endBroker(QObject *parent)
{
    Q_UNUSED(parent)
    const QString dir = InstallPaths::databaseDir();
    QDir().mkpath(dir);
    QFile log(dir + QStringLiteral("/broker-process.log"));
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        qDebug() << "Cannot record the end of the charting program in" << log.fileName() << ":"
                 << log.errorString();
        return;
    }
    log.write("EndBroker\n");
    qDebug() << "EndBroker: the charting program stand-in is asked to end";
}

} // namespace BrokerProcess
