#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

#include "device/packet_stamp.h"

namespace {

constexpr uint32_t kSamples = 288;
constexpr double kPeriod = 60'000.0;  // 288 samples at 48000 Hz on a 10 MHz counter
constexpr double kOrigin = 123'456'789.0;

// A device whose packet k completes at `completed(k)` counts, read by a stream thread that wakes `late(k)` counts
// after that, stamped on a schedule that takes the packets to be kPeriod long. Returns the largest error of the
// stamps from the true completions over the packets from `judgedFrom` on.
template <class Completion, class Lateness>
double WorstError(int packets, int judgedFrom, Completion completed, Lateness late) {
    PacketStamp stamp;
    double worst = 0.0;
    for (int k = 0; k < packets; ++k) {
        const int64_t reading = static_cast<int64_t>(completed(k) + late(k));
        const double error = static_cast<double>(stamp.Step(reading, kSamples, kPeriod / kSamples)) - completed(k);
        if (k >= judgedFrom) worst = std::max(worst, std::fabs(error));
    }
    return worst;
}

}  // namespace

// Wakes late by up to a twentieth of a packet, and one in four by up to nine tenths of one, at random: the stamps
// stay within a twentieth of a packet of the true completions. So they do
// for a device 300 ppm off the rate the schedule assumes, either way, and after the device stalled for ten
// packets and went on (the wakes then far behind the schedule).
TEST(PacketStamp, TakesTheStreamThreadsLatenessOut) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> share(0.0, 0.9);
    auto jittery = [&](int) {
        const double s = share(random);
        return s < 0.675 ? s / 0.675 * 0.05 * kPeriod : s * kPeriod;
    };
    for (double ppm : {0.0, 300.0, -300.0}) {
        const double period = kPeriod * (1 + ppm * 1e-6);
        EXPECT_LT(WorstError(
                      3000, 40, [&](int k) { return kOrigin + period * k; }, jittery),
                  kPeriod / 20)
            << ppm << " ppm";
    }
    auto stalling = [&](int k) { return kOrigin + kPeriod * (k < 100 ? k : k + 10); };
    EXPECT_LT(WorstError(400, 140, stalling, jittery), kPeriod / 20);
}
