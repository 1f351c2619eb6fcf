// The kernel-streaming layer against the virtual devices, which must be no kinder than real ones.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "hid/float_format.h"
#include "tests/unit/devices/virtual_streams.h"

using namespace std::chrono_literals;
using kstest::Extensible;
using kstest::Pcm;
using sim::devices::Machine;
using sim::devices::MicrophoneConfig;
using sim::devices::PlaybackConfig;
using sim::devices::SampleKind;
using sim::devices::ScopedWorld;
using sim::devices::Streaming;

namespace {

using devicetest::Enumerate;
using devicetest::ExpectRampLockedToPacketNumbers;
using devicetest::RampMicrophone;
using devicetest::ReadPackets;
using devicetest::RunningCapture;

// Reads `wakes` wakes of the stream and checks the ramp in what it read.
void ExpectRamp(const RunningCapture& stream, int wakes, devicetest::ReadOptions options = {}) {
    std::vector<ULONG> counts;
    ExpectRampLockedToPacketNumbers(ReadPackets(stream, 480, wakes, counts, options), 480);
}

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
    PlaybackConfig only16;
    only16.formats.kinds = {SampleKind::Int16};
    only16.formats.rates = {48000};
    ScopedWorld world(Machine({{}, no192}, {only16}));
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
    ASSERT_NE(OpenCapture(filters, 1, Extensible(1, 96000, 32, 24).Format), nullptr);

    CKsEnumFilters renders(hr);
    ASSERT_EQ(Enumerate(renders, false), S_OK);
    auto* speakers = static_cast<CKsAudRenFilter*>(renders.m_listFilters.at(0));
    for (auto refused : {Extensible(2, 48000, 32, 24), Extensible(2, 96000, 16, 16)})
        EXPECT_EQ(speakers->CreateRenderPin(&refused.Format, 1, 0), nullptr);
    auto taken = Extensible(2, 48000, 16, 16);
    EXPECT_NE(speakers->CreateRenderPin(&taken.Format, 1, 0), nullptr);
}

TEST(VirtualDevices, WaveRtCapturePacketsComeAtTheCrystalsPaceCarryingTheSignal) {
    MicrophoneConfig fast = RampMicrophone();
    fast.offsetPpm = 20000;  // 2 % fast: far outside any real crystal, so that the pace shows the offset
    ScopedWorld world(Machine({fast}));
    RunningCapture stream;
    ASSERT_NO_FATAL_FAILURE(stream.Start());
    std::vector<ULONG> numbers;
    std::vector<double> times;
    const auto packets = ReadPackets(stream, 480, 220, numbers, {.seconds = &times});
    ExpectRampLockedToPacketNumbers(packets, 480);

    // Readings lie on or below the crystal's line (a busy machine reads late): the highest early and late ones give
    // the device's pace to within a packet at each end. Of 220 wakes the first and last quarters lie at least 110
    // packets (1.08 s) apart, whichever readings are highest.
    const double expected = 48000.0 * 1.02;
    const size_t readings = numbers.size();
    ASSERT_GE(readings, 40u);
    auto height = [&](size_t i) { return numbers[i] * 480.0 - expected * times[i]; };
    size_t early = 0, late = readings - 1;
    for (size_t i = 0; i < readings / 4; ++i)
        if (height(i) > height(early)) early = i;
    for (size_t i = readings - readings / 4; i < readings; ++i)
        if (height(i) > height(late)) late = i;
    const double seconds = times[late] - times[early];
    ASSERT_GT(seconds, 1.0);
    const double rate = (numbers[late] - numbers[early]) * 480.0 / seconds;
    RecordProperty("measured_rate", std::to_string(rate));
    // One packet of uncertainty at each end over more than a second: under 1 %; nominal pace is 2 % off.
    EXPECT_NEAR(rate, expected, expected * 0.01) << "measured over " << seconds << " s";

    // Stopping resets the packet count.
    ASSERT_EQ(stream.pin->_SetState(KSSTATE_STOP), S_OK);
    ULONG count = 99;
    ASSERT_EQ(stream.pin->GetPacketCount(count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST(VirtualDevices, TheFloatCommandSwitchesTheStreamToFloats) {
    ScopedWorld world(Machine({RampMicrophone()}));
    auto microphone = world.microphone(0);
    RunningCapture stream;
    ASSERT_NO_FATAL_FAILURE(stream.Start());
    ExpectRamp(stream, 10);
    HidChannel channel;
    ASSERT_TRUE(channel.Open(microphone->identity().containerId));
    std::atomic<bool> floatSamples{false};
    ASSERT_EQ(hid::RequestFloatSamples(channel, true, floatSamples), hid::FloatFormatReply::Acknowledged);
    EXPECT_TRUE(microphone->FloatSamples());
    WaitForSingleObject(stream.pin->m_hNotificationEvent, 1000);  // the packet under way may still be integers
    ExpectRamp(stream, 10, {.floats = true});

    // A new stream starts with integers again.
    stream.pin->ClosePin();
    EXPECT_FALSE(microphone->FloatSamples());
}

// Hardware never falls behind its clock: a device thread held up by the machine must still have the packets that fell
// due meanwhile counted and written when the client looks, or the client would take a busy machine for a stalled
// device and place the microphone's audio late. A device that really stalls loses the sound of the stall.
TEST(VirtualDevices, AHeldUpDeviceThreadKeepsItsClockAndAStalledMicrophoneLosesTheSoundOfTheStall) {
    ScopedWorld world(Machine({RampMicrophone()}));
    RunningCapture stream;
    ASSERT_NO_FATAL_FAILURE(stream.Start());
    CKsAudPin* pin = stream.pin;
    ASSERT_EQ(WaitForSingleObject(pin->m_hNotificationEvent, 1000), WAIT_OBJECT_0);

    ULONG before = 0, held = 0;
    ASSERT_EQ(pin->GetReadPacket(before), S_OK);
    world.microphone(0)->HoldThread(400ms);
    Sleep(60);  // six 10 ms packets at least fall due
    ASSERT_EQ(pin->GetReadPacket(held), S_OK);
    EXPECT_GE(held, before + 5);
    // What was counted was written too, and announced: the ramp runs on in step with the packet numbers.
    ExpectRamp(stream, 10);

    // The stall outlasts the look by far, so that a test thread held back still looks during it.
    world.microphone(0)->Stall(600ms);
    ULONG during = 0, later = 0;
    pin->GetPacketCount(during);
    Sleep(100);
    pin->GetPacketCount(later);
    EXPECT_LE(later, during + 1) << "nothing moves while stalled";
    std::vector<ULONG> counts;
    ASSERT_FALSE(ReadPackets(stream, 480, 30, counts).empty()) << "packets come again after the stall";

    world.microphone(0)->StopForGood();
    pin->GetPacketCount(during);
    EXPECT_NE(WaitForSingleObject(pin->m_hNotificationEvent, 100), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(pin->m_hNotificationEvent, 100), WAIT_TIMEOUT);
    pin->GetPacketCount(later);
    EXPECT_LE(later, during + 1);
}

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
