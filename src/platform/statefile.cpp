#include "platform/statefile.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace StateFile {

bool read(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *error, bool *missing)
{
    bytes->clear();
    if (missing)
        *missing = false;
    // A dangling link is still something in the way, not a missing file.
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        if (missing)
            *missing = true;
        error->clear();
        return false;
    }
    QFile file;
    if (!open(&file, path, Access::Read, error))
        return false;
    if (file.size() > maxBytes) {
        *error = QStringLiteral("%1 bytes, more than the %2 such a file can hold").arg(file.size()).arg(maxBytes);
        return false;
    }
    *bytes = file.read(maxBytes + 1);
    if (bytes->size() > maxBytes) {
        *error = QStringLiteral("more than the %1 bytes such a file can hold").arg(maxBytes);
        bytes->clear();
        return false;
    }
    return true;
}

bool replace(const QString &path, const QByteArray &bytes, QString *error)
{
    // The temporary name is made exclusively (never through an existing name).
    QTemporaryFile tmp(path + QStringLiteral(".XXXXXX"));
    if (!tmp.open()) {
        *error = tmp.errorString();
        return false;
    }
    if (tmp.write(bytes) != bytes.size() || !tmp.flush() || !syncToDisk(&tmp)) {
        *error = tmp.errorString();
        return false;
    }
    tmp.close();
    if (!renameOver(tmp.fileName(), path, error))
        return false; // the temporary file goes with `tmp`
    tmp.setAutoRemove(false);
    return true;
}

QString describe(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return QStringLiteral("a symbolic link");
    if (!info.exists() || info.isFile())
        return {};
    if (info.isDir())
        return QStringLiteral("a folder");
    return QStringLiteral("a FIFO, socket or device");
}

} // namespace StateFile
