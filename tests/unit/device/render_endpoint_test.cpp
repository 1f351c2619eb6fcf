// Render endpoints on virtual playback devices, with real stream threads: what each device records is, frame by
// frame, the converter table's value for what the callback wrote; and a pin opened again maps its own buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "device/sample_convert.h"
#include "sim/devices/audio_format.h"
#include "tests/unit/device/endpoint_support.h"

using endpointtest::ComJoined;
using endpointtest::WaitFor;
using sim::devices::Machine;
using sim::devices::PlaybackConfig;
using sim::devices::SampleKind;
using sim::devices::ScopedWorld;
using sim::devices::StreamFormat;
using sim::devices::Streaming;

namespace {

constexpr int kPatternFrames = 8;
const float kLeft[kPatternFrames] = {1.0f,  -1.0f, 0.5f, 1.5f, -2.0f, std::numeric_limits<float>::quiet_NaN(),
                                     0.25f, -0.75f};
const float kRight[kPatternFrames] = {0.125f, -0.5f, 0.3f, -1.5f, 0.999f, 0.7f, -0.0625f, 0.01f};

// Writes the pattern, frame after frame, into whatever the endpoint hands it.
struct Pattern {
    uint64_t frame = 0;
    uint32_t lastCount = 0;
    uint16_t lastChannels = 0;
    static void Callback(float* data, uint32_t count, uint16_t channels, double, void* context) {
        auto* self = static_cast<Pattern*>(context);
        self->lastCount = count;
        self->lastChannels = channels;
        for (uint32_t i = 0; i + 1 < count; i += 2, ++self->frame) {
            data[i] = kLeft[self->frame % kPatternFrames];
            data[i + 1] = kRight[self->frame % kPatternFrames];
        }
    }
};

// What the device must record for one written sample: its coding's converter, decoded by the device.
float Expected(const StreamFormat& format, float x) {
    float slot[1] = {x};
    switch (format.kind) {
        case SampleKind::Int16:
            FloatToPcm16(slot, 1);
            break;
        case SampleKind::Int24:
            FloatToPcm24(slot, 1);
            break;
        case SampleKind::Int24In32:
            FloatToPcm24In32(slot, 1);
            break;
        default:
            FloatToPcm32(slot, 1);
            break;
    }
    return sim::devices::DecodeSample(format, reinterpret_cast<const BYTE*>(slot));
}

// Checks a device's record: every frame is silence or a pattern frame, and pattern frames follow each other.
struct RecordCheck {
    std::vector<float> record;
    uint64_t patternFrames = 0, unknownFrames = 0, breaks = 0;

    void Check(const StreamFormat& format) {
        patternFrames = unknownFrames = breaks = 0;
        int previous = -1;
        for (size_t f = 0; f + 1 < record.size(); f += 2) {
            if (record[f] == 0.0f && record[f + 1] == 0.0f) {
                previous = -1;
                continue;
            }
            int phase = -1;
            for (int j = 0; j < kPatternFrames; ++j)
                if (record[f] == Expected(format, kLeft[j]) && record[f + 1] == Expected(format, kRight[j])) phase = j;
            if (phase < 0) {
                ++unknownFrames;
            } else {
                ++patternFrames;
                if (previous >= 0 && phase != (previous + 1) % kPatternFrames) ++breaks;
            }
            previous = phase;
        }
    }
};

PlaybackConfig Playback(SampleKind kind, Streaming streaming, bool writePacket = true) {
    PlaybackConfig config;
    config.formats = {{kind}, {48000}, 2};
    config.streaming = streaming;
    config.writePacketSupport = writePacket;
    config.recordFrames = 48000 * 10;
    return config;
}

}  // namespace

TEST(RenderEndpoint, EveryCodingRecordsTheConverterTableFrameByFrameReopensCleanlyAndIsSilentWithoutACallback) {
    ComJoined com;
    std::vector<PlaybackConfig> configs;
    for (Streaming streaming : {Streaming::WaveRt, Streaming::Standard})
        for (SampleKind kind : {SampleKind::Int16, SampleKind::Int24, SampleKind::Int24In32, SampleKind::Int32})
            configs.push_back(Playback(kind, streaming));
    configs.push_back(Playback(SampleKind::Int16, Streaming::WaveRt, false));  // parity mode
    ScopedWorld world(Machine({}, configs));
    CKSDeviceManager manager;
    manager.Enumerate();

    // Twice: the second time on the same filters' pins, which must map buffers of their own.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        std::vector<CKSDevice*> endpoints = manager.OpenRenderDevices({""}, 48000, 2, 144, nullptr, nullptr);
        ASSERT_EQ(endpoints.size(), configs.size());
        std::vector<std::unique_ptr<Pattern>> patterns;
        for (CKSDevice* e : endpoints) {
            EXPECT_EQ(e->GetSamplesPerPacket(), 288u);
            EXPECT_EQ(manager.GetMatchString(e), "");
            patterns.push_back(std::make_unique<Pattern>());
            manager.SetDataCallback(e, &Pattern::Callback, patterns.back().get());
        }
        for (size_t i = 0; i < configs.size(); ++i) world.playback(i)->TakeRecording();
        std::vector<RecordCheck> checks(configs.size());

        manager.StartAll();
        EXPECT_TRUE(WaitFor([&] {
            bool enough = true;
            for (size_t i = 0; i < configs.size(); ++i) {
                auto taken = world.playback(i)->TakeRecording();
                checks[i].record.insert(checks[i].record.end(), taken.begin(), taken.end());
                size_t nonSilent = 0;
                for (size_t f = 0; f + 1 < checks[i].record.size(); f += 2)
                    if (checks[i].record[f] != 0.0f || checks[i].record[f + 1] != 0.0f) ++nonSilent;
                if (nonSilent < 4000) enough = false;
            }
            return enough;
        }));
        manager.StopAll();

        for (size_t i = 0; i < configs.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "playback " << i);
            auto format = world.playback(i)->Format();
            ASSERT_TRUE(format.has_value());
            checks[i].Check(*format);
            EXPECT_EQ(checks[i].unknownFrames, 0u);
            // A WaveRT endpoint left announcing packets late after a merged wake would play silence instead.
            EXPECT_GE(checks[i].patternFrames, 4000u);
            EXPECT_LE(checks[i].breaks, checks[i].patternFrames / 288 / 10 + 1);
            EXPECT_EQ(patterns[i]->lastCount, 288u);
            EXPECT_EQ(patterns[i]->lastChannels, 2u);
        }
        for (CKSDevice* e : endpoints) manager.RemoveDevice(e);
        EXPECT_EQ(manager.DeviceCount(), 0u);
    }

    // Without a callback every device plays silence.
    std::vector<CKSDevice*> endpoints = manager.OpenRenderDevices({""}, 48000, 2, 144, nullptr, nullptr);
    ASSERT_EQ(endpoints.size(), configs.size());
    for (size_t i = 0; i < configs.size(); ++i) world.playback(i)->TakeRecording();
    manager.StartAll();
    EXPECT_TRUE(WaitFor([&] {
        return std::all_of(endpoints.begin(), endpoints.end(),
                           [](CKSDevice* e) { return e->PacketsTransferred() > 50; });
    }));
    manager.StopAll();
    for (size_t i = 0; i < configs.size(); ++i) {
        const std::vector<float> record = world.playback(i)->TakeRecording();
        EXPECT_FALSE(record.empty()) << i;
        for (float x : record) ASSERT_EQ(x, 0.0f) << i;
    }
}

// Writes each frame's number (in steps of 1/32768) to both channels; holds its stream thread up once.
struct FrameNumbers {
    std::atomic<int> calls{0};
    int holdAtCall = 0;
    std::chrono::milliseconds hold{0};
    int64_t frame = 0;
    static void Callback(float* data, uint32_t count, uint16_t, double, void* context) {
        auto* self = static_cast<FrameNumbers*>(context);
        for (uint32_t i = 0; i + 1 < count; i += 2, ++self->frame)
            data[i] = data[i + 1] = static_cast<float>(self->frame % 32768) / 32768.0f;
        if (++self->calls == self->holdAtCall) std::this_thread::sleep_for(self->hold);
    }
    // The frames of a period the device played again are skipped, as the output FIFO drops them.
    static void Skipped(float*, uint32_t count, uint16_t, double, void* context) {
        static_cast<FrameNumbers*>(context)->frame += count / 2;
    }
};

// A WaveRT render thread held up past two completions: the device replays an unrefilled packet, and that period's
// audio goes unplayed so that what follows plays at its place rather than a packet late.
TEST(RenderEndpoint, AWaveRtStreamHeldUpPlaysWhatFollowsAtItsPlace) {
    ComJoined com;
    ScopedWorld world(Machine({}, {Playback(SampleKind::Int32, Streaming::WaveRt)}));
    CKSDeviceManager manager;
    manager.Enumerate();
    // 24 ms packets: the hold-up ends 12 ms clear of the next completion either way.
    std::vector<CKSDevice*> endpoints = manager.OpenRenderDevices({""}, 48000, 2, 1152, nullptr, nullptr);
    ASSERT_EQ(endpoints.size(), 1u);
    FrameNumbers numbers;
    numbers.holdAtCall = 10;
    numbers.hold = std::chrono::milliseconds(60);
    manager.SetDataCallback(endpoints[0], &FrameNumbers::Callback, &numbers, &FrameNumbers::Skipped);
    world.playback(0)->TakeRecording();
    std::vector<float> record;
    manager.StartAll();
    EXPECT_TRUE(WaitFor([&] {
        const std::vector<float> taken = world.playback(0)->TakeRecording();
        record.insert(record.end(), taken.begin(), taken.end());
        return numbers.calls.load() >= 60;
    }));
    manager.StopAll();
    EXPECT_EQ(endpoints[0]->packetsOverrun.load(), 1u);
    // Each frame played holds its number less one constant (the start), but for at most two replayed packets.
    std::map<int64_t, size_t> starts;
    size_t played = 0;
    for (size_t f = 0; f + 1 < record.size(); f += 2) {
        if (record[f] == 0.0f) continue;
        const int64_t number = std::llround(static_cast<double>(record[f]) * 32768.0);
        ++starts[((number - static_cast<int64_t>(f / 2)) % 32768 + 32768) % 32768];
        ++played;
    }
    ASSERT_GE(played, 40u * 1152);
    size_t onTime = 0;
    for (const auto& [start, frames] : starts) onTime = std::max(onTime, frames);
    EXPECT_LE(played - onTime, 2u * 1152);
}

// The converters, value by value.
TEST(SampleConverters, TableValues) {
    auto pcm16 = [](float x) {
        float s[1] = {x};
        FloatToPcm16(s, 1);
        int16_t v;
        std::memcpy(&v, s, 2);
        return v;
    };
    EXPECT_EQ(pcm16(1.0f), 32767);
    EXPECT_EQ(pcm16(-1.0f), -32767);
    EXPECT_EQ(pcm16(1.5f), 32767);
    EXPECT_EQ(pcm16(-2.0f), -32767);
    EXPECT_EQ(pcm16(0.5f), 16383);
    EXPECT_EQ(pcm16(std::numeric_limits<float>::quiet_NaN()), 0);

    auto pcm32 = [](float x, bool in24) {
        float s[1] = {x};
        in24 ? FloatToPcm24In32(s, 1) : FloatToPcm32(s, 1);
        uint32_t v;
        std::memcpy(&v, s, 4);
        return v;
    };
    EXPECT_EQ(pcm32(1.0f, false), 0x7FFFFFFFu);
    EXPECT_EQ(pcm32(-1.0f, false), 0x80000000u);
    EXPECT_EQ(pcm32(std::numeric_limits<float>::quiet_NaN(), false), 0x80000000u);
    EXPECT_EQ(pcm32(0.5f, true), 0x40000000u);
    EXPECT_EQ(pcm32(1.0f, true), 0x7FFFFF00u);

    // Packed forms: each integer lands on bytes already read.
    float packed[3] = {-1.0f, 1.0f, 0.5f};
    FloatToPcm24(packed, 3);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(packed);
    const unsigned char want[9] = {0x01, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x3F};
    EXPECT_EQ(std::memcmp(b, want, 9), 0);

    // Capture decoding, in place, widening back to front.
    unsigned char area[12] = {0x01, 0x00, 0x80, 0xFF, 0xFF, 0x7F};
    Pcm24ToFloat(area, reinterpret_cast<float*>(area), 2);
    float out[2];
    std::memcpy(out, area, 8);
    EXPECT_EQ(out[0], -8388607.0f * std::bit_cast<float>(uint32_t{0x34000001}));
    EXPECT_EQ(out[1], 8388607.0f * std::bit_cast<float>(uint32_t{0x34000001}));
    int16_t shorts[4] = {-32767, 32767, 1, 0};
    float wide[4];
    std::memcpy(wide, shorts, 8);
    Pcm16ToFloat(wide, wide, 4);
    EXPECT_EQ(wide[0], -32767.0f * std::bit_cast<float>(uint32_t{0x38000100}));
    EXPECT_EQ(wide[2], std::bit_cast<float>(uint32_t{0x38000100}));
    EXPECT_EQ(wide[3], 0.0f);
}

// The coding judge: integers until the samples prove floats; a word floats never hold proves integers at once.
TEST(SampleConverters, CodingJudgeNeverTakesOneCodingForTheOther) {
    auto words = [](std::initializer_list<uint32_t> list) { return std::vector<uint32_t>(list); };
    CodingJudge judge;
    auto judgeOf = [&](const std::vector<uint32_t>& w) {
        return judge.Judge(InspectInt24In32OrFloat(w.data(), static_cast<uint32_t>(w.size())),
                           static_cast<uint32_t>(w.size()));
    };
    EXPECT_FALSE(judgeOf(words({0, 0, 0})));                   // silence proves nothing
    EXPECT_FALSE(judgeOf(words({0x00123400u, 0xFF000100u})));  // quiet integers
    EXPECT_TRUE(judgeOf(words({0x3E800001u, 0xBE800000u})));   // a float low byte: floats at once
    EXPECT_FALSE(judgeOf(words({0x7FFFFF00u, 0x3E800000u})));  // near full scale: integers again
    EXPECT_FALSE(judgeOf(words({0x7FC00000u})));               // a NaN is never taken for a float
    // Words in the band without low bits: floats only after a long run, as integer audio cannot stay there.
    std::vector<uint32_t> band(1024, 0x3E800000u);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(judgeOf(band));
    EXPECT_TRUE(judgeOf(band));
    judge.Reset();
    EXPECT_FALSE(judge.floats);
}
