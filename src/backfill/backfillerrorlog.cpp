#include "backfill/backfillerrorlog.h"

#include "platform/installpaths.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>

bool BackfillErrorLog::open()
{
    if (m_file.isOpen())
        return true;
    QDir().mkpath(InstallPaths::backfillWorkDir());
    m_file.setFileName(InstallPaths::backfillErrorLog());
    if (m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return true;
    qDebug() << "Backfill error log: cannot open" << m_file.fileName() << m_file.errorString();
    return false;
}

void BackfillErrorLog::write(const QString &message, const QString &path)
{
    const QString line = QDateTime::currentDateTime().toString(Qt::ISODate) + message + path;
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    // On a full disk the log may not take the line either: then it goes to the debug output.
    if (!open() || m_file.write(bytes) != bytes.size() || !m_file.flush())
        qDebug().noquote() << "Backfill error log:" << line;
}

void BackfillErrorLog::append(const QString &message, const QString &path)
{
    BackfillErrorLog log;
    log.write(message, path);
}
