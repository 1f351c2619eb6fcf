// The master clock with a stand-in host (real callbacks on the clock thread) and stand-in microphones whose FIFOs
// the test fills. Assertions are about what arrives, never about how long anything took.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <vector>

#include "driver/asio_driver.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/wait_for.h"

namespace {

using drivertest::Entry;

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

// How many frames each buffer of a ramp (sample k = k / 65536) lags the host's timeline, from its last sample (a
// faded-in buffer is scaled by (n - 1) / n there). Buffers from `gapAt` on stand `gap` later; silent ones are counted.
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

    // The two whole buffers pushed before start arrive, the first faded in from exact silence; then the stream runs
    // dry: one drop-out however long, plus one per time the clock gave up missed ticks.
    EXPECT_EQ(driver.state.inputs[0][0], 0.0f);
    EXPECT_FLOAT_EQ(driver.state.inputs[0][n / 2], 0.125f);
    EXPECT_EQ(driver.state.inputs[0][n + 5], 0.25f);
    EXPECT_EQ(driver.state.inputs[0].back(), 0.0f);
    EXPECT_GE(driver->lateSkipCount.load(), 1u);
    EXPECT_EQ(driver->dropOutCount.load(), 1u + driver->lateSkipCount.load());
}

// A microphone held up past its margin costs silent buffers but keeps its place on the timeline, whether the audio
// of the hold-up comes late at once, in pieces, or never. Ticks run by hand; the ramp tells each buffer's frame.
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

// A clock that gives up four missed ticks keeps every stream at the latency reported: the microphones' audio of the
// missed buffers is dropped, not queued, and silence tops the drained output up to its steered fill.
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

// A microphone primed with nothing to skip steers from its primed fill, not from the seconds-late slow average of
// what gathered before (which would move it hundreds of frames later than the others).
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

// The same after a drop-out, with the stream thread still a push and a half behind at the tick after the prime:
// the fill seen then is a packet short of the latency, and the steering's average must not start from it alone
// (steered from it, the microphone would drift tens of frames later than the others for twenty seconds).
TEST(Clock, MicrophonePrimedWhileItsStreamThreadCatchesUpSteersFromItsPrimedFill) {
    constexpr int32_t n = 288;
    constexpr int64_t packetCounts = 60'000;  // 288 frames at 48000 Hz on a 10 MHz counter
    Driver driver(1, true, n);
    ASSERT_EQ(driver.Prepare({Entry(true, 0)}, n), ASE_OK);
    DeviceFifo& fifo = driver->inputFifos[0];
    fifo.SetCounterFrequency(10'000'000);
    const std::vector<float> audio(n, 0.25f);
    const int64_t t0 = 1'000'000'000;
    for (int64_t k = 0; k < 3; ++k) fifo.PushRaw(audio.data(), n), fifo.StampPush(t0 + k * packetCounts);
    driver->tickCounter = t0 + 2 * packetCounts + packetCounts / 2;
    driver->Tick();  // primed: half a packet owed, so half a packet over two and a half buffers is skipped
    EXPECT_EQ(fifo.FillFrames(), 3u * n / 2);
    driver->tickCounter += packetCounts;  // no push meanwhile: the thread is held up
    driver->Tick();
    EXPECT_NEAR(fifo.SlowFill(), 5.0f * n / 2, 1.0f);
    EXPECT_EQ(driver->dropOutCount.load(), 0u);
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
    // A tick reads the half the host filled two ticks earlier: the first two ticks pushed silence.
    for (uint32_t f = 2 * (n / 2) + 4; f < frames; ++f) {
        ASSERT_EQ(pushed[2 * f], 0.0f) << f;
        ASSERT_EQ(pushed[2 * f + 1], 0.5f) << f;
    }
}

// An unread microphone drains a buffer per tick instead of filling to the trim; latency is mean fill plus a buffer.
TEST(Clock, UnreadMicrophoneDrainsAtTheHostsPace) {
    constexpr uint32_t n = 576;
    Driver driver(2, true, n);
    ASSERT_EQ(driver.Prepare({Entry(true, 0)}, n), ASE_OK);
    driver->inputFifos[0].PushRaw(std::vector<float>(6 * n, 0.1f).data(), 6 * n);
    driver->inputFifos[1].PushRaw(std::vector<float>(5 * n, 0.2f).data(), 5 * n);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(testwait::WaitFor([&] { return driver.state.switches >= 3; }));
    driver->stop();

    // The read microphone starts from its primed fill of two and a half buffers.
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
