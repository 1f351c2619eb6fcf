// Waitable timers of the simulated Windows, as Windows documents them. Only lower bounds of time are asserted (a
// timer never fires early); how late it fires is the clock benchmark's business.
#include <gtest/gtest.h>

#include "platform/win32.h"
#include "sim/os/sim_control.h"

namespace {

int64_t Counter() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

LARGE_INTEGER RelativeDue(int64_t hundredNanoseconds) {
    LARGE_INTEGER due{};
    due.QuadPart = -hundredNanoseconds;
    return due;
}

TEST(SimulatedTimer, FiresNoEarlierThanDueAndHonoursResetModesAndPeriods) {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT) << "a new timer is not signaled";

    const LARGE_INTEGER twoMs = RelativeDue(20000);
    const int64_t before = Counter();
    ASSERT_TRUE(SetWaitableTimer(timer, &twoMs, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForSingleObject(timer, 10000), WAIT_OBJECT_0);
    EXPECT_GE(Counter() - before, 20000) << "fired before its due time";
    EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT) << "a synchronization timer is consumed by one wait";

    // Setting a timer again makes it non-signaled until the new due time; cancelling one that has not fired
    // keeps it from firing.
    const LARGE_INTEGER tenSeconds = RelativeDue(100000000);
    ASSERT_TRUE(SetWaitableTimer(timer, &tenSeconds, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(CancelWaitableTimer(timer));
    EXPECT_EQ(WaitForSingleObject(timer, 30), WAIT_TIMEOUT);

    // Periodic: signals again every period after the first due time.
    const LARGE_INTEGER oneMs = RelativeDue(10000);
    const int64_t periodicStart = Counter();
    ASSERT_TRUE(SetWaitableTimer(timer, &oneMs, 2, nullptr, nullptr, FALSE));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(timer, 10000), WAIT_OBJECT_0) << i;
    EXPECT_GE(Counter() - periodicStart, 10000 + 2 * 20000);
    CancelWaitableTimer(timer);

    // Among other objects, a wait wakes for the timer.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(SetWaitableTimer(timer, &oneMs, 0, nullptr, nullptr, FALSE));
    HANDLE both[] = {event, timer};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0 + 1);
    CloseHandle(event);
    CloseHandle(timer);

    // A manual-reset timer stays signaled for every waiter until it is set again; an absolute due time in the
    // past fires at once.
    HANDLE manual = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_MANUAL_RESET, TIMER_ALL_ACCESS);
    ASSERT_NE(manual, nullptr);
    LARGE_INTEGER past{};
    past.QuadPart = 1;
    ASSERT_TRUE(SetWaitableTimer(manual, &past, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(SetWaitableTimer(manual, &tenSeconds, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    CloseHandle(manual);
}

TEST(SimulatedTimer, RefusesWhatWindowsRefuses) {
    SetLastError(0);
    EXPECT_EQ(CreateWaitableTimerExW(nullptr, nullptr, 0x4, TIMER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // Before Windows 10 1803 the high-resolution flag is unknown.
    sim::os::SetHighResolutionTimersAvailable(false);
    SetLastError(0);
    EXPECT_EQ(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS),
              nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    HANDLE plain = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    EXPECT_NE(plain, nullptr);
    sim::os::SetHighResolutionTimersAvailable(true);

    const LARGE_INTEGER oneMs = RelativeDue(10000);
    SetLastError(0);
    EXPECT_FALSE(SetWaitableTimer(plain, nullptr, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetWaitableTimer(plain, &oneMs, -1, nullptr, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    auto routine = [](LPVOID, DWORD, DWORD) {};
    EXPECT_FALSE(SetWaitableTimer(plain, &oneMs, 0, routine, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    CloseHandle(plain);
    SetLastError(0);
    EXPECT_FALSE(SetWaitableTimer(plain, &oneMs, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CancelWaitableTimer(plain));
}

}  // namespace
