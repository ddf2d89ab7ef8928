#include "platform/statefile.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace StateFile {

namespace {

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    return QStringLiteral("not a regular file");
}

} // namespace

bool open(QFile *file, const QString &path, Access access, QString *error)
{
    // O_NOFOLLOW: a link at the name fails (ELOOP) instead of being followed. O_NONBLOCK:
    // a FIFO opens at once instead of waiting for a writer, and is then refused below.
    int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    switch (access) {
    case Access::Read:
        flags |= O_RDONLY;
        break;
    case Access::ReadWrite:
        flags |= O_RDWR;
        break;
    case Access::Create:
        flags |= O_RDWR | O_CREAT;
        break;
    }
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), flags, 0644);
    if (fd < 0) {
        const int e = errno;
        *error = e == ELOOP ? QStringLiteral("a symbolic link") : QString::fromLocal8Bit(std::strerror(e));
        return false;
    }
    struct stat st = {};
    const bool statted = ::fstat(fd, &st) == 0;
    if (!statted || !S_ISREG(st.st_mode)) {
        *error = statted ? kindOf(st.st_mode) : QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    // A regular file's reads and writes never wait on another process; back to plain I/O.
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0)
        ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    const QIODevice::OpenMode mode =
        (access == Access::Read ? QIODevice::ReadOnly : QIODevice::ReadWrite) | QIODevice::Unbuffered;
    if (!file->open(fd, mode, QFileDevice::AutoCloseHandle)) {
        *error = file->errorString();
        ::close(fd);
        return false;
    }
    return true;
}

bool syncToDisk(QFile *file) { return ::fsync(file->handle()) == 0; }

bool renameOver(const QString &from, const QString &to, QString *error)
{
    // rename(2) replaces the directory entry `to` itself, whatever it is (a link included).
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

} // namespace StateFile
