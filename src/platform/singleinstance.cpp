#include "platform/singleinstance.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>

#include <atomic>

namespace SingleInstance {

namespace {
std::atomic<int> g_testWaitMs{0};
bool g_held = false;
} // namespace

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

bool claim(int waitMs)
{
    if (g_held)
        return true;
    QElapsedTimer clock;
    clock.start();
    if (const qint64 pid = takeHandOverPid()) {
        if (!waitForProcessEnd(pid, waitMs))
            qDebug() << "SingleInstance: the previous copy" << pid << "still runs after" << waitMs << "ms";
    }
    g_held = acquire(int(qMax<qint64>(0, waitMs - clock.elapsed())));
    if (!g_held)
        qDebug() << "SingleInstance: another copy holds the claim after" << clock.elapsed() << "ms";
    return g_held;
}

} // namespace SingleInstance
