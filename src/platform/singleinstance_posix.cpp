#include "platform/singleinstance.h"

#include "platform/installpaths.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QDir>
#include <QLockFile>
#include <QThread>

#include <memory>

#include <cerrno>
#include <csignal>

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
// Lives until the process ends; a copy that crashes leaves a lock naming a dead process,
// which the next copy takes over.
std::unique_ptr<QLockFile> &lock()
{
    static std::unique_ptr<QLockFile> held;
    return held;
}
} // namespace

void releaseLock() { lock().reset(); }

bool acquire(int waitMs)
{
    auto &lock = SingleInstance::lock();
    QDir().mkpath(InstallPaths::rootSlash());
    lock = std::make_unique<QLockFile>(InstallPaths::instanceLockFile());
    lock->setStaleLockTime(0); // a long-running copy is never stale, only a dead one
    if (lock->tryLock(waitMs))
        return true;
    const QLockFile::LockError error = lock->error();
    lock.reset();
    if (error == QLockFile::LockFailedError)
        return false;
    qDebug() << "SingleInstance: the lock file" << InstallPaths::instanceLockFile()
             << "cannot be used (error" << error << "); starting without it";
    return true;
}

} // namespace SingleInstance
