// The simulated kernel's handle table. Every HANDLE the simulation gives out (events, threads, device files,
// HID files, ...) names a KernelObject here. Handles are never reused, so a handle used after CloseHandle is
// reported as invalid instead of silently reaching a newer object.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>

#include "sim/os/win32_types.h"

namespace sim::os {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Only objects that can be waited on (events, threads) override these. Both are called with the wait lock
    // (WaitLock()) held.
    virtual bool Waitable() const { return false; }
    virtual bool Signaled() const { return false; }
    // A successful wait consumes the signal of an auto-reset object.
    virtual void Acquire() {}
    // Objects that become signaled by themselves at a time (armed timers) say when, so that a wait wakes then;
    // called with the wait lock held.
    virtual bool SignalTime(std::chrono::steady_clock::time_point* when) const {
        (void)when;
        return false;
    }
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Drops the table's reference; false when the handle is not in the table.
bool RemoveHandle(HANDLE handle);
size_t OpenHandleCount();

// One lock and one condition for every waitable object: changes of signal state happen under WaitLock() and
// end with NotifyWaiters(), so that WaitForMultipleObjects can wait on any mix of objects at once.
std::mutex& WaitLock();
void NotifyWaiters();

}  // namespace sim::os
