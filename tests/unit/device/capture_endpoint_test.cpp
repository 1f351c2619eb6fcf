// Capture endpoints on virtual microphones, with real stream threads: every coding in both streaming modes, the
// float switch with microphones that answer late, elsewhere or never, the measured rate, and device faults.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "tests/unit/device/endpoint_support.h"

using namespace std::chrono_literals;
using endpointtest::ComJoined;
using endpointtest::kMatchStrings;
using endpointtest::RampCollector;
using endpointtest::WaitFor;
using sim::devices::HidReply;
using sim::devices::Machine;
using sim::devices::MicrophoneConfig;
using sim::devices::SampleKind;
using sim::devices::ScopedWorld;
using sim::devices::Signal;
using sim::devices::Streaming;

namespace {

MicrophoneConfig RampMicrophone(SampleKind kind, Streaming streaming, bool hid = false) {
    MicrophoneConfig config;
    config.signal = Signal::Ramp();
    config.formats = {{kind}, {48000}, 1};
    config.streaming = streaming;
    config.hid = hid;
    return config;
}

// Opens every microphone of the world at 48 kHz with 144-frame packets, one ramp collector each.
// The collectors outlive the manager, whose end joins the stream threads that may still be calling them.
struct Microphones {
    std::vector<std::unique_ptr<RampCollector>> collectors;
    CKSDeviceManager manager;
    std::vector<CKSDevice*> endpoints;

    explicit Microphones(uint32_t frames = 144) {
        manager.Enumerate();
        endpoints = manager.OpenCaptureDevices(kMatchStrings, 48000, 1, frames, nullptr, nullptr);
        for (CKSDevice* endpoint : endpoints) {
            collectors.push_back(std::make_unique<RampCollector>());
            manager.SetDataCallback(endpoint, &RampCollector::Callback, collectors.back().get());
        }
    }
    CInputCaptureKS* Capture(size_t i) { return static_cast<CInputCaptureKS*>(endpoints.at(i)); }
    bool AllHave(uint64_t packets) {
        for (auto& c : collectors)
            if (c->Packets() < packets) return false;
        return true;
    }
};

}  // namespace

// Each coding, in WaveRT and in standard streaming, reaches the callback as the very ramp the microphone heard,
// before and after a resize.
TEST(CaptureEndpoint, EveryCodingInBothModesDeliversTheRampSampleBySampleAtEverySize) {
    ComJoined com;
    const SampleKind kinds[] = {SampleKind::Int16, SampleKind::Int24, SampleKind::Int24In32, SampleKind::Int32};
    std::vector<MicrophoneConfig> configs;
    for (Streaming streaming : {Streaming::WaveRt, Streaming::Standard})
        for (SampleKind kind : kinds) configs.push_back(RampMicrophone(kind, streaming));
    ScopedWorld world(Machine(configs));
    Microphones mics;
    ASSERT_EQ(mics.endpoints.size(), configs.size());
    for (size_t i = 0; i < configs.size(); ++i) {
        if (configs[i].formats.kinds[0] == SampleKind::Int16) mics.collectors[i]->stepsPerUnit = 32767.0;
        EXPECT_EQ(mics.Capture(i)->GetSamplesPerPacket(), 144u);
        EXPECT_EQ(mics.Capture(i)->GetNumPackets(), configs[i].streaming == Streaming::WaveRt ? 2u : 4u);
    }

    mics.manager.StartAll();
    EXPECT_TRUE(WaitFor([&] { return mics.AllHave(100); }));
    mics.manager.StopAll();
    for (size_t i = 0; i < configs.size(); ++i) {
        RampCollector& c = *mics.collectors[i];
        std::lock_guard<std::mutex> hold(c.lock);
        SCOPED_TRACE(testing::Message() << "microphone " << i);
        // A very late wake may tear a packet; a wrong decoding spoils them all. A lost packet shows as a jump.
        EXPECT_LE(c.badPackets, c.packets / 50);
        EXPECT_EQ(c.lastCount, 144u);
        EXPECT_EQ(c.lastChannels, 1u);
        EXPECT_LE(c.jumps, c.packets / 10);
        // Undelivered: the first 32 packets held back, and at most one per packet cancelled by the stop. A wake
        // held up past two packets (a loaded machine) delivers silence for those written over, never transferred.
        const uint64_t delivered = mics.endpoints[i]->PacketsDelivered();
        const uint64_t transferred = mics.endpoints[i]->PacketsTransferred() + mics.endpoints[i]->PacketsStoodIn();
        EXPECT_GE(transferred, delivered + 32);
        EXPECT_LE(transferred, delivered + 32 + mics.endpoints[i]->GetNumPackets());
    }

    // Resizing rebuilds the packets and the thread; the next start streams the new size.
    for (CKSDevice* e : mics.endpoints) mics.manager.ResizeDevice(e, 576);
    for (CKSDevice* e : mics.endpoints) {
        EXPECT_EQ(e->GetSamplesPerPacket(), 576u);
        EXPECT_EQ(e->PeriodMs(), 12u);
    }
    const uint64_t before = mics.collectors[0]->Packets();
    mics.manager.StartAll();
    EXPECT_TRUE(WaitFor([&] { return mics.AllHave(before + 40); }));
    mics.manager.StopAll();
    for (auto& c : mics.collectors) {
        std::lock_guard<std::mutex> hold(c->lock);
        EXPECT_EQ(c->lastCount, 576u);
        EXPECT_LE(c->badPackets, c->packets / 50);
    }
}

// A WaveRT stream thread held up past a packet's completion finds both packets written when it runs again: it takes
// both in order and is back on the device's schedule, from then on one packet a wake (a thread left a packet behind
// would read every later packet while the device rewrites it). Held up past more completions, it finds the packets
// before the last two written over: silence stands in for them, so that the ramp after them, and every packet's
// time for the latency steering, stay where the device sampled them.
TEST(CaptureEndpoint, AWaveRtStreamHeldUpCatchesUpAndFillsInWhatTheDeviceWroteOver) {
    // 24 ms packets: each hold-up ends 12 ms clear of the next write either way.
    // The last two are held up again as the first silence is handed over, by one packet and by two: the device then
    // completes the next packets into the ones about to be read, which must not come through (heard twice, the
    // microphone would be a packet late from then on) nor be lost (it would be a packet early): silence stands in
    // for what was overtaken, and what overtook it is read at the next wake, a late one again.
    // In the last, the device's own thread is held up too, just after it completed the packet after the held one,
    // until after the stream thread runs again: that thread finds one packet written where the device's clock has
    // completed six, and must not take the device for one that stalled (its stamps would start afresh at its wake,
    // 156 ms late) but count what the device wrote over.
    // In the last, the thread is not held up at all, but woken again with nothing new to take, halfway to the next
    // packet: it must hand nothing over (the packet it read would be heard twice) and date nothing at that wake.
    const struct {
        std::chrono::milliseconds hold, holdOnSilence;
        uint64_t writtenOver, lateWakes;
        std::chrono::milliseconds deviceHeld = 0ms;
        bool wokenAgain = false;
    } holdUps[] = {{60ms, 0ms, 0, 1},         {180ms, 0ms, 5, 1}, {180ms, 24ms, 6, 1}, {180ms, 48ms, 7, 2},
                   {180ms, 0ms, 5, 2, 200ms}, {12ms, 0ms, 0, 0, 0ms, true}};
    for (const auto& h : holdUps) {
        SCOPED_TRACE(testing::Message() << "held up " << h.hold.count() << " ms, " << h.holdOnSilence.count()
                                        << " ms more, device held up " << h.deviceHeld.count() << " ms"
                                        << (h.wokenAgain ? ", woken again" : ""));
        ComJoined com;
        ScopedWorld world(Machine({RampMicrophone(SampleKind::Int24, Streaming::WaveRt)}));
        Microphones mics(1152);
        RampCollector& c = *mics.collectors[0];
        c.holdAtPacket = 10;
        c.hold = h.hold;
        c.holdOnFirstSilence = h.holdOnSilence;
        if (h.deviceHeld > 0ms) {
            c.duringHoldAt = 36ms;
            c.duringHold = [&world, &h] { world.microphone(0)->HoldThread(h.deviceHeld); };
        }
        if (h.wokenAgain) c.duringHold = [&mics] { SetEvent(mics.endpoints[0]->pin->m_hNotificationEvent); };
        c.stampSource = &mics.endpoints[0]->packetCounter;
        mics.manager.StartAll();
        EXPECT_TRUE(WaitFor([&] { return mics.AllHave(60); }));
        mics.manager.StopAll();
        std::lock_guard<std::mutex> hold(c.lock);
        EXPECT_EQ(mics.endpoints[0]->packetsOverrun.load(), h.lateWakes);
        EXPECT_EQ(c.silentPackets, h.writtenOver);
        EXPECT_EQ(c.jumps, 0u);
        EXPECT_EQ(c.badPackets, 0u);
        // Each packet is handed over with the time the device completed it (10 MHz counter, 48000 Hz: 208.3 counts
        // a sample), the ones of the catching-up wake and the silence too: never the same time twice, never a
        // quarter packet (60000 counts) from where the device's own count of samples puts it.
        ASSERT_GE(c.stamps.size(), 20u);
        for (size_t k = 1; k < c.stamps.size(); ++k) {
            EXPECT_GT(c.stamps[k] - c.stamps[k - 1], 120'000) << k;
            EXPECT_NEAR(static_cast<double>(c.stamps[k] - c.stamps[0]), c.places[k] * 1e7 / 48000.0, 60'000.0) << k;
        }
    }
}

// Eight 24-in-32 microphones whose HID answers the float command promptly, late, wrongly or never, beside one
// without HID and one of another coding (never asked): StartAll waits for none, and every stream decodes right.
TEST(CaptureEndpoint, FloatSwitchNeverMisreadsAndStartDoesNotWaitForSilentMicrophones) {
    ComJoined com;
    std::vector<MicrophoneConfig> configs(8, RampMicrophone(SampleKind::Int24In32, Streaming::WaveRt, true));
    configs[5].streaming = Streaming::Standard;
    configs.push_back(RampMicrophone(SampleKind::Int24In32, Streaming::WaveRt, false));
    configs.push_back(RampMicrophone(SampleKind::Int32, Streaming::WaveRt, true));
    // A quarter-scale sine: a float read as an integer reads 0.4 to 0.6, an integer read as a float tiny or huge.
    for (auto& config : configs) config.signal = Signal::Sine(1000.0, 0.25);
    ScopedWorld world(Machine(configs));
    world.microphone(1)->hid()->SetReply(HidReply::None);           // never answers
    world.microphone(2)->hid()->SetReply(HidReply::OtherReportId);  // answers under report 3
    world.microphone(3)->hid()->SetReplyDelay(3000ms);              // echoes after the reply window
    world.microphone(4)->hid()->SetReply(HidReply::EchoWithoutAck);
    world.microphone(5)->hid()->SetReply(HidReply::OtherReportId);  // standard streaming
    world.microphone(6)->hid()->WritesNeverComplete(true);
    world.microphone(7)->hid()->SetReply(HidReply::None);
    Microphones mics;
    ASSERT_EQ(mics.endpoints.size(), 10u);
    // The endpoints come in the world's order: the first eight, then the one without HID, then the Int32 one.
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(mics.Capture(i)->HasHidChannel(), i != 8) << i;
    EXPECT_FALSE(mics.Capture(9)->format24In32);

    mics.manager.StartAll();
    // Returned while the silent microphones' exchanges still run; the two never asked are not starting at all.
    EXPECT_TRUE(mics.Capture(1)->Starting());
    EXPECT_TRUE(mics.Capture(7)->Starting());
    EXPECT_FALSE(mics.Capture(8)->Starting());
    EXPECT_FALSE(mics.Capture(9)->Starting());
    EXPECT_TRUE(WaitFor([&] { return mics.AllHave(200); }));
    mics.manager.StopAll();

    const bool microphoneFloats[] = {true, false, true, true, true, true, false, false, false, false};
    const bool driverHeard[] = {true, false, false, false, true, false, false, false, false, false};
    for (size_t i = 0; i < 10; ++i) {
        SCOPED_TRACE(testing::Message() << "microphone " << i);
        EXPECT_EQ(world.microphone(i)->FloatSamples(), microphoneFloats[i]);
        EXPECT_EQ(mics.Capture(i)->floatSamples.load(), driverHeard[i]);
        EXPECT_EQ(mics.Capture(i)->FloatCommandSent(), i < 8);
        std::lock_guard<std::mutex> hold(mics.collectors[i]->lock);
        EXPECT_GT(std::fabs(mics.collectors[i]->worstValue), 0.24f);
        EXPECT_LT(std::fabs(mics.collectors[i]->worstValue), 0.26f);
    }
    EXPECT_EQ(world.microphone(9)->hid()->CommandsReceived(), 0);
}

// The measured rate against crystals of -200, 0 and +200 ppm through real stream threads, windows shortened.
TEST(CaptureEndpoint, MeasuredRateFollowsEachCrystal) {
    ComJoined com;
    std::vector<MicrophoneConfig> configs(3, RampMicrophone(SampleKind::Int24In32, Streaming::WaveRt));
    const double ppm[] = {-200.0, 0.0, 200.0};
    for (int i = 0; i < 3; ++i) configs[i].offsetPpm = ppm[i];
    ScopedWorld world(Machine(configs));
    Microphones mics(480);
    ASSERT_EQ(mics.endpoints.size(), 3u);
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    for (CKSDevice* e : mics.endpoints) {
        EXPECT_EQ(e->rate.counterFrequency, frequency.QuadPart);
        EXPECT_EQ(e->rate.windowCounts, 30 * frequency.QuadPart);
        e->rate.warmUpCounts = frequency.QuadPart / 5;
        e->rate.firstWindowCounts = 6 * frequency.QuadPart;
        e->rate.windowCounts = 2 * frequency.QuadPart;
    }
    mics.manager.StartAll();
    // The first window closes after 6.2 s; the ratio then settles within about a second (100 periods of 10 ms).
    EXPECT_TRUE(WaitFor([&] {
        for (CKSDevice* e : mics.endpoints)
            if (e->PacketsTransferred() < 820) return false;
        return true;
    }));
    mics.manager.StopAll();
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(testing::Message() << ppm[i] << " ppm");
        const double truth = 1.0 + ppm[i] * 1e-6;
        // A stream that stalled (a machine far too busy) measures low: that is the endpoint's truth, not the crystal's.
        uint64_t jumps = 0;
        {
            std::lock_guard<std::mutex> hold(mics.collectors[i]->lock);
            jumps = mics.collectors[i]->jumps;
        }
        EXPECT_GT(mics.endpoints[i]->MeasuredRate(), 0.0);
        if (jumps > 0) {
            std::printf("%g ppm: %llu packets lost to late wakes; rate not compared\n", ppm[i],
                        static_cast<unsigned long long>(jumps));
            continue;
        }
        // The plumbing (queried counter, channels counted, ratio handed over) to 1 %, which a wrong frequency or
        // channel count misses by far; ppm accuracy is pinned by the RateMeasurement tests.
        EXPECT_NEAR(mics.endpoints[i]->MeasuredRate(), 48000.0 * truth, 48000.0 * 1e-2);
        EXPECT_NEAR(mics.endpoints[i]->RateRatio(), truth, 1e-2);
        EXPECT_NEAR(mics.collectors[i]->lastRatio, mics.endpoints[i]->RateRatio(), 1e-3);
    }
}

// Faults of single devices: each hurts only its own endpoint.
TEST(CaptureEndpoint, DeviceFaultsStayWithTheirEndpoint) {
    ComJoined com;
    std::vector<MicrophoneConfig> configs(8, RampMicrophone(SampleKind::Int24In32, Streaming::WaveRt));
    configs[3].formats.rates = {44100};  // refuses 48 kHz in every coding
    configs[6].streaming = Streaming::Standard;
    ScopedWorld world(Machine(configs));
    world.microphone(4)->RefuseEveryBufferSize(true);
    world.microphone(5)->RefuseInstantiation(true);
    Microphones mics;
    // A refused format or instantiation opens nothing; a refused buffer opens an endpoint without packets.
    ASSERT_EQ(mics.endpoints.size(), 6u);
    CKSDevice* healthy = mics.endpoints[0];
    CKSDevice* stalling = mics.endpoints[1];
    CKSDevice* dying = mics.endpoints[2];
    CKSDevice* unbuffered = mics.endpoints[3];
    CKSDevice* delayed = mics.endpoints[4];
    CKSDevice* bursting = mics.endpoints[5];
    EXPECT_EQ(unbuffered->GetNumPackets(), 0u);
    EXPECT_EQ(unbuffered->GetSamplesPerPacket(), 0u);
    EXPECT_TRUE(WaitFor([&] { return unbuffered->StreamThreadEnded(); }));

    mics.manager.StartAll();
    EXPECT_TRUE(WaitFor([&] { return mics.collectors[0]->Packets() > 50; }));
    world.microphone(1)->Stall(300ms);
    world.microphone(2)->StopForGood();
    world.microphone(6)->DelayPackets(5, 10ms);
    world.microphone(7)->DeliverInBursts(3);
    const uint64_t stalledAt = mics.collectors[1]->Packets();
    const uint64_t diedAt = dying->PacketsTransferred();
    EXPECT_TRUE(WaitFor([&] {
        return mics.collectors[0]->Packets() > 600 && mics.collectors[1]->Packets() > stalledAt + 200 &&
               mics.collectors[4]->Packets() > 300 && mics.collectors[5]->Packets() > 200;
    }));
    mics.manager.StopAll();

    for (size_t i : {0, 1, 4}) EXPECT_LE(mics.collectors[i]->BadPackets(), mics.collectors[i]->Packets() / 50) << i;
    EXPECT_LE(dying->PacketsTransferred(), diedAt + 2);
    EXPECT_EQ(unbuffered->PacketsTransferred(), 0u);
    EXPECT_GT(healthy->PacketsDelivered(), 500u);
    EXPECT_GT(stalling->PacketsDelivered(), stalledAt);
    EXPECT_GT(delayed->PacketsDelivered(), 200u);
    EXPECT_GT(bursting->PacketsDelivered(), 100u);
    // Whatever arrived in bursts is still a valid sample stream.
    std::lock_guard<std::mutex> hold(mics.collectors[5]->lock);
    EXPECT_LE(std::fabs(mics.collectors[5]->worstValue), 1.0f);
}
