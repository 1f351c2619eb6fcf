// The whole driver from COM down against virtual microphones on their own crystals: what a host records.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "device/ks_device.h"
#include "driver/asio_driver.h"
#include "sim/devices/world.h"
#include "stand_in_host.h"
#include "tests/support/driver_fixture.h"

namespace {

using sim::devices::MicrophoneConfig;
using sim::devices::ScopedWorld;
using sim::devices::Signal;

// Shorter runs under the sanitizers, whose streams still run but whose timing is not judged.
constexpr double kScale = kSanitized ? 0.25 : 1.0;
constexpr bool kTimingJudged = !kSanitized;

MicrophoneConfig Microphone(double ppm, Signal signal = Signal::Ramp()) {
    MicrophoneConfig config;
    config.offsetPpm = ppm;
    config.signal = signal;
    return config;
}

int64_t Step(float x) { return std::llround(static_cast<double>(x) * Signal::kRampPeriod); }

// Every break in a received ramp: a silent buffer after it began, or a jump other than the converter's repeated or
// doubled step.
struct Breaks {
    size_t count = 0;
    size_t last = 0;
};
Breaks RampBreaks(const std::vector<float>& received, size_t bufferFrames) {
    Breaks breaks;
    size_t first = 0;
    while (first < received.size() && received[first] == 0.0f) ++first;
    first += bufferFrames - first % bufferFrames;  // the first whole buffer after the fade-in
    bool previousSilent = false;
    for (size_t b = first; b + bufferFrames <= received.size(); b += bufferFrames) {
        bool silent = true;
        for (size_t i = b; i < b + bufferFrames; ++i) silent = silent && received[i] == 0.0f;
        if (silent) {
            if (!previousSilent) {
                ++breaks.count;
                breaks.last = b;
            }
            previousSilent = true;
            continue;
        }
        for (size_t i = std::max(b, first + 1); i < b + bufferFrames; ++i) {
            const int64_t a = Step(received[i - 1]), c = Step(received[i]);
            if (a < 4 || a > Signal::kRampPeriod - 4 || c < 4 || c > Signal::kRampPeriod - 4) continue;
            if (i == b && previousSilent) continue;
            if (c - a < 0 || c - a > 2) {
                ++breaks.count;
                breaks.last = i;
            }
        }
        previousSilent = false;
    }
    return breaks;
}

class Recording : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StandInHost::RegisterDriverModule()); }
};

}  // namespace

// Four microphones on different crystals, recorded through a host: each ramp arrives continuous, every break a
// counted drop-out or a packet completed that never reached the driver (a loaded machine).
TEST_F(Recording, FourDriftingMicrophonesArriveContinuous) {
    struct Run {
        double rate;
        StandInHost::Class driverClass;
        double seconds;
    };
    const Run runs[] = {{48000.0, StandInHost::Class::Integer, 12.0},
                        {96000.0, StandInHost::Class::Float, 2.0},
                        {192000.0, StandInHost::Class::Integer, 2.0},
                        {48000.0, StandInHost::Class::Float, 2.0}};
    for (const Run& run : runs) {
        SCOPED_TRACE(run.rate);
        ScopedWorld world(sim::devices::Machine({Microphone(-80), Microphone(-20), Microphone(30), Microphone(90)}));
        StandInHost host(run.driverClass);
        ASSERT_EQ(host->init(nullptr), ASIOTrue);
        ASSERT_EQ(host->setSampleRate(run.rate), ASE_OK);
        int32_t inputs = 0, outputs = 0;
        host->getChannels(&inputs, &outputs);
        ASSERT_EQ(inputs, 4);
        const int32_t n = 288;
        ASSERT_EQ(host.Prepare(n), ASE_OK);
        ASSERT_EQ(host->start(), ASE_OK);
        ASSERT_TRUE(host.WaitForSwitches(static_cast<int>(run.seconds * kScale * run.rate / n)));
        // Packets completed that the stream thread never took (written over while it ran late): not drop-outs.
        std::vector<uint64_t> lostPackets;
        for (size_t k = 0; k < 4; ++k) {
            CKSDevice* endpoint = Inside(host.driver())->inputFifos[k].device;
            const uint64_t transferred = endpoint->PacketsTransferred();
            const uint64_t completed = world.microphone(k)->CompletedPackets();
            lostPackets.push_back(completed > transferred ? completed - transferred : 0);
        }
        host->stop();
        const uint32_t dropOuts = Inside(host.driver())->dropOutCount;
        const auto inputsReceived = host.Inputs();
        for (size_t k = 0; k < 4; ++k) {
            SCOPED_TRACE(k);
            const Breaks breaks = RampBreaks(inputsReceived[k], n);
            if (kTimingJudged) {
                EXPECT_LE(breaks.count, dropOuts + lostPackets[k]);
            }
        }
    }
}

// An impulse reaches the host within a device packet of the reported input latency, at every rate and size.
TEST_F(Recording, ImpulsesArriveAtTheReportedInputLatency) {
    int judged = 0;
    for (double rate : {48000.0, 96000.0, 192000.0}) {
        for (int32_t n : {144, 288, 1152}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, " << n << " frames");
            const int64_t period = 16384;  // longer than any latency: each impulse is told apart
            ScopedWorld world(sim::devices::Machine({Microphone(50, Signal::Impulses(period, 0.5))}));
            StandInHost host;
            ASSERT_EQ(host->init(nullptr), ASIOTrue);
            ASSERT_EQ(host->setSampleRate(rate), ASE_OK);
            host.SetProbe(&DropOuts);
            host.SetTimeProbe(&TickDue);
            ASSERT_EQ(host.Prepare(n), ASE_OK);
            int32_t reported = 0, output = 0;
            host->getLatencies(&reported, &output);
            ASSERT_EQ(host->start(), ASE_OK);
            ASSERT_TRUE(host.WaitForSwitches(static_cast<int>(std::max(1.0, kScale * 4) * 2 * period / n) + 8));
            host->stop();
            const std::vector<float> received = host.Inputs()[0];
            const std::vector<int64_t> due = host.ProbeTimes();
            const auto& crystal = world.microphone(0)->crystal();
            // A drop-out (a loaded machine) moves the latency until steered back: impulses after it are not judged.
            const std::vector<uint32_t> dropOuts = host.ProbeValues();
            for (size_t b = 0; b < due.size() && dropOuts[b] == 0; ++b) {
                size_t loudest = 0;
                float level = 0.0f;
                for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
                    const float x = std::fabs(received[b * static_cast<size_t>(n) + i]);
                    if (x > level) {
                        level = x;
                        loudest = i;
                    }
                }
                if (level < 0.1f) continue;
                const sim::devices::Clock::time_point at{std::chrono::nanoseconds(due[b])};
                const int64_t frame = crystal.FramesSinceEpoch(at, rate);
                const int64_t latency = ((frame + static_cast<int64_t>(loudest)) % period + period) % period;
                if (kTimingJudged) {
                    EXPECT_NEAR(static_cast<double>(latency), reported, n) << "impulse in buffer " << b;
                }
                ++judged;
            }
        }
    }
    if (kTimingJudged) {
        EXPECT_GE(judged, 9) << "too few impulses arrived before a drop-out to judge the latency";
    }
}

namespace {

// A pulse of 0.5 at the start of every period, wide enough to survive decimation by 4; its rising edge is timed.
constexpr int64_t kOutputPulsePeriod = 16384;
constexpr int64_t kOutputPulseWidth = 32;
float OutputPulses(uint64_t frame) {
    return static_cast<int64_t>(frame % kOutputPulsePeriod) < kOutputPulseWidth ? 0.5f : 0.0f;
}

sim::devices::PlaybackConfig Speakers(std::vector<DWORD> rates) {
    sim::devices::PlaybackConfig config;
    config.name = "Speakers";
    config.offsetPpm = -40;
    config.formats.rates = std::move(rates);
    return config;
}

}  // namespace

// A pulse the host writes sounds within a device packet of the reported output latency, at every rate and size,
// also when the playback device runs at 48000 below the driver's rate (decimated outputs).
TEST_F(Recording, OutputPulsesSoundAtTheReportedOutputLatency) {
    struct Run {
        double rate;
        std::vector<DWORD> playbackRates;
    };
    const std::vector<DWORD> every = {44100, 48000, 96000, 192000};
    const Run runs[] = {{48000.0, every}, {96000.0, every}, {192000.0, every}, {96000.0, {48000}}, {192000.0, {48000}}};
    int judged = 0;
    for (const Run& run : runs) {
        for (int32_t n : {144, 288, 1152}) {
            SCOPED_TRACE(testing::Message()
                         << run.rate << " Hz, " << n << " frames, playback at " << run.playbackRates.back());
            drivertest::StoreSetting("Output Device", REG_SZ, "Speakers");
            ScopedWorld world(sim::devices::Machine({Microphone(50)}, {Speakers(run.playbackRates)}));
            StandInHost host;
            ASSERT_EQ(host->init(nullptr), ASIOTrue);
            ASSERT_EQ(host->setSampleRate(run.rate), ASE_OK);
            ASSERT_NE(Inside(host.driver())->outputFifo.device, nullptr);
            host.SetProbe(&DropOuts);
            host.SetTimeProbe(&TickDue);
            host.SetOutputSignal(&OutputPulses);
            ASSERT_EQ(host.Prepare(n), ASE_OK);
            int32_t input = 0, reported = 0;
            host->getLatencies(&input, &reported);
            ASSERT_EQ(host->start(), ASE_OK);
            ASSERT_TRUE(host.WaitForSwitches(static_cast<int>(std::max(1.0, kScale * 2) * 2 * kOutputPulsePeriod / n)));
            int32_t again = 0;
            host->getLatencies(&input, &again);
            EXPECT_EQ(again, reported) << "the output latency moved while running";
            host->stop();
            const sim::devices::PlayedRecord played = world.playback(0)->TakePlayed();
            const std::vector<int64_t> times = host.SwitchTimes();
            const std::vector<uint32_t> dropOuts = host.ProbeValues();
            ASSERT_GT(played.channels, 0u);
            const std::vector<int64_t> due = host.ProbeTimes();
            const double periodNs = 1e9 * n / run.rate;
            size_t firstDropOut = 0;
            while (firstDropOut < dropOuts.size() && dropOuts[firstDropOut] == 0) ++firstDropOut;
            // A switch over half a buffer late may let the device play the gap as silence, delaying all that
            // follows (a loaded machine): pulses after it are not judged, nor after a device underrun.
            double firstLateNs = 1e300;
            for (size_t b = 0; b < times.size(); ++b)
                if (static_cast<double>(times[b] - due[b]) > periodNs / 2) {
                    firstLateNs = static_cast<double>(due[b]);
                    break;
                }
            const size_t frames = played.samples.size() / played.channels;
            size_t begun = 0;
            while (begun < played.samples.size() && played.samples[begun] == 0.0f) ++begun;
            begun /= played.channels;
            size_t firstUnderrun = frames;
            for (const sim::devices::PlayedSpan& span : played.spans)
                if (span.underrun && span.firstFrame > begun && span.firstFrame < firstUnderrun)
                    firstUnderrun = span.firstFrame;
            for (size_t f = 1; f < firstUnderrun; ++f) {
                const float before = played.samples[(f - 1) * played.channels];
                const float now = played.samples[f * played.channels];
                if (!(before < 0.25f && now >= 0.25f)) continue;
                const auto at = played.TimeOf(f);
                ASSERT_TRUE(at.has_value());
                const double sounded = static_cast<double>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(at->time_since_epoch()).count());
                // Which pulse it is: the one written less than a period before it sounded.
                bool found = false;
                for (int64_t m = 0; !found; ++m) {
                    const int64_t j = m * kOutputPulsePeriod;
                    const size_t b = static_cast<size_t>(j / n);
                    if (b >= due.size()) break;
                    const double latency =
                        (sounded - static_cast<double>(due[b])) * run.rate / 1e9 - static_cast<double>(j % n);
                    if (latency < 0 || latency >= kOutputPulsePeriod) continue;
                    found = true;
                    if (b >= firstDropOut || sounded >= firstLateNs) break;
                    if (kTimingJudged) {
                        EXPECT_NEAR(latency, reported, n) << "pulse " << m;
                    }
                    ++judged;
                }
            }
        }
    }
    if (kTimingJudged) {
        EXPECT_GE(judged, 4) << "too few pulses sounded before a drop-out to judge the latency";
    }
}
