#include "platform/singleinstance.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>

#include <atomic>

namespace SingleInstance {

namespace {
std::atomic<int> g_testWaitMs{0};
bool g_held = false;
QString g_problem;
} // namespace

QString problem() { return g_problem; }

void setWaitForTests(int ms) { g_testWaitMs.store(ms > 0 ? ms : 0); }

int defaultWaitMs()
{
    const int ms = g_testWaitMs.load();
    return ms > 0 ? ms : kWaitMs;
}

void release()
{
    if (g_held)
        releaseLock();
    g_held = false;
}

qint64 takeHandOverPid()
{
    const QByteArray name = handOverVariable().toLatin1();
    const QByteArray value = qgetenv(name.constData()).trimmed();
    qunsetenv(name.constData()); // our own children are no hand-over
    if (value.isEmpty() || value.size() > 12)
        return 0;
    for (const char c : value) {
        if (c < '0' || c > '9')
            return 0;
    }
    const qint64 pid = value.toLongLong();
    return pid > 0 && pid != QCoreApplication::applicationPid() ? pid : 0;
}

Claim claim(int waitMs)
{
    if (g_held)
        return Claim::Held;
    g_problem.clear();
    QElapsedTimer clock;
    clock.start();
    if (const qint64 pid = takeHandOverPid()) {
        if (!waitForProcessEnd(pid, waitMs))
            qDebug() << "SingleInstance: the previous copy" << pid << "still runs after" << waitMs << "ms";
    }
    const Claim result = acquire(int(qMax<qint64>(0, waitMs - clock.elapsed())), &g_problem);
    g_held = result == Claim::Held;
    if (result == Claim::Taken)
        qDebug() << "SingleInstance: another copy holds the claim after" << clock.elapsed() << "ms";
    else if (result == Claim::Unusable)
        qDebug() << "SingleInstance: no claim can be had:" << g_problem;
    return result;
}

} // namespace SingleInstance
