#include "sim/devices/room.h"

#include <cmath>

namespace sim::devices {

double Room::At(Clock::time_point at, double delaySeconds) const {
    if (Quiet()) return 0.0;
    const double seconds = std::chrono::duration<double>(at - epoch_).count() - delaySeconds;
    const double k = std::round((seconds - config_.firstSeconds) / config_.intervalSeconds);
    if (k < 0.0) return 0.0;
    const double dt = seconds - (config_.firstSeconds + k * config_.intervalSeconds);
    const bool click = config_.sound == RoomConfig::Sound::Click;
    const double sigma = click ? kClickSigmaSeconds : kBurstSigmaSeconds;
    if (std::fabs(dt) > 6.0 * sigma) return 0.0;
    const double envelope = config_.level * std::exp(-0.5 * (dt / sigma) * (dt / sigma));
    return click ? envelope : envelope * std::sin(2.0 * M_PI * kBurstHz * dt);
}

}  // namespace sim::devices
