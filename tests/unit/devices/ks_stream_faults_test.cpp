// The virtual devices' streams when timing goes wrong or sizes differ from what was asked. Every check is an
// invariant of the stream (packet numbers, the ramp, the record), never a duration.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "tests/unit/devices/virtual_streams.h"

using namespace std::chrono_literals;
using devicetest::ExpectRampLockedToPacketNumbers;
using devicetest::FirstFilter;
using devicetest::Packet;
using devicetest::RampMicrophone;
using devicetest::ReadPackets;
using devicetest::RunningCapture;
using kstest::Extensible;
using sim::devices::Machine;
using sim::devices::MicrophoneConfig;
using sim::devices::PlaybackConfig;
using sim::devices::ScopedWorld;
using sim::devices::Streaming;

namespace {

// Every fourth 10 ms packet comes late. At 25 ms the next two are due as well and all three complete together: the
// reader never sees the late packet's number nor the one after it, and no sound is lost. The device counts the
// packets it completed more than a packet's length behind its crystal's schedule: a delayed packet that kept the
// next one waiting past that too counts twice, a delay shorter than a packet not at all.
TEST(VirtualDeviceFaults, LatePacketsArriveWithTheirFollowersLoseNoSoundAndAreCounted) {
    for (const auto& [delay, late] : {std::pair{25ms, true}, std::pair{4ms, false}}) {
        SCOPED_TRACE(delay.count());
        ScopedWorld world(Machine({RampMicrophone()}));
        world.microphone(0)->DelayPackets(4, delay);
        RunningCapture stream;
        ASSERT_NO_FATAL_FAILURE(stream.Start());
        std::vector<ULONG> counts;
        std::vector<Packet> packets = ReadPackets(stream, 480, 40, counts);
        ASSERT_GE(counts.size(), 30u);
        ExpectRampLockedToPacketNumbers(packets, 480);
        const uint64_t delayed = world.microphone(0)->CompletedPackets() / 4;
        const uint64_t counted = world.microphone(0)->LatePackets();
        ASSERT_GE(delayed, 4u);
        if (!late) {
            EXPECT_LT(counted, delayed);  // only a thread held up by a busy machine adds any
            continue;
        }
        // Each delayed packet, and the one due 10 ms after it that waited behind it (the newest may not yet).
        EXPECT_GE(counted, 2 * delayed - 1);
        int bursts = 0;
        for (size_t i = 0; i < counts.size(); ++i) {
            if (counts[i] >= 4) {
                EXPECT_GE(counts[i] % 4, 2u) << "packet " << counts[i] << " seen alone";
            }
            bursts += i > 0 && counts[i] % 4 == 2 && counts[i] >= counts[i - 1] + 3;
        }
        EXPECT_GT(bursts, 0) << "the late packet and its followers show as one jump of three";
    }
}

TEST(VirtualDeviceFaults, BurstsCompleteThreePacketsAtOnceAndTheLastTwoAreIntact) {
    ScopedWorld world(Machine({RampMicrophone()}));
    world.microphone(0)->DeliverInBursts(3);
    RunningCapture stream;
    ASSERT_NO_FATAL_FAILURE(stream.Start());

    std::vector<ULONG> counts;
    std::vector<Packet> packets = ReadPackets(stream, 480, 20, counts, {.older = true});
    ASSERT_GE(counts.size(), 15u);
    for (ULONG count : counts) EXPECT_EQ(count % 3, 0u) << "packets complete three at a time";
    // Of each burst the first packet is overwritten by the third (two slots); the last two remain to be read.
    size_t previousPackets = 0;
    for (const Packet& packet : packets) previousPackets += packet.number % 3 == 2;
    EXPECT_GT(previousPackets, 0u);
    for (const Packet& packet : packets) EXPECT_NE(packet.number % 3, 1u);
    ExpectRampLockedToPacketNumbers(packets, 480);
}

TEST(VirtualDeviceFaults, AGrantLargerThanAskedIsWhatThePinSeesAndIsFilledWhole) {
    MicrophoneConfig coarse = RampMicrophone();
    coarse.bufferGranularityFrames = 128;  // 480 frames asked per packet, 512 granted
    ScopedWorld world(Machine({coarse}));
    RunningCapture stream;
    ASSERT_NE(stream.buffer, nullptr);
    EXPECT_EQ(stream.bytes, 2u * 512 * 4);
    EXPECT_EQ(stream.pin->m_cbBuffer, stream.bytes);
    EXPECT_EQ(stream.pin->m_pBuffer, stream.buffer);
    // A sentinel in every frame, as the driver puts in the last one: none may survive the packet that covers it.
    const int32_t sentinel = 1;  // below the 24 valid bits, so never a sample
    for (ULONG i = 0; i < stream.bytes / 4; ++i) std::memcpy(stream.buffer + 4 * i, &sentinel, 4);
    ASSERT_EQ(stream.pin->_SetState(KSSTATE_RUN), S_OK);

    std::vector<ULONG> counts;
    std::vector<Packet> packets = ReadPackets(stream, 512, 20, counts, {.older = true});
    ASSERT_GE(packets.size(), 10u);
    ExpectRampLockedToPacketNumbers(packets, 512);
}

// Standard-streaming render: `frames` stereo 16-bit frames of `data` from `firstFrame` on, as one write request.
struct Write {
    KSSTREAM_HEADER header{};
    OVERLAPPED overlapped{};
    Write(std::vector<int16_t>& data, size_t firstFrame, ULONG frames) {
        header.Size = sizeof header;
        header.PresentationTime.Numerator = 1;
        header.PresentationTime.Denominator = 1;
        header.FrameExtent = header.DataUsed = frames * 4;
        header.Data = &data[firstFrame * 2];
        overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    ~Write() { CloseHandle(overlapped.hEvent); }
};

TEST(VirtualDeviceFaults, StandardRenderPlaysWhatWasWrittenAndSilenceWhenTheWriterFallsBehind) {
    PlaybackConfig requests;
    requests.streaming = Streaming::Standard;
    ScopedWorld world(Machine({}, {requests}));
    auto speakers = world.playback(0);
    HRESULT hr;
    CKsEnumFilters filters(hr);
    auto* filter = FirstFilter<CKsAudRenFilter>(filters, false);
    ASSERT_NE(filter, nullptr);
    auto format = Extensible(2, 48000, 16, 16);
    CKsAudPin* pin = filter->CreateRenderPin(&format.Format, 1, 0);
    ASSERT_NE(pin, nullptr);
    EXPECT_FALSE(pin->m_bLoopedStreaming);
    ASSERT_EQ(pin->_SetState(KSSTATE_PAUSE), S_OK);

    // Eight requests of 10 ms queued before the run, then one more after the device has run dry.
    constexpr ULONG kFrames = 480;
    std::vector<int16_t> data(9 * kFrames * 2);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<int16_t>(i * 7 - 30000);
    std::vector<std::unique_ptr<Write>> writes;
    for (int i = 0; i < 8; ++i) {
        writes.push_back(std::make_unique<Write>(data, i * kFrames, kFrames));
        ASSERT_EQ(pin->WriteData(&writes.back()->header, &writes.back()->overlapped), S_OK);
    }
    ASSERT_EQ(pin->_SetState(KSSTATE_RUN), S_OK);
    for (auto& write : writes) ASSERT_EQ(WaitForSingleObject(write->overlapped.hEvent, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(speakers->Underruns(), 0u) << "the queue never ran dry";
    Sleep(50);
    Write late(data, 8 * kFrames, kFrames);
    ASSERT_EQ(pin->WriteData(&late.header, &late.overlapped), S_OK);
    ASSERT_EQ(WaitForSingleObject(late.overlapped.hEvent, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(speakers->Underruns(), 1u) << "one gap, one underrun";

    // The record: the eight requests exactly, the silence of the gap (no shorter than the 50 ms slept), then the
    // late request exactly.
    std::vector<float> played = speakers->TakeRecording();
    const size_t early = 8 * kFrames * 2, lateSamples = kFrames * 2;
    ASSERT_GT(played.size(), early + lateSamples + 2 * 1920);
    const size_t silence = played.size() - early - lateSamples;
    for (size_t i = 0; i < early; ++i) ASSERT_EQ(played[i], data[i] / 32768.0f) << "sample " << i;
    for (size_t i = early; i < early + silence; ++i) ASSERT_EQ(played[i], 0.0f) << "sample " << i;
    for (size_t i = 0; i < lateSamples; ++i)
        ASSERT_EQ(played[early + silence + i], data[early + i] / 32768.0f) << "late sample " << i;
    pin->ClosePin();
}

}  // namespace
