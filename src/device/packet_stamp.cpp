#include "device/packet_stamp.h"

#include <algorithm>
#include <cmath>

int64_t PacketStamp::Step(int64_t now, uint32_t samples, double countsPerSample) {
    if (!(countsPerSample > 0.0)) Restart();
    position = count == 0 ? static_cast<int64_t>(samples) : position + samples;
    double due = static_cast<double>(now);
    for (int i = 0; i < count; ++i)
        due = std::min(
            due, static_cast<double>(readings[i]) + static_cast<double>(position - positions[i]) * countsPerSample);
    const double packetCounts = static_cast<double>(samples) * countsPerSample;
    if (static_cast<double>(now) - due > kStallPackets * packetCounts) {
        Restart();
        position = samples;
        due = static_cast<double>(now);
    }
    readings[next] = now;
    positions[next] = position;
    next = (next + 1) % kWindow;
    count = std::min(count + 1, kWindow);
    return static_cast<int64_t>(std::llround(due));
}
