#include "platform/singleinstance.h"

#include <QDeadlineTimer>
#include <QDebug>

#include <qt_windows.h>

namespace SingleInstance {

bool waitForProcessEnd(qint64 pid, int waitMs)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return true; // gone already (or never ours to see)
    const DWORD r = WaitForSingleObject(process, DWORD(waitMs));
    CloseHandle(process);
    return r == WAIT_OBJECT_0;
}

namespace {
// Global: one copy per machine, whichever session started it, as the process list check
// counted every session's copies. Held until the process ends; a copy that dies releases
// it as abandoned, which the next one may take.
const wchar_t kMutexName[] = L"Global\\Vantrel.SingleInstance";
HANDLE mutex = nullptr;

DWORD remainingMs(const QDeadlineTimer &deadline)
{
    return DWORD(qMax<qint64>(0, deadline.remainingTime()));
}

Claim refuse(QString *problem, const char *what, DWORD error)
{
    *problem = QStringLiteral("The lock \"%1\" %2 (Windows error %3).\n"
                              "Sign out of Windows or restart it, then start Vantrel again.")
                   .arg(QString::fromWCharArray(kMutexName), QString::fromLatin1(what))
                   .arg(error);
    return Claim::Unusable;
}
} // namespace

void releaseLock()
{
    if (!mutex)
        return;
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    mutex = nullptr;
}

Claim acquire(int waitMs, QString *problem)
{
    const QDeadlineTimer deadline(qMax(0, waitMs));
    while (!(mutex = CreateMutexW(nullptr, FALSE, kMutexName))) {
        const DWORD error = GetLastError();
        // A copy started by another account made it with a security that keeps us out:
        // that copy runs.
        if (error != ERROR_ACCESS_DENIED)
            return refuse(problem, "cannot be created", error);
        if (deadline.hasExpired())
            return Claim::Taken;
        Sleep(100);
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        qDebug() << "SingleInstance: another copy exists; waiting up to" << remainingMs(deadline) << "ms";
    const DWORD r = WaitForSingleObject(mutex, remainingMs(deadline));
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED)
        return Claim::Held;
    const DWORD error = GetLastError();
    CloseHandle(mutex);
    mutex = nullptr;
    return r == WAIT_TIMEOUT ? Claim::Taken : refuse(problem, "cannot be waited for", error);
}

} // namespace SingleInstance
