#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>

class TestEnv;

// One run of the built Vantrel in a test's installation root and settings store: started
// with TestEnv::appEnvironment() and the variables given, its output and errors collected
// as they come, asked to close as the session asks (SIGTERM) or killed. A run still going
// when the object goes (a failed check returned early) is killed, so no copy outlives its
// test.
class AppRun
{
public:
    // What the program prints once its main window is shown.
    static constexpr const char *kShown = "main window shown";

    // `variables` are "NAME=value" pairs added to (or replacing) the test's environment.
    explicit AppRun(const TestEnv &env, const QStringList &variables = {});
    ~AppRun();
    AppRun(const AppRun &) = delete;
    AppRun &operator=(const AppRun &) = delete;

    void setVariable(const QString &name, const QString &value);
    // Starts the program (through `wrapper`, a program and its arguments, when one is
    // given); true once it runs.
    bool start(const QStringList &wrapper = {});

    // Reads the output until `done` holds, the program has ended or `timeoutMs` passed,
    // looking every `pollMs` at most; whether `done` held.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs, int pollMs = 200);
    // Until `marker` has come `count` times in all.
    bool waitForOutput(const QByteArray &marker, int timeoutMs = 30000, int count = 1);
    bool waitForShown(int timeoutMs = 30000) { return waitForOutput(kShown, timeoutMs); }
    // Reads the output for `ms`, letting the program work meanwhile.
    void readFor(int ms);

    // Everything printed so far (what has come since the last look is read first).
    const QByteArray &output();
    // Its last part, for a failure message.
    QByteArray tail(int bytes = 3000) { return output().right(bytes); }

    // The boxes answered unattended, one "title|text" line each.
    QString boxLog() const;
    QStringList boxes() const;

    void requestClose(); // the session's close request: SIGTERM, and the close sequence runs
    bool kill(); // SIGKILL; whether it has ended
    // Waits for the end: the exit code; -1 when it did not end in time (it is killed then),
    // -2 when it crashed or was killed, -3 when it never started.
    int waitForExit(int timeoutMs = 15000);
    int close(int timeoutMs = 15000)
    {
        requestClose();
        return waitForExit(timeoutMs);
    }

    bool running() const { return m_proc.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_proc.processId(); }
    QProcess &process() { return m_proc; }

private:
    QProcess m_proc;
    QProcessEnvironment m_env;
    QString m_boxLog;
    QByteArray m_out;
    bool m_started = false;
};
