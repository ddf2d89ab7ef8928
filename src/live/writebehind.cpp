#include "live/writebehind.h"

#include <algorithm>

WriteBehind::WriteBehind(std::function<int()> work, int minGapMs)
    : m_work(std::move(work)), m_minGap(minGapMs)
{
}

WriteBehind::~WriteBehind()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

bool WriteBehind::dueAtLocked(Clock::time_point at)
{
    if (m_due && m_dueAt <= at)
        return false;
    m_due = true;
    m_dueAt = at;
    return true;
}

void WriteBehind::requestWithin(int ms)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop)
            return;
        // A run already due as soon needs no wake-up: the producer pays one lock, no system call.
        if (!dueAtLocked(Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms)))
            return;
        if (!m_thread.joinable())
            m_thread = std::thread([this] { loop(); });
    }
    m_wake.notify_one();
}

void WriteBehind::loop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_stop && !m_due)
            return;
        if (!m_due) {
            m_wake.wait(lock);
            continue;
        }
        const Clock::time_point at = m_stop ? Clock::now() : std::max(m_dueAt, m_lastRun + m_minGap);
        if (Clock::now() < at) {
            m_wake.wait_until(lock, at);
            continue;
        }
        m_due = false;
        m_lastRun = Clock::now();
        lock.unlock();
        const int again = m_work();
        lock.lock();
        if (m_stop)
            return; // the last run was made
        if (again >= 0)
            dueAtLocked(Clock::now() + std::chrono::milliseconds(again));
    }
}
