#include "sim/devices/signal.h"

#include <cmath>

namespace sim::devices {

double Signal::At(int64_t frame, double rate) const {
    switch (kind_) {
        case Kind::Silence:
            return 0.0;
        case Kind::Sine: {
            // The phase is taken modulo whole periods first, so that it stays exact over hours of frames.
            double period = rate / parameter_;
            double cycles = std::fmod(static_cast<double>(frame), period) / period;
            return level_ * std::sin(2.0 * M_PI * cycles);
        }
        case Kind::Impulses: {
            int64_t period = static_cast<int64_t>(parameter_);
            return period > 0 && frame % period == 0 ? level_ : 0.0;
        }
        case Kind::Ramp:
            return static_cast<double>(frame % kRampPeriod) / static_cast<double>(kRampPeriod);
    }
    return 0.0;
}

int64_t Signal::RampStep(float sample) {
    return static_cast<int64_t>(std::llround(static_cast<double>(sample) * kRampPeriod)) % kRampPeriod;
}

}  // namespace sim::devices
