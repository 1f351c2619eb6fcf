// How a device thread waits for its next packet to fall due.
//
// A device thread waits on its condition variable, so that a state change (a stop, a new request, a stall) wakes
// it at once. On Linux that timed wait is precise to microseconds, as a real device's DMA and interrupt are. Where
// the platform rounds timed waits up to whole milliseconds (the test-only Windows DLL under Wine: the C runtime's
// condition variable and then the wait's own time-out are each rounded up), a device's packets would come a
// millisecond or two late and jitter by as much, which a real device never does and which eats the whole margin a
// driver keeps at small buffers. Such a platform installs a fine sleep: the thread then waits on the condition
// variable only until `margin` before the deadline and sleeps the rest without it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "sim/devices/crystal.h"

namespace sim::devices {

// Sleeps for the given time (at most the margin), to the platform's best precision, without spinning.
using FineSleep = void (*)(Clock::duration);

// Installs the fine sleep for every device thread of the process; nullptr restores the plain timed wait. Call it
// before any device streams.
void SetFineSleep(FineSleep sleep, Clock::duration margin);

// One wait of a device thread, the lock held on entry and on return: until `until`, or earlier when woken. May
// return early; the caller reads the clock again and decides.
void WaitForDeadline(std::condition_variable& wake, std::unique_lock<std::mutex>& lock, Clock::time_point until);

}  // namespace sim::devices
