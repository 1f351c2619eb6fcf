// Waiting for what another thread makes true: polled, and bounded only so that a broken run cannot hang. Tests
// never assert how long it took.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testwait {

// Polls `done` until it holds or `limit` has passed; returns whether it held.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace testwait
