#include "platform/childprocess.h"

#include <csignal>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

// Runs in the child between fork and exec: only async-signal-safe calls.
void ChildProcess::setupChildProcess()
{
    // A session of its own: no controlling terminal to prompt on, and a process group the
    // whole tree of which killTree() can reach.
    ::setsid();
#ifdef __linux__
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // This program may have died before the line above took effect.
    if (::getppid() != pid_t(m_parentPid))
        ::_exit(127);
#endif
}

void ChildProcess::bindToProgram() {}

void ChildProcess::releaseTree() {}

void ChildProcess::killTree()
{
    const qint64 pid = processId();
    // The child leads its own process group (setsid above): end its helpers too.
    if (pid > 0 && state() != NotRunning)
        ::kill(-pid_t(pid), SIGKILL);
    endAndWait();
}
