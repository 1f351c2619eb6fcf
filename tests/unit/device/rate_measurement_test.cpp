#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "device/rate_measurement.h"

namespace {

// Feeds packets of `packetSamples` (all channels) at `samplesPerSecond`, each stamped with the count at which its
// last sample completed, as a punctual stream thread reads it.
struct Feeder {
    RateMeasurement& m;
    double samplesPerSecond;
    uint32_t packetSamples;
    int64_t start = 1'000'000'007;  // an arbitrary counter origin: the measurement must not assume zero
    uint64_t packets = 0;

    int64_t Now() const {
        const double t = static_cast<double>(packets) * packetSamples / samplesPerSecond;
        return start + static_cast<int64_t>(t * static_cast<double>(m.counterFrequency));
    }
    void RunSeconds(double seconds) {
        const uint64_t until = packets + static_cast<uint64_t>(seconds * samplesPerSecond / packetSamples);
        while (packets < until) {
            ++packets;
            m.Step(Now(), packetSamples);
        }
    }
};

}  // namespace

// The window boundaries: the first closes at exactly firstWindowCounts, a later one only beyond windowCounts.
TEST(RateMeasurement, FirstWindowClosesAtItsLengthLaterWindowsOnlyBeyondIt) {
    RateMeasurement m;
    m.SetNominalRate(48000.0);
    m.Restart();
    m.Step(0, 480);                   // opens the warm-up
    m.Step(m.warmUpCounts - 1, 480);  // one count short
    EXPECT_EQ(m.rateState, RateMeasurement::RateWarmUp);
    m.Step(m.warmUpCounts, 480);  // the first window starts here
    ASSERT_EQ(m.rateState, RateMeasurement::RateFirstWindow);
    EXPECT_EQ(m.rateRatio, 1.0);  // untouched until tracking begins
    const int64_t w0 = m.warmUpCounts;
    m.Step(w0 + m.firstWindowCounts - 1, 479'999);
    EXPECT_EQ(m.rateState, RateMeasurement::RateFirstWindow);
    m.Step(w0 + m.firstWindowCounts, 1);
    ASSERT_EQ(m.rateState, RateMeasurement::RateTracking);
    EXPECT_EQ(m.measuredRate, 48000.0);
    EXPECT_EQ(m.windowSamples, 0);

    const int64_t w1 = w0 + m.firstWindowCounts;
    m.Step(w1 + m.windowCounts, 1'440'000);  // exactly 30 s: still open
    EXPECT_EQ(m.windowStart, w1);
    EXPECT_EQ(m.measuredRate, 48000.0);
    m.Step(w1 + m.windowCounts + 1, 0);  // one count beyond: closes, W just below 48000
    EXPECT_EQ(m.windowStart, w1 + m.windowCounts + 1);
    // W = trunc(1e7 × 1440000 × 1000 / 300000001) × 0.001 = 47999.999 (to a thousandth), blended 10 %.
    EXPECT_DOUBLE_EQ(m.measuredRate, 47999.999 * (1.0 - 0.9) + 48000.0 * 0.9);
}

// Counters other than 10 MHz: the windows follow the real frequency, and W neither overflows nor scales by it.
TEST(RateMeasurement, QueriedCounterFrequencyScalesWindowsAndRate) {
    for (int64_t frequency : {int64_t{3'579'545}, int64_t{10'000'000}, int64_t{3'000'000'000}}) {
        RateMeasurement m;
        m.SetCounterFrequency(frequency);
        EXPECT_EQ(m.warmUpCounts, frequency);
        EXPECT_EQ(m.firstWindowCounts, 10 * frequency);
        EXPECT_EQ(m.windowCounts, 30 * frequency);
        m.SetNominalRate(192000.0);
        m.Restart();
        Feeder f{m, 2 * 192000.0 * (1.0 + 100e-6), 2 * 192};  // stereo, +100 ppm
        f.RunSeconds(11.5);
        ASSERT_EQ(m.rateState, RateMeasurement::RateTracking) << frequency;
        EXPECT_NEAR(m.measuredRate, 2 * 192000.0 * (1.0 + 100e-6), 0.05) << frequency;
        f.RunSeconds(100.0);
        // The measured ratio counts both channels.
        EXPECT_NEAR(m.rateRatio, 2.0 * (1.0 + 100e-6), 1e-7) << frequency;
    }
}

// -200, 0 and +200 ppm, each packet read up to 0.25 ms late: the first 10 s window is off by at most 25 ppm, and
// the 30 s windows pull the ratio to within a few ppm.
TEST(RateMeasurement, TracksCrystalOffsetsWithinAFewPpmDespiteLateReadings) {
    for (double ppm : {-200.0, 0.0, 200.0}) {
        RateMeasurement m;
        m.SetNominalRate(48000.0);
        m.Restart();
        const double rate = 48000.0 * (1.0 + ppm * 1e-6);
        uint32_t lcg = 12345;
        double maxEarly = 0.0, maxLate = 0.0;
        for (uint64_t k = 1; k < 100 * 1200; ++k) {  // twenty minutes of 10 ms packets
            lcg = lcg * 1664525u + 1013904223u;
            const int64_t late = (lcg >> 8) % 2500;  // 0 to 0.25 ms on a 10 MHz counter
            const double t = static_cast<double>(k) * 480.0 / rate;
            m.Step(static_cast<int64_t>(t * 1e7) + late, 480);
            if (m.rateState != RateMeasurement::RateTracking) continue;
            const double error = std::fabs(m.rateRatio / (rate / 48000.0) - 1.0) * 1e6;
            if (t > 900.0)
                maxLate = std::max(maxLate, error);
            else if (t > 30.0)  // after the smoothing of the first measurement (time constant 1 s)
                maxEarly = std::max(maxEarly, error);
        }
        EXPECT_LT(maxEarly, 25.0) << ppm << " ppm";
        EXPECT_LT(maxLate, 3.0) << ppm << " ppm";
    }
}

// Restart: warm-up again, ratio back to 1.0, the last measured rate kept; an idle object ignores packets.
TEST(RateMeasurement, RestartBeginsAgainWithWarmUpAndIdleIgnoresPackets) {
    RateMeasurement m;
    m.Step(5, 480);
    EXPECT_EQ(m.rateState, RateMeasurement::RateIdle);
    EXPECT_EQ(m.windowStart, 0);

    m.SetNominalRate(48000.0);
    m.Restart();
    Feeder f{m, 48048.0, 480};
    f.RunSeconds(20.0);
    ASSERT_EQ(m.rateState, RateMeasurement::RateTracking);
    ASSERT_NE(m.rateRatio, 1.0);
    const double kept = m.measuredRate;
    m.Restart();
    EXPECT_EQ(m.rateState, RateMeasurement::RateStart);
    EXPECT_EQ(m.rateRatio, 1.0);
    EXPECT_EQ(m.measuredRate, kept);
    f.RunSeconds(5.0);  // five seconds later: in the first window, nothing re-measured
    EXPECT_EQ(m.rateState, RateMeasurement::RateFirstWindow);
    EXPECT_EQ(m.rateRatio, 1.0);

    // A stall keeps the window's start, so the time without packets lowers the next measurement.
    RateMeasurement s;
    s.SetNominalRate(48000.0);
    s.Restart();
    s.Step(0, 0);
    s.Step(s.warmUpCounts, 0);
    s.Step(s.warmUpCounts + s.firstWindowCounts * 2, 480'000);  // 10 s of samples over 20 s
    EXPECT_EQ(s.measuredRate, 24000.0);
    // Zero-length or backwards windows never divide by zero.
    EXPECT_EQ(s.WindowRate(0), 0.0);
    EXPECT_EQ(s.WindowRate(-5), 0.0);
}
