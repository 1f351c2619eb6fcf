#include "sim/devices/device_wait.h"

#include <atomic>

namespace sim::devices {
namespace {

std::atomic<FineSleep> fineSleep{nullptr};
std::atomic<int64_t> marginNanoseconds{0};

}  // namespace

void SetFineSleep(FineSleep sleep, Clock::duration margin) {
    marginNanoseconds.store(std::chrono::duration_cast<std::chrono::nanoseconds>(margin).count());
    fineSleep.store(sleep);
}

void WaitForDeadline(std::condition_variable& wake, std::unique_lock<std::mutex>& lock, Clock::time_point until) {
    const FineSleep sleep = fineSleep.load();
    if (!sleep) {
        wake.wait_until(lock, until);
        return;
    }
    const auto margin = std::chrono::nanoseconds(marginNanoseconds.load());
    const auto remaining = until - Clock::now();
    if (remaining > margin) {
        wake.wait_until(lock, until - margin);
        return;
    }
    // The last stretch: a state change that arrives now is seen at most one margin later, as if the device had
    // been busy that long.
    lock.unlock();
    if (remaining > Clock::duration::zero()) sleep(remaining);
    lock.lock();
}

}  // namespace sim::devices
