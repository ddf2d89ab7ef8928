#include "platform/singleinstance.h"

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
HANDLE mutex = nullptr;
} // namespace

void releaseLock()
{
    if (!mutex)
        return;
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    mutex = nullptr;
}

bool acquire(int waitMs)
{
    mutex = CreateMutexW(nullptr, FALSE, L"Global\\Vantrel.SingleInstance");
    if (!mutex) {
        qDebug() << "SingleInstance: CreateMutexW failed with" << GetLastError() << "; starting without it";
        return true;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        qDebug() << "SingleInstance: another copy exists; waiting up to" << waitMs << "ms";
    const DWORD r = WaitForSingleObject(mutex, DWORD(waitMs));
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED)
        return true;
    CloseHandle(mutex);
    mutex = nullptr;
    return false;
}

} // namespace SingleInstance
