// A device thread's wait with a fine sleep installed, as the test-only Windows DLL installs one: the condition
// variable serves the wait up to the margin before the deadline, so that state changes still wake the device at
// once, and only the last stretch, never longer than the margin, is slept without it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "sim/devices/device_wait.h"

using namespace std::chrono_literals;
using sim::devices::Clock;

namespace {

std::vector<Clock::duration> sleeps;  // written by the waiting thread only

void RecordingSleep(Clock::duration duration) {
    sleeps.push_back(duration);
    std::this_thread::sleep_for(duration);
}

class DeviceWait : public ::testing::Test {
protected:
    void SetUp() override { sleeps.clear(); }
    void TearDown() override { sim::devices::SetFineSleep(nullptr, Clock::duration::zero()); }

    std::mutex mutex;
    std::condition_variable wake;
};

TEST_F(DeviceWait, ADeadlineWithinTheMarginIsSleptAndOneBeyondItWaitedForUntilTheMarginBeforeIt) {
    sim::devices::SetFineSleep(&RecordingSleep, 1s);
    std::unique_lock<std::mutex> lock(mutex);
    Clock::time_point until = Clock::now() + 20ms;
    sim::devices::WaitForDeadline(wake, lock, until);
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_GE(Clock::now(), until);
    ASSERT_EQ(sleeps.size(), 1u);
    EXPECT_GT(sleeps[0], Clock::duration::zero());
    EXPECT_LE(sleeps[0], Clock::duration(20ms));

    // Beyond the margin the condition variable serves the wait, which ends before the deadline.
    sleeps.clear();
    sim::devices::SetFineSleep(&RecordingSleep, 60s);
    until = Clock::now() + 60s + 30ms;
    sim::devices::WaitForDeadline(wake, lock, until);
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_LT(Clock::now(), until);
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(DeviceWait, ANotificationWakesTheDeviceLongBeforeItsDeadline) {
    sim::devices::SetFineSleep(&RecordingSleep, 5ms);
    std::atomic<bool> changed{false};
    std::thread notifier([&] {
        std::this_thread::sleep_for(20ms);
        std::lock_guard<std::mutex> guard(mutex);
        changed = true;
        wake.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    const Clock::time_point until = Clock::now() + 60s;
    while (!changed && Clock::now() < until) sim::devices::WaitForDeadline(wake, lock, until);
    lock.unlock();
    notifier.join();
    EXPECT_TRUE(changed);
    EXPECT_LT(Clock::now(), until);
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(DeviceWait, WithoutAFineSleepTheConditionVariableServesTheWholeWait) {
    std::unique_lock<std::mutex> lock(mutex);
    const Clock::time_point until = Clock::now() + 10ms;
    while (Clock::now() < until) sim::devices::WaitForDeadline(wake, lock, until);
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_TRUE(sleeps.empty());
}

}  // namespace
