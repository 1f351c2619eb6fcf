// The drift compensation over simulated minutes of audio, on two virtual clocks (see tests/support/drift_harness):
// the driver's own tick, data callbacks, FIFO, converter, steering, and the endpoint's rate measurement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "tests/support/drift_harness.h"

namespace {

// Sanitizer and unoptimised builds run the converter twenty to a hundred times slower. They still run every cell
// of the grid, but over a short stretch that ends soon after the endpoint's first rate measurement arrives; the
// optimised build runs each cell long enough to settle and to be watched for minutes after.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
constexpr bool kShortRuns = true;
constexpr double kGridSeconds = 12.0;
#else
constexpr bool kShortRuns = false;
constexpr double kGridSeconds = 480.0;
#endif

constexpr std::initializer_list<uint32_t> kSizes = {144, 288, 576, 1152};
constexpr double kOffsetsPpm[] = {-200, -100, -50, 0, 50, 100, 200};
constexpr drift::Direction kDirections[] = {drift::Direction::Capture, drift::Direction::Render};

drift::Config Case(drift::Direction direction, double rate, uint32_t bufferFrames, double ppm, double seconds) {
    drift::Config config;
    config.direction = direction;
    config.sampleRateHz = rate;
    config.bufferFrames = bufferFrames;
    config.crystalPpm = ppm;
    config.seconds = seconds;
    return config;
}

const char* Name(drift::Direction direction) {
    return direction == drift::Direction::Capture ? "microphone" : "output";
}

// What holds in every run, however short: the ratio inside its limits, and the drop-outs the driver's own gather
// counted are exactly those that happened.
void ExpectSound(const drift::Config& config, const drift::Result& r) {
    EXPECT_GE(r.minRatio, 0.99f);
    EXPECT_LE(r.maxRatio, 1.01f);
    if (config.direction == drift::Direction::Capture) {
        EXPECT_EQ(r.driverDropOuts, r.dropOuts);
    }
    EXPECT_GT(r.consumerPeriods, 0u);
}

// Every rate, buffer size and crystal offset up to ±200 ppm, both directions: once the loop has settled, not one
// trim or underrun, and the fill sits on its target. Start-up may cost a few buffers while the endpoint's first
// rate measurement, ten seconds long and up to about a hundred ppm off, is absorbed by the integral.
void ExpectGridClean(drift::Direction direction, double rate, std::initializer_list<uint32_t> sizes = kSizes) {
    for (uint32_t n : sizes)
        for (double ppm : kOffsetsPpm) {
            const drift::Config config = Case(direction, rate, n, ppm, kGridSeconds);
            const drift::Result r = drift::Run(config);
            SCOPED_TRACE(testing::Message() << Name(direction) << " " << rate << " Hz N=" << n << " " << ppm << " ppm");
            ExpectSound(config, r);
            EXPECT_LE(r.dropOuts, 3u);
            if (kShortRuns) continue;
            // Settled before the last quarter of the run, and from then on not one buffer lost.
            EXPECT_GE(r.settleSeconds, 0.0);
            EXPECT_EQ(r.trimsAfterSettle, 0u);
            EXPECT_EQ(r.underrunsAfterSettle, 0u);
            // The fill seen at a tick carries a sawtooth one packet high when the packets beat slowly against the
            // ticks (a beat of minutes at 48000 Hz, 1152 frames and 50 ppm); the loop follows part of it. Beyond
            // that the fill holds its target.
            EXPECT_LE(std::fabs(r.steadyFillFrames - r.targetFrames), n / 2.0);
            EXPECT_LE(r.maxErrorAfterSettleFrames, 1.25 * n);
        }
}

}  // namespace

// One test per direction and rate, so that each stays short.
TEST(Drift, MicrophoneGridAt48kHz) { ExpectGridClean(drift::Direction::Capture, 48000); }
TEST(Drift, MicrophoneGridAt96kHz) { ExpectGridClean(drift::Direction::Capture, 96000); }
TEST(Drift, MicrophoneGridAt192kHz) { ExpectGridClean(drift::Direction::Capture, 192000); }
TEST(Drift, OutputGridAt48kHz) { ExpectGridClean(drift::Direction::Render, 48000); }
TEST(Drift, OutputGridAt96kHz) { ExpectGridClean(drift::Direction::Render, 96000); }
// The output's stereo pushes cost twice a microphone's: its 192 kHz grid is run in two halves.
TEST(Drift, OutputGridAt192kHzSmallBuffers) { ExpectGridClean(drift::Direction::Render, 192000, {144, 288}); }
TEST(Drift, OutputGridAt192kHzLargeBuffers) { ExpectGridClean(drift::Direction::Render, 192000, {576, 1152}); }

// Crystals far off, up to ±1000 ppm: until the first rate measurement arrives the fill drifts faster than the
// integral alone follows, and a small buffer may under-run or be trimmed a few times; after that nothing is lost,
// the ratio stays inside its limits and the fill does not stick anywhere but its target.
TEST(Drift, OffsetsUpTo1000PpmStayBounded) {
    for (drift::Direction direction : kDirections)
        for (double ppm : {-1000.0, -500.0, 500.0, 1000.0}) {
            const drift::Config config = Case(direction, 192000, 144, ppm, kShortRuns ? 20.0 : 480.0);
            const drift::Result r = drift::Run(config);
            SCOPED_TRACE(testing::Message() << Name(direction) << " " << ppm << " ppm");
            ExpectSound(config, r);
            EXPECT_LE(r.dropOuts, 30u);
            if (r.dropOuts) {
                EXPECT_LT(r.lastEventSeconds, 30.0);
            }
            if (kShortRuns) continue;
            EXPECT_GE(r.settleSeconds, 0.0);
            EXPECT_EQ(r.trimsAfterSettle + r.underrunsAfterSettle, 0u);
            EXPECT_LE(std::fabs(r.steadyFillFrames - r.targetFrames), 144 / 4.0);
        }
}

// Offsets far beyond any crystal (2 %): the gross errors fall to the trim and the underrun handling, which keep
// the fill inside the ring, and the ratio stays inside its limits.
TEST(Drift, ExtremeOffsetsAreTrimmedOrPaddedAndStayBounded) {
    for (drift::Direction direction : kDirections) {
        const drift::Config fastConfig = Case(direction, 192000, 144, 20000, kShortRuns ? 6.0 : 120.0);
        const drift::Result fast = drift::Run(fastConfig);
        const drift::Config slowConfig = Case(direction, 48000, 144, -20000, kShortRuns ? 6.0 : 120.0);
        const drift::Result slow = drift::Run(slowConfig);
        ExpectSound(fastConfig, fast);
        ExpectSound(slowConfig, slow);
        // A fast microphone overfills its FIFO; a fast playback device drains the output FIFO.
        const bool capture = direction == drift::Direction::Capture;
        EXPECT_GT(capture ? fast.trims : fast.underruns, 5u);
        EXPECT_GT(capture ? slow.underruns : slow.trims, 5u);
        EXPECT_LE(fast.steadyFillFrames, 7 * 144.0);
        EXPECT_LE(slow.steadyFillFrames, 7 * 144.0);
    }
}

TEST(Drift, RunsAreDeterministic) {
    drift::Config config = Case(drift::Direction::Capture, 96000, 288, 73.0, 30.0);
    const drift::Result a = drift::Run(config);
    const drift::Result b = drift::Run(config);
    EXPECT_EQ(a.steadyFillFrames, b.steadyFillFrames);
    EXPECT_EQ(a.meanRatio, b.meanRatio);
    EXPECT_EQ(a.consumerPeriods, b.consumerPeriods);
    EXPECT_EQ(a.producerPeriods, b.producerPeriods);
    // Thirty seconds of 96000 Hz in 288-frame ticks, and the device's packets at its own pace, less the ones the
    // endpoint keeps back after its start.
    EXPECT_EQ(a.consumerPeriods, 10000u);
    EXPECT_NEAR(static_cast<double>(a.producerPeriods), 10000 * (1 + 73e-6) - 32, 1.0);
}

// Microphones on different crystals whose packets fall at different places between the ticks all reach the same
// latency, and it holds still as the packets' place rotates: each would otherwise sit up to a packet from the
// others and swing by most of one. The output FIFO is steered the same way.
TEST(Drift, EveryDeviceSettlesOnOneSteadyLatency) {
    const double seconds = kShortRuns ? 40.0 : 900.0;
    struct Device {
        double ppm;
        double phase;
    };
    const Device devices[] = {{-200, 0.05}, {50, 0.55}, {170, 0.9}};
    for (drift::Direction direction : kDirections) {
        for (uint32_t n : {144u, 1152u}) {
            const double rate = 48000;
            // Short runs end before the steering has settled: they only bound the latency to a buffer.
            const double bound = kShortRuns ? n : rate * 0.25e-3;
            double low = 1e300;
            double high = -1e300;
            for (const Device& d : devices) {
                drift::Config config = Case(direction, rate, n, d.ppm, seconds);
                config.devicePhase = d.phase;
                const drift::Result r = drift::Run(config);
                ExpectSound(config, r);
                SCOPED_TRACE(testing::Message() << Name(direction) << " N " << n << " " << d.ppm << " ppm");
                EXPECT_LE(r.latencySwingFrames, bound);
                low = std::min(low, r.steadyLatencyFrames);
                high = std::max(high, r.steadyLatencyFrames);
                if (kShortRuns || n != 1152 || d.ppm != 50) continue;
                // The plain fill's swing at the slowest beat: what the correction removes.
                config.phaseCorrection = false;
                const drift::Result plain = drift::Run(config);
                EXPECT_GT(plain.latencySwingFrames, 0.3 * n);
            }
            EXPECT_LE(high - low, bound) << Name(direction) << " N " << n;
        }
    }
}
