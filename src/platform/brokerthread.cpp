#include "platform/brokerthread.h"

#include "platform/brokerautomation.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QWaitCondition>

// What the thread itself touches. Shared, so a thread left inside a call by shutdown()
// never reaches into a BrokerThread that is gone.
struct BrokerThread::State
{
    QMutex mutex;
    QWaitCondition changed;
    bool made = false; // the automation object has been made or found missing
    std::atomic<BrokerAutomation *> automation{nullptr};
    std::shared_ptr<std::atomic<bool>> closing = std::make_shared<std::atomic<bool>>(false);
    QMutex contextMutex;        // guards context against its deletion at the thread's end
    QObject *context = nullptr; // lives in the thread; jobs are queued to it
};

namespace {

// How often a waiter looks whether the thread was shut down meanwhile.
constexpr int kWaiterPollMs = 100;

class BrokerThreadBody : public QThread
{
public:
    explicit BrokerThreadBody(std::shared_ptr<BrokerThread::State> state) : m_state(std::move(state)) {}

protected:
    void run() override;

private:
    std::shared_ptr<BrokerThread::State> m_state;
};

struct Waiter
{
    QMutex mutex;
    QWaitCondition done;
    bool finished = false;
    QVariant result;
};

} // namespace

void BrokerThreadBody::run()
{
    {
        // The apartment is set up before the object is made and undone after it is gone.
        BrokerApartment apartment;
        std::unique_ptr<BrokerAutomation> automation;
        if (apartment.isReady() && !m_state->closing->load())
            automation = BrokerAutomation::create();
        if (automation)
            automation->setAbandonFlag(m_state->closing);
        m_state->automation.store(automation.get());
        {
            QMutexLocker lock(&m_state->mutex);
            m_state->made = true;
            m_state->changed.wakeAll();
        }
        if (!automation)
            qDebug() << "Broker thread: no automation object; calls into the charting program fail";

        exec();

        // Jobs still queued are dropped with their context.
        {
            QMutexLocker lock(&m_state->contextMutex);
            delete m_state->context;
            m_state->context = nullptr;
        }
        m_state->automation.store(nullptr);
        automation.reset();
    }
}

BrokerThread::BrokerThread(QObject *parent)
    : QObject(parent), m_state(std::make_shared<State>())
{
    // Made here, started by start(): objects can be moved into the thread before it runs.
    auto *body = new BrokerThreadBody(m_state);
    body->setObjectName(QStringLiteral("broker"));
    m_state->context = new QObject;
    m_state->context->moveToThread(body);
    m_thread = body;
}

BrokerThread::~BrokerThread() { shutdown(kShutdownBoundMs); }

void BrokerThread::start()
{
    if (m_thread && !m_closing.load() && !m_thread->isRunning() && !m_thread->isFinished())
        m_thread->start();
}

bool BrokerThread::isBrokerThread() const
{
    return m_thread && QThread::currentThread() == m_thread;
}

void BrokerThread::post(Job job)
{
    if (!m_thread || m_closing.load())
        return;
    std::shared_ptr<State> state = m_state;
    QMutexLocker lock(&m_state->contextMutex);
    if (!m_state->context)
        return;
    QMetaObject::invokeMethod(
        m_state->context,
        [state, job = std::move(job)] {
            if (!state->closing->load())
                job(state->automation.load());
        },
        Qt::QueuedConnection);
}

void BrokerThread::call(const QByteArray &function, const QVariantList &args)
{
    post([function, args](BrokerAutomation *a) {
        if (a)
            a->dynamicCall(function.constData(), args);
    });
}

bool BrokerThread::runAndWait(const Job &job, int timeoutMs, bool *timedOut)
{
    if (timedOut)
        *timedOut = false;
    if (isBrokerThread()) {
        job(automation());
        return true;
    }
    if (!m_thread || m_closing.load())
        return false;
    auto waiter = std::make_shared<Waiter>();
    post([waiter, job](BrokerAutomation *a) {
        job(a);
        QMutexLocker lock(&waiter->mutex);
        waiter->finished = true;
        waiter->done.wakeAll();
    });
    const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                  : QDeadlineTimer(qint64(timeoutMs));
    QMutexLocker lock(&waiter->mutex);
    while (!waiter->finished && !m_closing.load() && !deadline.hasExpired()) {
        const qint64 left = deadline.remainingTime();
        waiter->done.wait(&waiter->mutex, ulong(left < 0 || left > kWaiterPollMs ? kWaiterPollMs : left));
    }
    if (!waiter->finished && timedOut)
        *timedOut = !m_closing.load();
    return waiter->finished;
}

QVariant BrokerThread::callAndWait(const QByteArray &function, const QVariantList &args,
                                   int timeoutMs, bool *timedOut)
{
    // The answer is written by the broker thread even after the waiter gave up, so it
    // lives in a shared cell, not on this stack.
    auto answer = std::make_shared<QVariant>();
    auto guard = std::make_shared<QMutex>();
    const bool finished = runAndWait(
        [function, args, answer, guard](BrokerAutomation *a) {
            const QVariant r = a ? a->dynamicCall(function.constData(), args) : QVariant();
            QMutexLocker lock(guard.get());
            *answer = r;
        },
        timeoutMs, timedOut);
    if (!finished)
        return QVariant();
    QMutexLocker lock(guard.get());
    return *answer;
}

bool BrokerThread::waitUntilReady(int timeoutMs)
{
    if (!m_thread)
        return false;
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_state->mutex);
    while (!m_state->made && !deadline.hasExpired())
        m_state->changed.wait(&m_state->mutex, deadline);
    return m_state->made;
}

void BrokerThread::shutdown(int boundMs)
{
    if (m_closing.exchange(true))
        return;
    m_state->closing->store(true);
    if (!m_thread)
        return;
    if (!m_thread->isRunning() && !m_thread->isFinished()) {
        // Never started: its context was never taken over by a running thread.
        delete m_state->context;
        m_state->context = nullptr;
        delete m_thread;
        m_thread = nullptr;
        return;
    }
    m_thread->quit();
    if (m_thread->wait(ulong(boundMs < 0 ? 0 : boundMs))) {
        delete m_thread;
    } else {
        // Destroying a running QThread would abort the process; the thread is left to
        // finish its call, after which it ends and deletes nothing of ours.
        qDebug().noquote() << QStringLiteral("Broker thread still inside a call into the charting "
                                             "program after %1 ms; left to finish on its own")
                                  .arg(boundMs);
        QThread *left = m_thread;
        connect(left, &QThread::finished, left, &QObject::deleteLater);
    }
    m_thread = nullptr;
}

BrokerAutomation *BrokerThread::automation() const { return m_state->automation.load(); }
