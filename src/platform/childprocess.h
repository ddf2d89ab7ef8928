#pragma once

#include <QProcess>

// A QProcess for outside helper programs (the archivers) that must neither outlive this
// program nor wait for a keyboard. Its standard input is the null device, so a tool that
// asks a question reads end-of-file instead of waiting. On POSIX the child runs in a
// session of its own (no controlling terminal, so nothing can prompt on /dev/tty) and gets
// SIGKILL when this program dies; on Windows it runs in a job object that ends it, and
// whatever it started, when the job's handle closes with this program.
class ChildProcess : public QProcess
{
    Q_OBJECT
public:
    explicit ChildProcess(QObject *parent = nullptr);
    ~ChildProcess() override;

    // Ends the program and everything it started, and waits (a few seconds at most) for
    // its end, so the object can be started again at once. Its finished() is delivered
    // during the call.
    void killTree();

protected:
#ifndef Q_OS_WIN
    void setupChildProcess() override;
#endif

private:
    void bindToProgram();
    void releaseTree();
    void endAndWait();

    // The job object of the running program (Windows only).
    void *m_job = nullptr;
    // This program's process ID, read by the child between fork and exec.
    qint64 m_parentPid = 0;
};
