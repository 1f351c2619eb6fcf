// The master clock with a stand-in host (real callbacks on the clock thread) and stand-in microphones: producer
// threads that push a sine into the microphone FIFOs at their own crystal's pace, as a capture stream thread does.
// Assertions are about what arrives, never about how long anything took.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/asio_driver.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/wait_for.h"

namespace {

using drivertest::Entry;

// A microphone on its own crystal: pushes `packetFrames` of a sine per period, paced by the steady clock.
class Microphone {
public:
    Microphone(DeviceFifo* fifo, double rateHz, uint32_t packetFrames, double frequencyHz)
        : fifo(fifo), rate(rateHz), packet(packetFrames), frequency(frequencyHz) {
        thread = std::thread([this] { Run(); });
    }
    ~Microphone() {
        stopRequested = true;
        thread.join();
    }

private:
    void Run() {
        std::vector<float> samples(packet);
        const auto begin = std::chrono::steady_clock::now();
        uint64_t produced = 0;
        while (!stopRequested) {
            const auto due = begin + std::chrono::duration<double>(static_cast<double>(produced + packet) / rate);
            std::this_thread::sleep_until(due);
            for (uint32_t i = 0; i < packet; ++i)
                samples[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * frequency * (produced + i) / rate));
            OnCaptureData(samples.data(), packet, 1, 1.0, fifo);
            produced += packet;
        }
    }

    DeviceFifo* fifo;
    double rate;
    uint32_t packet;
    double frequency;
    std::atomic<bool> stopRequested{false};
    std::thread thread;
};

struct Driver : drivertest::OwnedDriver {
    Driver(int microphones, bool isFloat, int32_t bufferFrames) : OwnedDriver(isFloat), state(driver) {
        drivertest::AttachStandInMicrophones(*driver, microphones, static_cast<uint32_t>(bufferFrames));
    }
    ~Driver() { Release(); }  // while the host still records: the clock thread calls it until the driver is gone
    ASIOError Prepare(std::vector<ASIOBufferInfo> infos, int32_t bufferFrames) {
        return driver->createBuffers(infos.data(), static_cast<int32_t>(infos.size()), bufferFrames,
                                     &drivertest::RecordingHost::callbacks);
    }
    drivertest::RecordingHost state;
};

// Everything from the first non-silent sample on must be one unbroken sine: successive samples of a 0.5 sine at
// f Hz differ by at most 0.5 × 2πf / rate, so a gap, a repeated stretch or a silent buffer breaks the bound.
// A machine loaded by other work may starve the producer threads long enough for a real underrun; the driver
// then hands the host a silent buffer and counts a drop-out. So every break must sit on a buffer boundary and
// be one the driver owned up to: silent buffers and trims together at most the drop-outs it counted.
void ExpectContinuousSine(const std::vector<float>& received, size_t bufferFrames, double frequencyHz, double rateHz,
                          uint32_t dropOuts) {
    size_t first = 0;
    while (first < received.size() && received[first] == 0.0f) ++first;
    ASSERT_LT(first + 10000, received.size()) << "too little audio arrived";
    const size_t flowStart = first - first % bufferFrames;
    auto silent = [&](size_t buffer) {
        for (size_t i = buffer * bufferFrames; i < (buffer + 1) * bufferFrames; ++i)
            if (received[i] != 0.0f) return false;
        return true;
    };
    const size_t buffers = received.size() / bufferFrames;
    size_t silentBuffers = 0;
    for (size_t b = flowStart / bufferFrames + 1; b < buffers; ++b) silentBuffers += silent(b);

    const double bound = 0.5 * 2 * M_PI * frequencyHz / rateHz * 1.02 + 1e-5;
    size_t jumps = 0;
    for (size_t i = first + 1; i < buffers * bufferFrames; ++i) {
        if (std::fabs(received[i] - received[i - 1]) <= bound) continue;
        ASSERT_EQ(i % bufferFrames, 0u) << "a break inside a buffer at " << i;
        const size_t b = i / bufferFrames;
        if (!silent(b) && !silent(b - 1)) ++jumps;  // audio to audio: only a trim may do that
    }
    EXPECT_LE(silentBuffers + jumps, dropOuts);
    float peak = 0;
    for (size_t i = received.size() / 2; i < received.size(); ++i) peak = std::max(peak, std::fabs(received[i]));
    EXPECT_NEAR(peak, 0.5f, 0.01f);
}

// How far behind the host's timeline each buffer of a ramp (sample k = k / 65536) is, in frames, from each buffer's
// last sample (a buffer that ramps in from silence starts at exactly zero and is scaled by (n - 1) / n there). The
// host's buffers from `gapAt` on stand `gap` buffers later on the timeline (the ticks a clock gave up). Silent buffers
// are counted, not placed.
std::vector<long> Lags(const std::vector<float>& got, size_t n, size_t* silent, size_t gapAt = 0, size_t gap = 0) {
    std::vector<long> lags;
    *silent = 0;
    for (size_t b = 1; b < got.size() / n; ++b) {
        const float first = got[b * n], last = got[b * n + n - 1];
        if (last == 0.0f) {
            ++*silent;
            continue;
        }
        const double value = (first == 0.0f ? last * n / (n - 1.0) : last) * 65536.0;
        const size_t slot = gapAt && b >= gapAt ? b + gap : b;
        lags.push_back(std::lround(static_cast<double>(slot * n + n - 1) - value));
    }
    return lags;
}

}  // namespace

// A microphone 100 ppm fast reaches the host unbroken in both sample formats, and the first buffer fades in.
TEST(Clock, DriftingMicrophoneArrivesContinuousInBothVariants) {
    for (bool isFloat : {false, true}) {
        SCOPED_TRACE(isFloat ? "float" : "integer");
        constexpr int32_t n = 576;  // 12 ms: generous slack for a loaded machine
        Driver driver(1, isFloat, n);
        ASSERT_EQ(driver.Prepare({Entry(true, 0)}, n), ASE_OK);
        {
            Microphone microphone(&driver->inputFifos[0], 48000.0 * (1 + 100e-6), 144, 440.0);
            ASSERT_EQ(driver->start(), ASE_OK);
            Sleep(1500);
            driver->stop();
        }
        const std::vector<float>& received = driver.state.inputs.at(0);
        ExpectContinuousSine(received, n, 440.0, 48000.0, driver->dropOutCount);

        // The first delivered buffer ramps in from exact silence; the ones before it are silent.
        size_t first = 0;
        while (received[first] == 0.0f) ++first;
        const size_t bufferStart = first - first % n;
        EXPECT_EQ(received[bufferStart], 0.0f);
        for (size_t k = 0; k < static_cast<size_t>(n); ++k)
            ASSERT_LE(std::fabs(received[bufferStart + k]), 0.5f * k / n + 1e-6f) << k;
    }
}

// start returns after the host has had two switches; the position counts from the first switch after start; a
// clock held back far enough gives up the ticks it missed, as one drop-out.
TEST(Clock, StartDeliversTwoSwitchesAndPositionsFollowTheBuffers) {
    constexpr int32_t n = 288;
    Driver driver(1, false, n);
    ASSERT_EQ(driver.Prepare({Entry(true, 0)}, n), ASE_OK);
    // Exactly the fill the first read is primed to: two and a half buffers.
    driver->inputFifos[0].PushRaw(std::vector<float>(5 * n / 2, 0.25f).data(), 5 * n / 2);
    // The third switch is held well over four buffers long: the clock gives up the ticks it missed instead of
    // making them up in a burst.
    driver.state.stallAfterSwitch = 3;
    ASSERT_EQ(driver->start(), ASE_OK);
    const int atStart = driver.state.switches;
    EXPECT_GE(atStart, 2);
    driver->setClockSource(0);
    ASSERT_TRUE(testwait::WaitFor([&] { return driver.state.switches >= atStart + 6; }));
    driver->stop();

    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    std::lock_guard<std::mutex> lock(driver.state.mutex);
    const std::vector<double>& positions = driver.state.positions;
    EXPECT_EQ(positions[0], 0.0);
    EXPECT_EQ(positions[1], 0.0);
    for (size_t i = static_cast<size_t>(atStart) + 1; i < positions.size(); ++i)
        EXPECT_EQ(positions[i] - positions[i - 1], n);
    // After stop the position and stamp of the last switch remain readable.
    ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(static_cast<double>(position.lo), positions.back());
    EXPECT_TRUE(stamp.hi != 0 || stamp.lo != 0);

    // Every switch carries the rate; the clock-source change is announced exactly once.
    int announced = 0;
    for (uint32_t flags : driver.state.timeFlags) {
        EXPECT_EQ(flags & 7u, 7u);
        announced += (flags & kClockSourceChanged) != 0;
        EXPECT_EQ(flags & kSampleRateChanged, 0u);
    }
    EXPECT_EQ(announced, 1);
    for (size_t i = 1; i < driver.state.indices.size(); ++i)
        EXPECT_EQ(driver.state.indices[i], 1 - driver.state.indices[i - 1]);

    // The two whole buffers pushed before start arrive (the first faded in); once they are gone the stream has run
    // dry: one drop-out, however many silent buffers follow until audio comes again. A machine busy elsewhere may
    // hold the clock back so long that it gives up the ticks it missed; each such time is a drop-out of its own.
    EXPECT_EQ(driver.state.inputs[0][n + 5], 0.25f);
    EXPECT_EQ(driver.state.inputs[0].back(), 0.0f);
    EXPECT_GE(driver->lateSkipCount.load(), 1u);
    EXPECT_EQ(driver->dropOutCount.load(), 1u + driver->lateSkipCount.load());
}

// A microphone whose stream is held up past the ticks its margin covers costs the host silent buffers, and keeps its
// place on the host's timeline (and among the other microphones) whatever became of the audio of the hold-up: come
// late all at once, come late a piece at a time as a stream thread catches up, or lost. Ticks are run by hand, so
// the test decides exactly when audio arrives; the ramp tells which frame each buffer holds.
TEST(Clock, AMicrophoneHeldUpKeepsItsPlaceOnTheTimeline) {
    constexpr uint32_t n = 288;
    enum class Backlog { AtOnce, InPieces, Lost };
    for (Backlog backlog : {Backlog::AtOnce, Backlog::InPieces, Backlog::Lost}) {
        SCOPED_TRACE(static_cast<int>(backlog));
        Driver driver(1, true, n);
        ASSERT_EQ(driver.Prepare({Entry(true, 0)}, n), ASE_OK);
        DeviceFifo& fifo = driver->inputFifos[0];
        uint32_t produced = 0;
        auto produce = [&](uint32_t frames) {
            std::vector<float> ramp(frames);
            for (float& x : ramp) x = static_cast<float>(produced++) / 65536.0f;
            fifo.PushRaw(ramp.data(), frames);
        };
        produce(3 * n);
        for (int t = 0; t < 6; ++t) driver->Tick(), produce(n);
        // Held up for four ticks: the margin covers two, the third and fourth go out silent.
        for (int t = 0; t < 4; ++t) driver->Tick();
        if (backlog == Backlog::AtOnce) produce(4 * n);
        if (backlog == Backlog::InPieces) produce(n), driver->Tick(), produce(4 * n);
        if (backlog == Backlog::Lost) produced += 3 * n, produce(n), driver->Tick(), produce(n);
        for (int t = 0; t < 8; ++t) driver->Tick(), produce(n);

        size_t silent = 0;
        const std::vector<long> behind = Lags(driver.state.inputs[0], n, &silent);
        // One break of a few buffers, counted once, and every buffer around it at the same place.
        EXPECT_GE(silent, 2u);
        EXPECT_LE(silent, 4u);
        EXPECT_EQ(driver->dropOutCount.load(), 1u);
        ASSERT_FALSE(behind.empty());
        EXPECT_EQ(behind, std::vector<long>(behind.size(), behind[0]));
    }
}

// A clock held up for four ticks gives them up: the host never gets those buffers, and every stream keeps the latency
// reported across the gap. The microphones' audio of the missed buffers is dropped rather than queued ahead of what
// follows (whether or not a FIFO piled up enough to be trimmed), and silence stands in on the output, which ran dry
// meanwhile, up to the fill it is steered to, so that its next packets do not play piecemeal.
TEST(Clock, ATickGapKeepsEveryStreamAtItsLatency) {
    constexpr uint32_t n = 288;
    Driver driver(1, true, n);
    DeviceFifo& output = driver->outputFifo;
    output.device = reinterpret_cast<CKSDevice*>(&output);
    output.channels = 2;
    output.Configure(48000.0f, n);
    output.SetHostBufferFrames(n);
    ASSERT_EQ(driver.Prepare({Entry(true, 0), Entry(false, 0), Entry(false, 1)}, n), ASE_OK);
    uint32_t produced = 0;
    auto produce = [&](uint32_t frames) {
        std::vector<float> ramp(frames);
        for (float& x : ramp) x = static_cast<float>(produced++) / 65536.0f;
        driver->inputFifos[0].PushRaw(ramp.data(), frames);
    };
    std::vector<float> packet(2 * n);
    auto render = [&] { OnRenderData(packet.data(), 2 * n, 2, 1.0, &output); };
    produce(3 * n);
    for (int t = 0; t < 8; ++t) driver->Tick(), render(), produce(n);
    ASSERT_FALSE(output.FadeInPending());
    // Held up for four ticks while the microphone captures (six and a half buffers queued: not enough for a trim)
    // and the output drains.
    for (int t = 0; t < 4; ++t) render(), produce(n);
    driver->GiveUpMissedTicks(1);
    EXPECT_EQ(output.FillFrames(), 7 * n / 2);
    const size_t gapAt = driver.state.inputs[0].size() / n;
    for (int t = 0; t < 8; ++t) driver->Tick(), render(), produce(n);

    size_t silent = 0;
    const std::vector<long> lags = Lags(driver.state.inputs[0], n, &silent, gapAt, 4);
    EXPECT_EQ(silent, 0u);
    ASSERT_FALSE(lags.empty());
    EXPECT_EQ(lags, std::vector<long>(lags.size(), lags[0]));
    EXPECT_EQ(driver->dropOutCount.load(), 1u);
}

// A microphone whose FIFO reaches the primed fill exactly (nothing to skip) steers from that fill, not from the
// slow average of the packets that gathered before it: that average lags by seconds, and the steering would
// stretch this microphone's audio while it caught up, moving it hundreds of frames later than the others.
TEST(Clock, MicrophonePrimedWithNothingToSkipSteersFromItsPrimedFill) {
    constexpr int32_t n = 288;
    for (const uint32_t extra : {0u, 40u}) {
        Driver driver(1, true, n);
        ASSERT_EQ(driver.Prepare({Entry(true, 0)}, n), ASE_OK);
        DeviceFifo& fifo = driver->inputFifos[0];
        const std::vector<float> audio(4 * n, 0.25f);
        fifo.PushRaw(audio.data(), n);  // the first packet: too little to start from
        driver->Tick();
        fifo.PushRaw(audio.data(), 3 * n / 2 + extra);  // now the primed fill, or a little over it
        driver->Tick();
        EXPECT_EQ(fifo.FillFrames(), 3u * n / 2) << extra;  // primed from exactly two and a half buffers
        for (int t = 0; t < 3; ++t) fifo.PushRaw(audio.data(), n), driver->Tick();
        // Steady: a buffer in and a buffer out per tick, the fill seen before each read two and a half buffers.
        EXPECT_NEAR(fifo.SlowFill(), 5.0f * n / 2, 2.0f) << extra;
        EXPECT_EQ(driver->dropOutCount.load(), 0u);
    }
}

TEST(Clock, IntegerConversionSaturatesAndOutputsReachTheOutputFifo) {
    constexpr int32_t n = 144;
    Driver driver(1, false, n);
    driver->outputFifo.device = reinterpret_cast<CKSDevice*>(&driver->outputFifo);
    driver->outputFifo.channels = 2;
    driver->decimationFactor = 2;
    driver->outputFifo.Configure(24000.0f, n / 2);
    ASSERT_EQ(driver.Prepare({Entry(true, 0), Entry(false, 1)}, n), ASE_OK);
    std::vector<float> values(5 * n / 2, 0.0f);
    const float edges[] = {1.0f, -1.0f, 0.5f, 2.0f, -3.0f, std::nanf("")};
    for (size_t i = 0; i < 6; ++i) values[n + i] = edges[i];
    driver->inputFifos[0].PushRaw(values.data(), 5 * n / 2);
    driver.state.outputValue = 1073741824;  // 0.5 in the host's integers
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(testwait::WaitFor([&] { return driver.state.switches >= 5; }));
    driver->stop();

    // The second buffer carries the edge values (the first one fades in).
    std::vector<int32_t> expected = {2147483647, -2147483647 - 1, 1073741824, 2147483647, -2147483647 - 1, 0};
    const std::vector<int32_t>& raw = driver.state.rawFirstInput;
    EXPECT_EQ(std::vector<int32_t>(raw.begin() + n, raw.begin() + n + 6), expected);

    // Output channel 1 (right) carried 0.5, decimated to n / 2 frames per tick; the left channel is silence.
    const int ticks = driver.state.switches;
    ASSERT_GE(ticks, 2);
    const uint32_t frames = driver->outputFifo.FillFrames();
    EXPECT_NEAR(static_cast<double>(frames), ticks * n / 2.0, 2.0 * ticks);
    std::vector<float> pushed(2 * frames);
    driver->outputFifo.Pull(pushed.data(), 2 * frames);
    // A tick reads the half the host filled at its previous switch with the same index, two ticks earlier: the
    // first two ticks pushed silence.
    for (uint32_t f = 2 * (n / 2) + 4; f < frames; ++f) {
        ASSERT_EQ(pushed[2 * f], 0.0f) << f;
        ASSERT_EQ(pushed[2 * f + 1], 0.5f) << f;
    }
}

// A microphone no host channel reads drains one buffer per tick, at the host's pace, instead of filling up to the
// trim; the latency metric is the mean fill left behind plus the buffer the host holds.
TEST(Clock, UnreadMicrophoneDrainsAtTheHostsPace) {
    constexpr uint32_t n = 576;
    Driver driver(2, true, n);
    ASSERT_EQ(driver.Prepare({Entry(true, 0)}, n), ASE_OK);
    driver->inputFifos[0].PushRaw(std::vector<float>(6 * n, 0.1f).data(), 6 * n);
    driver->inputFifos[1].PushRaw(std::vector<float>(5 * n, 0.2f).data(), 5 * n);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(testwait::WaitFor([&] { return driver.state.switches >= 3; }));
    driver->stop();

    // The read microphone starts from its primed fill of two and a half buffers; what is left under a buffer
    // stays.
    const uint32_t ticks = driver->tickCount;
    const uint32_t read = 5 * n / 2 - n * std::min(2u, ticks);
    const uint32_t drained = n * (5 - std::min(5u, ticks));
    EXPECT_EQ(driver->inputFifos[0].FillFrames(), read);
    EXPECT_EQ(driver->inputFifos[1].FillFrames(), drained);
    EXPECT_EQ(driver->latencyFrames.load(), (read + drained) / 2 + n);
}

TEST(Clock, HostMisuseNeitherCrashesNorHangs) {
    constexpr int32_t n = 288;
    {
        Driver driver(1, false, n);
        ASSERT_EQ(driver.Prepare({Entry(true, 0)}, n), ASE_OK);
        EXPECT_EQ(driver->start(), ASE_OK);
        EXPECT_EQ(driver->start(), ASE_OK);  // restart: position back to zero
        ASIOSamples position{};
        ASIOTimeStamp stamp{};
        driver->getSamplePosition(&position, &stamp);
        EXPECT_LE(position.lo, static_cast<uint32_t>(4 * n));
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);  // stops the stream
        EXPECT_FALSE(driver->clockRunning);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        ASSERT_EQ(driver.Prepare({Entry(true, 0)}, n), ASE_OK);
        EXPECT_EQ(driver->start(), ASE_OK);
        // Released while running: the destructor stops the clock.
    }
    {
        // No microphone: the clock cannot tick and start gives up.
        Driver driver(0, false, n);
        ASSERT_EQ(driver.Prepare({}, n), ASE_OK);
        EXPECT_EQ(driver->start(), ASE_HWMalfunction);
        EXPECT_FALSE(driver->clockRunning);
        EXPECT_EQ(driver->clockThread, INVALID_HANDLE_VALUE);
    }
}
