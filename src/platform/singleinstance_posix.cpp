#include "platform/singleinstance.h"

#include "platform/installpaths.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SingleInstance {

bool waitForProcessEnd(qint64 pid, int waitMs)
{
    const QDeadlineTimer deadline(waitMs);
    while (::kill(pid_t(pid), 0) == 0 || errno == EPERM) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

namespace {

// The descriptor that holds the lock, open until the process ends (closed on exec, so no
// child the program starts keeps it after the program is gone).
int g_fd = -1;

// No link is followed, and no open can hang (a FIFO) or take a terminal.
constexpr int kOpenFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

QString whatItIs(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("is a folder");
    if (S_ISLNK(mode))
        return QStringLiteral("is a link");
    return QStringLiteral("is not a regular file");
}

QString openErrorText(int error)
{
    switch (error) {
    case EISDIR:
        return whatItIs(S_IFDIR);
    case ELOOP:
        return whatItIs(S_IFLNK);
    case ENOENT:
    case EROFS:
        return QStringLiteral("cannot be created because its folder cannot be written");
    case EACCES:
    case EPERM:
        return QStringLiteral("cannot be opened by this user");
    default:
        return QStringLiteral("cannot be opened (%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
    }
}

// For people who look at the file; nothing reads it back.
void writeOwner(int fd)
{
    const QByteArray text = QByteArray::number(QCoreApplication::applicationPid()) + "\nVantrel\n"
        + QSysInfo::machineHostName().toUtf8() + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.constData(), size_t(text.size()), 0) != text.size())
        qDebug("SingleInstance: the lock file's owner line was not written: %s", std::strerror(errno));
}

} // namespace

void releaseLock()
{
    if (g_fd >= 0)
        ::close(g_fd); // ends the lock; the file stays (removing it would race the next copy)
    g_fd = -1;
}

Claim acquire(int waitMs, QString *problem)
{
    const QString path = InstallPaths::instanceLockFile();
    const QByteArray native = QFile::encodeName(path);
    const auto refuse = [&](const QString &why) {
        *problem = QStringLiteral("The lock file %1 %2.\nRemove it, or make its folder writable, then start Vantrel again.")
                       .arg(QDir::toNativeSeparators(path), why);
        return Claim::Unusable;
    };

    // Looked at first so that not even a device is opened; the open itself follows no link.
    struct stat st;
    if (::lstat(native.constData(), &st) == 0 && !S_ISREG(st.st_mode))
        return refuse(whatItIs(st.st_mode));

    QDir().mkpath(InstallPaths::rootSlash());
    bool writable = true;
    int fd = ::open(native.constData(), O_RDWR | O_CREAT | kOpenFlags, 0644);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        // A read-only root: flock() needs no write access, only an existing file.
        writable = false;
        fd = ::open(native.constData(), O_RDONLY | kOpenFlags);
    }
    if (fd < 0)
        return refuse(openErrorText(errno));
    Descriptor held(fd);
    if (::fstat(fd, &st) != 0)
        return refuse(QStringLiteral("cannot be examined (%1)").arg(QString::fromLocal8Bit(std::strerror(errno))));
    if (!S_ISREG(st.st_mode))
        return refuse(whatItIs(st.st_mode));

    const QDeadlineTimer deadline(qMax(0, waitMs));
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return refuse(QStringLiteral("cannot be locked (%1)").arg(QString::fromLocal8Bit(std::strerror(errno))));
        if (deadline.hasExpired())
            return Claim::Taken;
        QThread::msleep(50);
    }
    // A file with other names is left as it is: truncating it would change those too.
    if (writable && st.st_nlink == 1)
        writeOwner(fd);
    g_fd = held.release();
    return Claim::Held;
}

} // namespace SingleInstance
