#include "driver/clock_wait.h"

#include <algorithm>

namespace {

// The older rule's numbers: periods above 1.5 ms leave time to sleep, and while more than 1.5 ms remain a 1 ms
// sleep cannot overshoot (at a 10 MHz counter; scaled to other counter rates).
constexpr int64_t kSleepThresholdMicroseconds = 1500;

// The timer's due time is given in 100 ns units.
constexpr int64_t kHundredNanosecondsPerSecond = 10000000;

int64_t CountsFromMicroseconds(int64_t microseconds, int64_t countsPerSecond) {
    return microseconds * countsPerSecond / 1000000;
}

}  // namespace

void ClockWait::Open(int64_t countsPerSecond, int64_t periodCounts, bool allowTimer) {
    Close();
    frequency = std::max<int64_t>(1, countsPerSecond);
    period = std::max<int64_t>(1, periodCounts);
    // At least 10 µs before the deadline, at most a twenty-fifth of the period spent yielding: 4 % of a core.
    minimumGuard = CountsFromMicroseconds(10, frequency);
    maximumGuard = std::max<int64_t>(minimumGuard, period / 25);
    // Start by assuming the timer is as late as the guard may allow, and learn better from the first waits.
    lateness = maximumGuard;
    if (allowTimer)
        timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                       SYNCHRONIZE | TIMER_MODIFY_STATE);
}

void ClockWait::Close() {
    if (timer) CloseHandle(timer);
    timer = nullptr;
}

int64_t ClockWait::GuardCounts() const { return std::clamp(lateness + minimumGuard, minimumGuard, maximumGuard); }

// Clock thread from here on: no allocation, no lock, no printing.

void ClockWait::Wait(int64_t remainingCounts) {
    if (!timer) {
        WaitBySleeping(remainingCounts);
        return;
    }
    const int64_t guard = GuardCounts();
    if (remainingCounts <= guard) {
        // The last stretch: give the core to anyone who wants it, but stay ready.
        Sleep(0);
        return;
    }
    if (!WaitOnTimer(remainingCounts - guard)) {
        // A timer that cannot be set or waited on is given up for good: the older rule still keeps time.
        Close();
        WaitBySleeping(remainingCounts);
    }
}

bool ClockWait::WaitOnTimer(int64_t counts) {
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    // Negative: relative to now. At least one unit, since zero would be an absolute time long past.
    LARGE_INTEGER due{};
    due.QuadPart = -std::max<int64_t>(1, counts * kHundredNanosecondsPerSecond / frequency);
    if (!SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) return false;
    // Bounded, so that a timer that never fires cannot stop the clock: the period in milliseconds, plus margin.
    const DWORD bound = static_cast<DWORD>(std::min<int64_t>(10000, period * 1000 / frequency + 10));
    const DWORD result = WaitForSingleObject(timer, bound);
    if (result != WAIT_OBJECT_0) return false;
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const int64_t late = std::max<int64_t>(0, now.QuadPart - start.QuadPart - counts);
    lateness = std::max(late, lateness - lateness / 32);
    return true;
}

void ClockWait::WaitBySleeping(int64_t remainingCounts) const {
    const int64_t threshold = CountsFromMicroseconds(kSleepThresholdMicroseconds, frequency);
    if (period <= threshold) return;
    Sleep(remainingCounts > threshold ? 1 : 0);
}
