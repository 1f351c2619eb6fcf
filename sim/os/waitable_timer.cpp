// Waitable timers of the simulated Windows: synchronization (auto-reset) and manual-reset timers, one-shot or
// periodic, optionally high-resolution. A timer needs no thread of its own: it reports its due time to the wait,
// which wakes then and finds it signaled.
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "sim/os/handles.h"
#include "sim/os/kernel.h"
#include "sim/os/sim_control.h"

namespace sim::os {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> highResolutionAvailable{true};

// FILETIME of the Unix epoch: 100 ns intervals since 1601-01-01.
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;

class TimerObject : public KernelObject {
public:
    TimerObject(bool manualReset, bool highResolution) : manual(manualReset), fine(highResolution) {}
    bool Waitable() const override { return true; }
    bool Signaled() const override { return signaled || (armed && Clock::now() >= due); }
    void Acquire() override {
        const bool fired = armed && Clock::now() >= due;
        if (fired) {
            if (period.count() > 0) {
                // A periodic timer that fell behind signals once and resumes its schedule from the present,
                // as Windows does rather than delivering a burst.
                due += period;
                if (due <= Clock::now()) due = Clock::now() + period;
            } else {
                armed = false;
            }
        }
        // A synchronization timer releases one waiter and is non-signaled again; a manual-reset timer stays
        // signaled until it is set anew.
        signaled = manual && (signaled || fired);
    }
    bool SignalTime(Clock::time_point* when) const override {
        if (!armed) return false;
        if (fine) FineWakeups();
        *when = due;
        return true;
    }

    // Guarded by WaitLock().
    const bool manual;
    const bool fine;
    bool signaled = false;
    bool armed = false;
    Clock::time_point due{};
    std::chrono::milliseconds period{0};

private:
    // Linux lets a sleeping thread's wake-up slip by its timer slack (50 µs by default) to batch wake-ups. A
    // thread that waits on a high-resolution timer asked for precision instead, so it gets the finest slack.
    static void FineWakeups() {
        thread_local bool done = false;
        if (done) return;
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        done = true;
    }
};

}  // namespace

void SetHighResolutionTimersAvailable(bool available) { highResolutionAvailable = available; }

}  // namespace sim::os

using namespace sim::os;

extern "C" {

HANDLE WINAPI CreateWaitableTimerExW(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD flags, DWORD) {
    DWORD known = CREATE_WAITABLE_TIMER_MANUAL_RESET;
    if (highResolutionAvailable) known |= CREATE_WAITABLE_TIMER_HIGH_RESOLUTION;
    if (flags & ~known) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return InsertHandle(std::make_shared<TimerObject>((flags & CREATE_WAITABLE_TIMER_MANUAL_RESET) != 0,
                                                      (flags & CREATE_WAITABLE_TIMER_HIGH_RESOLUTION) != 0));
}

BOOL WINAPI SetWaitableTimer(HANDLE handle, const LARGE_INTEGER* dueTime, LONG periodMs, PTIMERAPCROUTINE routine,
                             LPVOID, BOOL) {
    auto timer = LookupHandleAs<TimerObject>(handle);
    if (!timer) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!dueTime || periodMs < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (routine) {
        // Completion routines run as APCs in alertable waits, which the simulation does not have.
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const auto now = Clock::now();
    Clock::time_point due;
    // Beyond a century the due time is as good as never; the bound keeps the arithmetic from overflowing.
    constexpr int64_t kCentury = 100LL * 365 * 24 * 3600 * 10000000;
    if (dueTime->QuadPart < 0) {
        due = now + std::chrono::nanoseconds((dueTime->QuadPart < -kCentury ? kCentury : -dueTime->QuadPart) * 100);
    } else {
        const int64_t nowAsFileTime =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                    .count() /
                100 +
            kUnixEpochAsFileTime;
        due = now + std::chrono::nanoseconds(std::clamp(dueTime->QuadPart - nowAsFileTime, -kCentury, kCentury) * 100);
    }
    {
        std::lock_guard<std::mutex> guard(WaitLock());
        timer->signaled = false;
        timer->armed = true;
        timer->due = due;
        timer->period = std::chrono::milliseconds(periodMs);
    }
    // Waiters already blocked on this timer must learn its new due time.
    NotifyWaiters();
    return TRUE;
}

BOOL WINAPI CancelWaitableTimer(HANDLE handle) {
    auto timer = LookupHandleAs<TimerObject>(handle);
    if (!timer) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Cancelling stops the timer but leaves its signaled state as it is.
    std::lock_guard<std::mutex> guard(WaitLock());
    if (timer->armed && Clock::now() >= timer->due) timer->signaled = true;
    timer->armed = false;
    return TRUE;
}

}  // extern "C"
