#pragma once

#include <QObject>
#include <QVariant>
#include <QVariantList>
#include <atomic>
#include <functional>
#include <memory>

class BrokerAutomation;
class QThread;

// The thread every call into the charting program is made in. The charting program serves
// its automation calls on its own UI thread, and a busy one (an exploration, a backtest)
// takes seconds or minutes to answer; made from the GUI thread, such a call froze the
// whole window for that long.
//
// The thread sets up its BrokerApartment, makes the automation object and then runs an
// event loop (on Windows it pumps the messages COM needs). Work is posted to it and runs
// there one job after another, in the order posted. Nothing here waits for the charting
// program unless asked to: callAndWait() does, with a bound, for the close sequence and
// for the backfill worker.
class BrokerThread : public QObject
{
    Q_OBJECT
public:
    struct State;
    // How long the close sequence waits for one call before it goes on without the answer.
    static constexpr int kCloseCallBoundMs = 10000;
    // How long shutdown() waits for the thread to finish its current call.
    static constexpr int kShutdownBoundMs = 3000;

    using Job = std::function<void(BrokerAutomation *)>;

    explicit BrokerThread(QObject *parent = nullptr);
    // shutdown(kShutdownBoundMs).
    ~BrokerThread() override;

    // Starts the thread; the automation object is made there before the first job runs.
    void start();

    // Any thread: runs job in the broker thread with the automation object (null when it
    // could not be made), after every job posted before it. Dropped once shut down.
    void post(Job job);
    // Any thread: the call, its answer ignored.
    void call(const QByteArray &function, const QVariantList &args = {});
    // Any thread but the broker thread (there it calls directly): makes the call and waits
    // at most timeoutMs (negative: until shut down) for its answer. Null when the call
    // failed, timed out (*timedOut true) or the thread was shut down meanwhile.
    QVariant callAndWait(const QByteArray &function, const QVariantList &args, int timeoutMs,
                         bool *timedOut = nullptr);
    // Any thread: runs job in the broker thread and waits for it like callAndWait.
    bool runAndWait(const Job &job, int timeoutMs, bool *timedOut = nullptr);

    // The thread the automation object and the objects working with it live in.
    QThread *thread() const { return m_thread; }
    bool isBrokerThread() const;
    // The automation object, once made (null before, and when it could not be made). It
    // belongs to the broker thread: other threads may only read what it publishes.
    BrokerAutomation *automation() const;
    // Waits (any thread but the broker thread) until the automation object has been made or
    // found missing; false when that did not happen within timeoutMs.
    bool waitUntilReady(int timeoutMs);

    // Abandons the automation object (a call that can give up returns), stops taking work,
    // ends the thread's loop and waits at most boundMs for the thread to finish. A thread
    // still inside a call after that is left to finish on its own, and the process may end
    // with it: nothing of this object is touched by it any more. Waiters are released.
    void shutdown(int boundMs);
    bool isShutDown() const { return m_closing.load(); }

private:
    std::shared_ptr<State> m_state;
    QThread *m_thread = nullptr;
    std::atomic<bool> m_closing{false};
};
