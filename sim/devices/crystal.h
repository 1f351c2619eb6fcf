// A device's crystal: its own idea of a second, nominal rate × (1 + offset in ppm), counted from the monotonic
// clock (the clock the simulated performance counter and waits run on). Immutable after construction, so any
// thread may ask it.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>

namespace sim::devices {

using Clock = std::chrono::steady_clock;

class Crystal {
public:
    explicit Crystal(double offsetPpm = 0.0) : offsetPpm_(offsetPpm), epoch_(Clock::now()) {}

    double OffsetPpm() const { return offsetPpm_; }
    // When the crystal started counting.
    Clock::time_point Epoch() const { return epoch_; }
    // The rate at which a device clocked by this crystal really runs when it is set to `nominalRate`.
    double ActualRate(double nominalRate) const { return nominalRate * (1.0 + offsetPpm_ * 1e-6); }
    // Whole frames of a `nominalRate` stream that the crystal has counted between `from` and `to`.
    int64_t FramesBetween(Clock::time_point from, Clock::time_point to, double nominalRate) const {
        double seconds = std::chrono::duration<double>(to - from).count();
        return static_cast<int64_t>(std::floor(seconds * ActualRate(nominalRate)));
    }
    // When frame `frames` (counted from `from`) falls due.
    Clock::time_point TimeOfFrame(Clock::time_point from, int64_t frames, double nominalRate) const {
        auto seconds = std::chrono::duration<double>(static_cast<double>(frames) / ActualRate(nominalRate));
        return from + std::chrono::duration_cast<Clock::duration>(seconds) + std::chrono::nanoseconds(1);
    }
    // Frames since the crystal started, which is what a device's signal is a function of.
    int64_t FramesSinceEpoch(Clock::time_point at, double nominalRate) const {
        return FramesBetween(epoch_, at, nominalRate);
    }

private:
    double offsetPpm_;
    Clock::time_point epoch_;
};

}  // namespace sim::devices
