// How the clock thread spends the time until its next tick is due, without spinning a core.
//
// Where the system has a high-resolution waitable timer, the thread sleeps on it until a short guard before the
// deadline and yields through the rest, so it wakes on time without burning the period. The guard follows how
// late the timer has recently woken the thread (a peak that decays), and never exceeds a twenty-fifth of the
// period, which bounds the CPU the last stretch may cost. Without such a timer (systems before Windows 10 1803,
// or a timer that fails) the thread keeps the older rule: sleep 1 ms while more than 1.5 ms remain, then yield;
// with a period of 1.5 ms or less, return at once and let the caller poll.
//
// Threads: one ClockWait per clock thread, created, used and closed on that thread. Open creates a kernel object
// and is not real-time; Wait allocates nothing and takes no lock.
#pragma once

#include <cstdint>

#include "platform/win32.h"

class ClockWait {
public:
    ClockWait() = default;
    ~ClockWait() { Close(); }
    ClockWait(const ClockWait&) = delete;
    ClockWait& operator=(const ClockWait&) = delete;

    // countsPerSecond is the performance counter's frequency, periodCounts the tick period in its counts. With
    // allowTimer false (or no timer available) the older sleep-and-yield rule is used.
    void Open(int64_t countsPerSecond, int64_t periodCounts, bool allowTimer = true);
    void Close();
    bool UsesTimer() const { return timer != nullptr; }

    // Clock thread: called when the next tick is remainingCounts (> 0) away. Returns early or on time; the
    // caller reads the counter again and decides.
    void Wait(int64_t remainingCounts);

    // The present guard in counts, for measurements.
    int64_t GuardCounts() const;

private:
    void WaitBySleeping(int64_t remainingCounts) const;
    bool WaitOnTimer(int64_t counts);

    HANDLE timer = nullptr;
    int64_t frequency = 10000000;
    int64_t period = 0;
    int64_t lateness = 0;  // recent peak of the timer's wake-up lateness, counts; decays by 1/32 per wait
    int64_t minimumGuard = 0;
    int64_t maximumGuard = 0;
};
