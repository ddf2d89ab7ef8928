#include "platform/brokerprocess.h"

#include <QDebug>
#include <QProcess>

namespace BrokerProcess {

void endBroker(QObject *parent)
{
    auto *taskkill = new QProcess(parent);
    QObject::connect(taskkill, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                     taskkill, &QObject::deleteLater);
    QObject::connect(taskkill, &QProcess::errorOccurred, taskkill,
                     [taskkill](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart) {
                             qDebug() << "taskkill could not be started:" << taskkill->errorString();
                             taskkill->deleteLater();
                         }
                     });
    taskkill->start(QStringLiteral("taskkill"),
                    {QStringLiteral("/F"), QStringLiteral("/IM"), QStringLiteral("Broker.exe"),
                     QStringLiteral("/T")});
}

} // namespace BrokerProcess
