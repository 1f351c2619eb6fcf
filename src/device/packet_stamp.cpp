#include "device/packet_stamp.h"

#include <algorithm>
#include <cmath>

double PacketStamp::Due(int64_t now, uint32_t samples, double countsPerSample) const {
    double due = static_cast<double>(now);
    if (!(countsPerSample > 0.0)) return due;
    const int64_t at = position + samples;
    for (int i = 0; i < count; ++i)
        due =
            std::min(due, static_cast<double>(readings[i]) + static_cast<double>(at - positions[i]) * countsPerSample);
    return due;
}

double PacketStamp::SamplesBehind(int64_t now, uint32_t samples, double countsPerSample) const {
    if (count == 0 || !(countsPerSample > 0.0)) return 0.0;
    return (static_cast<double>(now) - Due(now, samples, countsPerSample)) / countsPerSample;
}

int64_t PacketStamp::Step(int64_t now, uint32_t samples, double countsPerSample) {
    if (!(countsPerSample > 0.0)) Restart();
    double due = count == 0 ? static_cast<double>(now) : Due(now, samples, countsPerSample);
    position = count == 0 ? static_cast<int64_t>(samples) : position + samples;
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
