#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Disk work done behind the thread that produces the data: the feed thread hands over and
// goes on, and a thread of this object's own writes when the work is due. The work says
// when it wants to run again; requests from any thread bring it forward. Runs are at least
// minGapMs apart, so a fast producer costs one write per gap, not one per item.
//
// The thread starts with the first request and is ended (after one last run when one is
// due) by the destructor.
class WriteBehind
{
public:
    // work returns in how many ms it wants to run again, or a negative number for "only
    // when asked".
    explicit WriteBehind(std::function<int()> work, int minGapMs = 0);
    ~WriteBehind();
    WriteBehind(const WriteBehind &) = delete;
    WriteBehind &operator=(const WriteBehind &) = delete;

    // Any thread: run within `ms` (an earlier request wins over a later one).
    void requestWithin(int ms);

private:
    using Clock = std::chrono::steady_clock;
    void loop();
    bool dueAtLocked(Clock::time_point at);

    std::function<int()> m_work;
    const std::chrono::milliseconds m_minGap;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_due = false;
    Clock::time_point m_dueAt;
    Clock::time_point m_lastRun;
    std::thread m_thread;
};
