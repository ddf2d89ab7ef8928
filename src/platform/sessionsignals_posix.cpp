#include "platform/sessionsignals.h"

#include <QDebug>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// One pair for the whole process; the handler may only write a byte.
int g_pipe[2] = {-1, -1};

void onSignal(int sig)
{
    const char c = static_cast<char>(sig);
    const ssize_t ignored = ::write(g_pipe[1], &c, 1);
    (void)ignored;
}

bool ensurePipe()
{
    if (g_pipe[0] >= 0)
        return true;
    return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) == 0;
}
} // namespace

SessionSignals::SessionSignals(QObject *parent)
    : QObject(parent)
{
    if (!ensurePipe()) {
        qDebug() << "SessionSignals: no socket pair; session signals keep their default action";
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SessionSignals::onReadable);

    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

SessionSignals::~SessionSignals()
{
    // Back to the default action: with no receiver a signal must end the process again.
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

void SessionSignals::onReadable()
{
    char c = 0;
    if (::read(g_pipe[0], &c, 1) != 1)
        return;
    if (c == SIGHUP) {
        qDebug() << "SessionSignals: restart requested";
        emit restartRequested();
    } else {
        qDebug() << "SessionSignals: close requested";
        emit closeRequested();
    }
}
