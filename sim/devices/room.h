// The room the virtual microphones stand in: events (a click, or a short tone burst) that every microphone hears at
// the same true instant, plus its own acoustic delay, each sampling the sound on its own crystal from its own
// start. What one microphone records of an event therefore lands where that microphone's clock and its stream
// put it, so a recording shows whether the driver keeps its microphones in time with each other.
#pragma once

#include <memory>

#include "sim/devices/crystal.h"

namespace sim::devices {

struct RoomConfig {
    enum class Sound { Click, Burst };
    double intervalSeconds = 0.0;  // time between events; 0 or less: a quiet room
    double firstSeconds = 1.0;     // the first event, counted from when the world was built
    double level = 0.5;            // peak, full scale
    Sound sound = Sound::Click;
};

class Room {
public:
    // A click is a Gaussian pulse of this width (one standard deviation), smooth enough to be sampled at 48000 Hz
    // and located to a fraction of a sample; a burst is a 2 kHz tone under a Gaussian envelope of kBurstSigma.
    static constexpr double kClickSigmaSeconds = 0.1e-3;
    static constexpr double kBurstSigmaSeconds = 1.0e-3;
    static constexpr double kBurstHz = 2000.0;

    Room(const RoomConfig& config, Clock::time_point epoch) : config_(config), epoch_(epoch) {}
    bool Quiet() const { return !(config_.intervalSeconds > 0.0); }
    const RoomConfig& config() const { return config_; }
    Clock::time_point Epoch() const { return epoch_; }
    // The sound pressure, full scale, at true time `at` heard with `delaySeconds` of acoustic delay.
    double At(Clock::time_point at, double delaySeconds) const;

private:
    RoomConfig config_;
    Clock::time_point epoch_;
};

}  // namespace sim::devices
