#include "platform/processlist.h"

#include <QDebug>
#include <QProcess>

namespace ProcessList {

QByteArray snapshot()
{
    QProcess tasklist;
    tasklist.start(QStringLiteral("tasklist"), QStringList());
    if (!tasklist.waitForStarted(30000)) {
        qDebug() << "tasklist could not be started:" << tasklist.errorString();
        return QByteArray();
    }
    if (!tasklist.waitForFinished(30000)) {
        qDebug() << "tasklist did not finish within 30000 ms";
        tasklist.kill();
        tasklist.waitForFinished(1000);
        return QByteArray();
    }
    return tasklist.readAllStandardOutput();
}

} // namespace ProcessList
