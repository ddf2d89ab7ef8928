#include "platform/childprocess.h"

#include <QDebug>

#include <windows.h>

// Every started program gets a job object of its own that ends it, and whatever it
// starts, when the job's last handle closes: after the program's end (releaseTree), or
// when this program dies and the system closes its handles.
void ChildProcess::bindToProgram()
{
    releaseTree();
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) {
        qDebug() << "ChildProcess: no job object for" << program() << GetLastError();
        return;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(processId()));
    const bool bound = SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                               sizeof limits)
                       && process && AssignProcessToJobObject(job, process);
    const DWORD why = bound ? 0 : GetLastError();
    if (process)
        CloseHandle(process);
    if (!bound) {
        qDebug() << "ChildProcess: cannot bind" << program() << "to this program:" << why;
        CloseHandle(job);
        return;
    }
    m_job = job;
}

void ChildProcess::releaseTree()
{
    if (!m_job)
        return;
    CloseHandle(static_cast<HANDLE>(m_job));
    m_job = nullptr;
}

void ChildProcess::killTree()
{
    if (m_job && state() != NotRunning)
        TerminateJobObject(static_cast<HANDLE>(m_job), 1);
    endAndWait();
}
