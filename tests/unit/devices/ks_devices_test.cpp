// The kernel-streaming layer against the virtual devices: enumeration finds exactly the world's devices in
// order, pins open in the formats a device takes and not in others, and a WaveRT capture pin delivers packets at
// its crystal's pace carrying its signal.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "hid/float_format.h"
#include "ks/ks_enum_filters.h"
#include "tests/unit/devices/filter_enumeration.h"
#include "sim/devices/world.h"
#include "sim/devices/scripted_kernel.h"

using namespace std::chrono_literals;
using kstest::Extensible;
using kstest::Pcm;
using sim::devices::Machine;
using sim::devices::MicrophoneConfig;
using sim::devices::PlaybackConfig;
using sim::devices::SampleKind;
using sim::devices::ScopedWorld;
using sim::devices::Signal;
using sim::devices::Streaming;

namespace {

using devicetest::Enumerate;

std::string Narrow(const WCHAR* text) {
    std::string narrow;
    for (; *text; ++text) narrow.push_back(static_cast<char>(*text));
    return narrow;
}

CKsAudPin* OpenCapture(CKsEnumFilters& filters, size_t index, const WAVEFORMATEX& format) {
    if (index >= filters.m_listFilters.size()) return nullptr;
    auto* filter = static_cast<CKsAudCapFilter*>(filters.m_listFilters[index]);
    return filter->CreateCapturePin(&format, 1, 0);
}

// The world's first microphone on a WaveRT pin, 24 bits in 32 at 48 kHz with two packets of 480 frames, put to run.
struct RunningCapturePin {
    HRESULT hr = S_OK;
    CKsEnumFilters filters{hr};
    CKsAudPin* pin = nullptr;
    void* buffer = nullptr;
    ULONG bytes = 0;

    void Start() {
        ASSERT_EQ(Enumerate(filters, true), S_OK);
        pin = OpenCapture(filters, 0, Extensible(1, 48000, 32, 24).Format);
        ASSERT_NE(pin, nullptr);
        ASSERT_EQ(pin->AllocateBuffersWithNotification(2 * 480 * 4, buffer, bytes), S_OK);
        ASSERT_EQ(bytes, 2u * 480 * 4);
        ASSERT_EQ(pin->_SetState(KSSTATE_RUN), S_OK);
    }
};

TEST(VirtualDevices, EnumerationFindsExactlyTheWorldsDevicesInOrder) {
    MicrophoneConfig old;
    old.needsFirmware = true;
    old.name = "Tessel (old firmware)";
    PlaybackConfig headphones;
    headphones.name = "Headphones";
    ScopedWorld world(Machine({{}, old}, {{}, headphones}, 1));

    HRESULT hr;
    CKsEnumFilters captures(hr);
    ASSERT_EQ(Enumerate(captures, true), S_OK);
    ASSERT_EQ(captures.m_listFilters.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const auto& identity = world.microphone(i)->identity();
        CKsFilter* filter = captures.m_listFilters[i];
        EXPECT_EQ(std::string(filter->m_szFilterName), identity.audioPath);
        EXPECT_EQ(std::string(filter->m_szFriendlyName), world.microphone(i)->config().name);
        EXPECT_EQ(Narrow(filter->m_wszDeviceProperty), "SWD\\MMDEVAPI\\" + identity.endpointId);
        EXPECT_EQ(filter->m_listCaptureSinkPins.size(), 1u) << "the bridge pin is not a streaming pin";
    }
    EXPECT_NE(std::string(captures.m_listFilters[0]->m_szFilterName).find("usb#vid_5e2d&pid_0102"), std::string::npos);
    EXPECT_NE(std::string(captures.m_listFilters[1]->m_szFilterName).find("usb#vid_5e2d&pid_0101"), std::string::npos);

    CKsEnumFilters renders(hr);
    ASSERT_EQ(Enumerate(renders, false), S_OK);
    ASSERT_EQ(renders.m_listFilters.size(), 2u);
    EXPECT_EQ(std::string(renders.m_listFilters[0]->m_szFriendlyName), "Speakers");
    EXPECT_EQ(std::string(renders.m_listFilters[1]->m_szFriendlyName), "Headphones");
    EXPECT_EQ(renders.m_listFilters[1]->m_listRenderSinkPins.size(), 1u);
}

TEST(VirtualDevices, PinsOpenOnlyInFormatsTheDeviceTakes) {
    MicrophoneConfig no192;
    no192.formats.rates = {48000, 96000};
    ScopedWorld world(Machine({{}, no192}));
    HRESULT hr;
    CKsEnumFilters filters(hr);
    ASSERT_EQ(Enumerate(filters, true), S_OK);

    // The range says 24 bits; only the device knows they come in 32-bit containers.
    auto packed24 = Extensible(1, 48000, 24, 24);
    EXPECT_EQ(OpenCapture(filters, 0, packed24.Format), nullptr);
    EXPECT_EQ(OpenCapture(filters, 0, Extensible(1, 44100, 32, 24).Format), nullptr);
    EXPECT_EQ(OpenCapture(filters, 0, Extensible(2, 48000, 32, 24).Format), nullptr);
    EXPECT_EQ(OpenCapture(filters, 0, Pcm(1, 48000, 16)), nullptr);
    EXPECT_EQ(OpenCapture(filters, 1, Extensible(1, 192000, 32, 24).Format), nullptr);
    EXPECT_FALSE(world.microphone(0)->PinOpen());

    CKsAudPin* pin = OpenCapture(filters, 0, Extensible(1, 192000, 32, 24).Format);
    ASSERT_NE(pin, nullptr);
    EXPECT_TRUE(pin->m_bLoopedStreaming);
    auto format = world.microphone(0)->Format();
    ASSERT_TRUE(format.has_value());
    EXPECT_EQ(format->kind, SampleKind::Int24In32);
    EXPECT_EQ(format->rate, 192000u);

    // One instance at a time: the second creation on the same filter is refused while the first is open.
    CKsEnumFilters again(hr);
    ASSERT_EQ(Enumerate(again, true), S_OK);
    EXPECT_EQ(OpenCapture(again, 0, Extensible(1, 48000, 32, 24).Format), nullptr);

    // Faults: a device that refuses to instantiate, and one that refuses every buffer size.
    ASSERT_NE(OpenCapture(filters, 1, Extensible(1, 96000, 32, 24).Format), nullptr);
    pin->ClosePin();
    world.microphone(0)->RefuseInstantiation(true);
    EXPECT_EQ(OpenCapture(again, 0, Extensible(1, 48000, 32, 24).Format), nullptr);
    world.microphone(0)->RefuseInstantiation(false);
    world.microphone(0)->RefuseEveryBufferSize(true);
    CKsAudPin* refusing = OpenCapture(again, 0, Extensible(1, 48000, 32, 24).Format);
    ASSERT_NE(refusing, nullptr);
    void* buffer = nullptr;
    ULONG bytes = 0;
    EXPECT_TRUE(FAILED(refusing->AllocateBuffersWithNotification(3840, buffer, bytes)));
    EXPECT_EQ(buffer, nullptr);
}

TEST(VirtualDevices, PlaybackDevicesTakeOnlyTheirFormats) {
    PlaybackConfig only16;
    only16.formats.kinds = {SampleKind::Int16};
    only16.formats.rates = {48000};
    ScopedWorld world(Machine({}, {only16}));
    HRESULT hr;
    CKsEnumFilters filters(hr);
    ASSERT_EQ(Enumerate(filters, false), S_OK);
    auto* filter = static_cast<CKsAudRenFilter*>(filters.m_listFilters.at(0));
    auto wide = Extensible(2, 48000, 32, 24);
    auto otherRate = Extensible(2, 96000, 16, 16);
    auto taken = Extensible(2, 48000, 16, 16);
    EXPECT_EQ(filter->CreateRenderPin(&wide.Format, 1, 0), nullptr);
    EXPECT_EQ(filter->CreateRenderPin(&otherRate.Format, 1, 0), nullptr);
    EXPECT_NE(filter->CreateRenderPin(&taken.Format, 1, 0), nullptr);
}

// Reads packets as the driver's stream thread would: wait for the notification, take the newest packet, mark
// it with a sentinel. Returns the samples of each packet in order, the packet numbers they had, and the counter
// (in seconds) read just after each number.
struct Captured {
    std::vector<std::vector<float>> packets;
    std::vector<ULONG> numbers;
    std::vector<double> seconds;
};

Captured Capture(CKsAudPin* pin, void* buffer, ULONG packetFrames, std::chrono::milliseconds duration, bool asFloat) {
    Captured captured;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < duration) {
        if (WaitForSingleObject(pin->m_hNotificationEvent, 1000) != WAIT_OBJECT_0) break;
        ULONG count = 0;
        if (FAILED(pin->GetPacketCount(count)) || count == 0) continue;
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        const BYTE* packet = static_cast<const BYTE*>(buffer) + ((count - 1) % 2) * packetFrames * 4;
        std::vector<float> samples(packetFrames);
        for (ULONG i = 0; i < packetFrames; ++i) {
            if (asFloat) {
                std::memcpy(&samples[i], packet + 4 * i, 4);
            } else {
                int32_t value;
                std::memcpy(&value, packet + 4 * i, 4);
                samples[i] = static_cast<float>(value / 2147483648.0);
            }
        }
        // A reader held back for a packet's time finds its half rewritten under it, as the device's own would:
        // that copy is not the packet it was numbered as, and is left out.
        ULONG countAfter = 0;
        if (FAILED(pin->GetPacketCount(countAfter)) || countAfter != count) continue;
        captured.packets.push_back(samples);
        captured.numbers.push_back(count);
        captured.seconds.push_back(static_cast<double>(now.QuadPart) / 1e7);
    }
    return captured;
}

// Within each packet, and across packets that followed one another, the ramp advances by exactly one step.
void ExpectUnbrokenRamp(const Captured& captured) {
    int checkedPairs = 0;
    for (size_t p = 0; p < captured.packets.size(); ++p) {
        const auto& samples = captured.packets[p];
        for (size_t i = 1; i < samples.size(); ++i)
            ASSERT_EQ((Signal::RampStep(samples[i - 1]) + 1) % Signal::kRampPeriod, Signal::RampStep(samples[i]))
                << "packet " << p << " sample " << i;
        if (p > 0 && captured.numbers[p] == captured.numbers[p - 1] + 1) {
            ASSERT_EQ((Signal::RampStep(captured.packets[p - 1].back()) + 1) % Signal::kRampPeriod,
                      Signal::RampStep(samples.front()))
                << "between packets " << p - 1 << " and " << p;
            ++checkedPairs;
        }
    }
    EXPECT_GT(checkedPairs, 0);
}

TEST(VirtualDevices, WaveRtCapturePacketsComeAtTheCrystalsPaceCarryingTheSignal) {
    MicrophoneConfig fast;
    fast.offsetPpm = 20000;  // 2 % fast: far outside any real crystal, so that the pace shows the offset
    fast.signal = Signal::Ramp();
    ScopedWorld world(Machine({fast}));
    RunningCapturePin running;
    ASSERT_NO_FATAL_FAILURE(running.Start());
    CKsAudPin* pin = running.pin;
    void* buffer = running.buffer;

    Captured captured = Capture(pin, buffer, 480, 2000ms, false);
    ExpectUnbrokenRamp(captured);

    // A packet is never counted before its frames are due, but a busy machine may count it late: each (counter,
    // count) reading lies on or below the line of the crystal's pace. The readings that lie highest, one early
    // and one late, are the ones taken closest to a packet's completion; their slope is the device's pace (to
    // within one packet at each end), whatever delays the others had.
    const double expected = 48000.0 * 1.02;
    const size_t readings = captured.numbers.size();
    ASSERT_GE(readings, 40u);
    auto height = [&](size_t i) { return captured.numbers[i] * 480.0 - expected * captured.seconds[i]; };
    size_t early = 0, late = readings - 1;
    for (size_t i = 0; i < readings / 4; ++i)
        if (height(i) > height(early)) early = i;
    for (size_t i = readings - readings / 4; i < readings; ++i)
        if (height(i) > height(late)) late = i;
    const double seconds = captured.seconds[late] - captured.seconds[early];
    ASSERT_GT(seconds, 1.0);
    const double rate = (captured.numbers[late] - captured.numbers[early]) * 480.0 / seconds;
    RecordProperty("measured_rate", std::to_string(rate));
    // One packet of uncertainty at each end over more than a second: under 1 %; nominal pace is 2 % off.
    EXPECT_NEAR(rate, expected, expected * 0.01) << "measured over " << seconds << " s";

    // Stopping resets the packet count.
    ASSERT_EQ(pin->_SetState(KSSTATE_STOP), S_OK);
    ULONG count = 99;
    ASSERT_EQ(pin->GetPacketCount(count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST(VirtualDevices, TheFloatCommandSwitchesTheStreamToFloats) {
    MicrophoneConfig ramp;
    ramp.signal = Signal::Ramp();
    ScopedWorld world(Machine({ramp}));
    auto microphone = world.microphone(0);
    RunningCapturePin running;
    ASSERT_NO_FATAL_FAILURE(running.Start());
    CKsAudPin* pin = running.pin;
    void* buffer = running.buffer;

    ExpectUnbrokenRamp(Capture(pin, buffer, 480, 100ms, false));
    HidChannel channel;
    ASSERT_TRUE(channel.Open(microphone->identity().containerId));
    std::atomic<bool> floatSamples{false};
    ASSERT_EQ(hid::RequestFloatSamples(channel, true, floatSamples), hid::FloatFormatReply::Acknowledged);
    EXPECT_TRUE(microphone->FloatSamples());
    WaitForSingleObject(pin->m_hNotificationEvent, 1000);  // the packet under way may still be integers
    ExpectUnbrokenRamp(Capture(pin, buffer, 480, 100ms, true));

    // A new stream starts with integers again.
    pin->ClosePin();
    EXPECT_FALSE(microphone->FloatSamples());
}

TEST(VirtualDevices, StandardStreamingCompletesReadRequestsInOrder) {
    MicrophoneConfig requests;
    requests.streaming = Streaming::Standard;
    requests.signal = Signal::Ramp();
    requests.formats.kinds = {SampleKind::Int16};
    ScopedWorld world(Machine({requests}));
    HRESULT hr;
    CKsEnumFilters filters(hr);
    ASSERT_EQ(Enumerate(filters, true), S_OK);
    CKsAudPin* pin = OpenCapture(filters, 0, Extensible(1, 48000, 16, 16).Format);
    ASSERT_NE(pin, nullptr);
    EXPECT_FALSE(pin->m_bLoopedStreaming);
    void* buffer = nullptr;
    ULONG bytes = 0;
    EXPECT_TRUE(FAILED(pin->AllocateBuffersWithNotification(1920, buffer, bytes))) << "not a WaveRT pin";
    ASSERT_EQ(pin->_SetState(KSSTATE_PAUSE), S_OK);

    constexpr int kRequests = 4;
    constexpr ULONG kFrames = 96;
    std::vector<int16_t> data(kRequests * kFrames);
    KSSTREAM_HEADER headers[kRequests] = {};
    OVERLAPPED overlapped[kRequests] = {};
    for (int i = 0; i < kRequests; ++i) {
        headers[i].Size = sizeof(KSSTREAM_HEADER);
        headers[i].PresentationTime.Numerator = 1;
        headers[i].PresentationTime.Denominator = 1;
        headers[i].FrameExtent = kFrames * 2;
        headers[i].Data = &data[i * kFrames];
        overlapped[i].hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_EQ(pin->ReadData(&headers[i], &overlapped[i]), S_OK);
    }
    ASSERT_EQ(pin->_SetState(KSSTATE_RUN), S_OK);
    for (int i = 0; i < kRequests; ++i) {
        ASSERT_EQ(WaitForSingleObject(overlapped[i].hEvent, 2000), WAIT_OBJECT_0) << "request " << i;
        EXPECT_EQ(headers[i].DataUsed, kFrames * 2);
    }
    // The four requests hold one unbroken stretch of the ramp.
    for (size_t i = 1; i < data.size(); ++i)
        ASSERT_EQ((Signal::RampStep(data[i - 1] / 32768.0f) + 1) % Signal::kRampPeriod,
                  Signal::RampStep(data[i] / 32768.0f))
            << "sample " << i;
    pin->ClosePin();
    for (auto& o : overlapped) CloseHandle(o.hEvent);
}

TEST(VirtualDevices, AStalledMicrophoneLosesTheSoundOfTheStall) {
    MicrophoneConfig ramp;
    ramp.signal = Signal::Ramp();
    ScopedWorld world(Machine({ramp}));
    RunningCapturePin running;
    ASSERT_NO_FATAL_FAILURE(running.Start());
    CKsAudPin* pin = running.pin;
    void* buffer = running.buffer;
    ASSERT_EQ(WaitForSingleObject(pin->m_hNotificationEvent, 1000), WAIT_OBJECT_0);

    // The stall outlasts the look at it by far, so that a test thread held back by a busy machine still looks
    // while the microphone is stalled.
    world.microphone(0)->Stall(600ms);
    ULONG during = 0, later = 0;
    pin->GetPacketCount(during);
    Sleep(100);
    pin->GetPacketCount(later);
    EXPECT_LE(later, during + 1) << "nothing moves while stalled";
    Captured after = Capture(pin, buffer, 480, 300ms, false);
    ASSERT_FALSE(after.packets.empty()) << "packets come again after the stall";

    world.microphone(0)->StopForGood();
    pin->GetPacketCount(during);
    EXPECT_NE(WaitForSingleObject(pin->m_hNotificationEvent, 100), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(pin->m_hNotificationEvent, 100), WAIT_TIMEOUT);
    pin->GetPacketCount(later);
    EXPECT_LE(later, during + 1);
}

}  // namespace

namespace {

// A render pin in packet mode plays what was announced and silence for what was not, and records both.
TEST(VirtualDevices, PlaybackRecordsAnnouncedPacketsAndSilenceForTheRest) {
    ScopedWorld world(Machine({}, {{}}));
    auto speakers = world.playback(0);
    HRESULT hr;
    CKsEnumFilters filters(hr);
    ASSERT_EQ(Enumerate(filters, false), S_OK);
    auto* filter = static_cast<CKsAudRenFilter*>(filters.m_listFilters.at(0));
    auto format = Extensible(2, 48000, 16, 16);
    CKsAudPin* pin = filter->CreateRenderPin(&format.Format, 1, 0);
    ASSERT_NE(pin, nullptr);
    void* buffer = nullptr;
    ULONG bytes = 0;
    ASSERT_EQ(pin->AllocateBuffersWithNotification(2 * 480 * 4, buffer, bytes), S_OK);
    auto* samples = static_cast<int16_t*>(buffer);
    for (ULONG i = 0; i < bytes / 2; ++i) samples[i] = 4096;  // 0.125 everywhere
    ASSERT_EQ(pin->_SetState(KSSTATE_RUN), S_OK);
    ASSERT_EQ(pin->SetWritePacket(1), S_OK);
    ASSERT_EQ(pin->SetWritePacket(2), S_OK);
    EXPECT_TRUE(FAILED(pin->SetWritePacket(2))) << "packets are announced once, in order";
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(WaitForSingleObject(pin->m_hNotificationEvent, 1000), WAIT_OBJECT_0);
        ULONG count = 0;
        ASSERT_EQ(pin->GetPacketCount(count), S_OK);
        pin->SetWritePacket(count + 2);  // refills the packet just played, as the buffer already holds 0.125
    }
    std::vector<float> played = speakers->TakeRecording();
    ASSERT_GE(played.size(), 10u * 480 * 2);
    size_t loud = 0;
    for (float sample : played) {
        ASSERT_TRUE(sample == 0.0f || sample == 0.125f) << sample;
        loud += sample == 0.125f;
    }
    EXPECT_GT(loud, played.size() / 2);

    uint64_t underrunsBefore = speakers->Underruns();
    for (int i = 0; i < 4; ++i) WaitForSingleObject(pin->m_hNotificationEvent, 1000);
    EXPECT_GE(speakers->Underruns(), underrunsBefore + 2) << "unannounced packets play as silence";
    std::vector<float> silent = speakers->TakeRecording();
    ASSERT_FALSE(silent.empty());
    EXPECT_EQ(silent.back(), 0.0f);
}

}  // namespace
