// The clock thread's wait: the high-resolution timer where the system has one, the older rule where it does
// not, and a timer wait never ends before the deadline's guard. How late and how cheaply it wakes is measured by
// bench/clock_bench, not here.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/clock_wait.h"
#include "sim/os/sim_control.h"

namespace {

int64_t Counter() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

constexpr int64_t kFrequency = 10000000;  // the simulated counter's

TEST(ClockWait, UsesTheHighResolutionTimerOnlyWhereTheSystemHasOne) {
    ClockWait wait;
    wait.Open(kFrequency, 7500);
    EXPECT_TRUE(wait.UsesTimer());
    wait.Open(kFrequency, 7500, false);
    EXPECT_FALSE(wait.UsesTimer());

    sim::os::SetHighResolutionTimersAvailable(false);
    wait.Open(kFrequency, 60000);
    EXPECT_FALSE(wait.UsesTimer());
    sim::os::SetHighResolutionTimersAvailable(true);
}

TEST(ClockWait, ATimerWaitEndsNoEarlierThanTheGuardBeforeTheDeadlineAndTheGuardIsBounded) {
    for (int64_t period : {60000, 15000, 7500}) {
        ClockWait wait;
        wait.Open(kFrequency, period);
        ASSERT_TRUE(wait.UsesTimer());
        for (int tick = 0; tick < 20; ++tick) {
            const int64_t guard = wait.GuardCounts();
            // At most a twenty-fifth of the period is left to yielding, and never less than 10 µs.
            ASSERT_LE(guard, std::max<int64_t>(100, period / 25));
            ASSERT_GE(guard, 100);
            const int64_t start = Counter();
            wait.Wait(period);
            ASSERT_GE(Counter() - start, period - guard) << "period " << period << " tick " << tick;
        }
    }
}

}  // namespace
