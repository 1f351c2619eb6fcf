#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "sync/device_fifo.h"

namespace {

// A FIFO is a quarter of a megabyte: keep it off the test's stack.
std::unique_ptr<DeviceFifo> MakeFifo(uint32_t channels = 1) {
    auto fifo = std::make_unique<DeviceFifo>();
    fifo->channels = channels;
    return fifo;
}

std::vector<float> Counting(size_t n, float start = 1.0f) {
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

}  // namespace

TEST(DeviceFifo, UnderrunPadsWithSilenceAndOverrunDropsTheNewest) {
    auto fifo = MakeFifo();
    std::vector<float> dst(96, 7.0f);
    fifo->Pull(dst.data(), 96);
    EXPECT_EQ(dst, std::vector<float>(96, 0.0f));
    EXPECT_EQ(fifo->FillSamples(), 0u);

    // Partly filled: the held samples, then silence.
    fifo->PushRaw(Counting(10).data(), 10);
    fifo->Pull(dst.data(), 16);
    EXPECT_EQ(std::vector<float>(dst.begin(), dst.begin() + 10), Counting(10));
    EXPECT_EQ(std::vector<float>(dst.begin() + 10, dst.begin() + 16), std::vector<float>(6, 0.0f));

    // Full at 32767: a further push writes nothing and the held data is intact.
    const std::vector<float> big = Counting(DeviceFifo::kCapacitySamples + 100);
    fifo->PushRaw(big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_EQ(fifo->FillSamples(), DeviceFifo::kCapacitySamples);
    fifo->PushRaw(Counting(10, -10.0f).data(), 10);
    EXPECT_EQ(fifo->FillSamples(), DeviceFifo::kCapacitySamples);
    std::vector<float> all(DeviceFifo::kCapacitySamples);
    fifo->Pull(all.data(), DeviceFifo::kCapacitySamples);
    EXPECT_EQ(all, std::vector<float>(big.begin(), big.begin() + DeviceFifo::kCapacitySamples));
}

TEST(DeviceFifo, IndicesWrapWithoutLosingOrReorderingSamples) {
    auto fifo = MakeFifo();
    const std::vector<float> input = Counting(40000);
    std::vector<float> output;
    std::vector<float> chunk(1000);
    for (size_t i = 0; i < input.size(); i += 1000) {
        fifo->PushRaw(&input[i], 1000);
        fifo->Pull(chunk.data(), 1000);
        output.insert(output.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(output, input);
    EXPECT_EQ(fifo->FillSamples(), 0u);
}

TEST(DeviceFifo, StereoPushWritesWholeFramesOnly) {
    auto fifo = MakeFifo(2);
    const std::vector<float> filler(DeviceFifo::kCapacitySamples - 7, 0.0f);
    fifo->PushRaw(filler.data(), static_cast<uint32_t>(filler.size()));
    // PushRaw keeps frames whole: 32760 of the 32760 offered, leaving room for exactly 7 samples.
    ASSERT_EQ(fifo->FillSamples(), DeviceFifo::kCapacitySamples - 7);
    const float left[5] = {1, 2, 3, 4, 5};
    const float right[5] = {-1, -2, -3, -4, -5};
    fifo->PushPlanarStereo(left, right, 5);
    EXPECT_EQ(fifo->FillSamples(), DeviceFifo::kCapacitySamples - 1);
    fifo->Skip(static_cast<uint32_t>(filler.size()) / 2);
    std::vector<float> out(6);
    fifo->Pull(out.data(), 6);
    EXPECT_EQ(out, (std::vector<float>{1, -1, 2, -2, 3, -3}));
}

// The consumer's trim: seven buffers or more are cut back to three, oldest audio first.
TEST(DeviceFifo, TrimKeepsThreeBuffersOfTheNewestAudio) {
    auto fifo = MakeFifo();
    const std::vector<float> input = Counting(700);
    fifo->PushRaw(input.data(), 700);
    uint32_t before = 0;
    EXPECT_TRUE(fifo->Trim(96, &before));
    EXPECT_EQ(before, 700u);
    EXPECT_EQ(fifo->FillFrames(), 288u);
    std::vector<float> dst(96);
    ASSERT_TRUE(fifo->ReadBuffer(dst.data(), 96));
    EXPECT_EQ(dst[1], input[412 + 1] * (1.0f / 96.0f));  // first buffer ramps in; the oldest kept is 412
    EXPECT_FALSE(fifo->Trim(96));                        // 192 frames left: nothing to trim

    // Just below seven buffers is left alone. An unread FIFO drains a buffer only when a whole one is there.
    auto other = MakeFifo();
    other->PushRaw(Counting(671).data(), 671);
    EXPECT_FALSE(other->Trim(96));
    EXPECT_EQ(other->FillFrames(), 671u);
    other->DiscardBuffer(96);
    EXPECT_EQ(other->FillFrames(), 575u);
    other->DiscardBuffer(576);
    EXPECT_EQ(other->FillFrames(), 575u);
}

TEST(DeviceFifo, FirstBufferAfterResetRampsInFromSilenceThenPassesUnscaled) {
    auto fifo = MakeFifo();
    fifo->PushRaw(std::vector<float>(300, 0.5f).data(), 300);
    std::vector<float> dst(96, 9.0f);
    ASSERT_TRUE(fifo->ReadBuffer(dst.data(), 96));
    EXPECT_EQ(dst[0], 0.0f);
    for (size_t k = 1; k < 96; ++k) EXPECT_FLOAT_EQ(dst[k], 0.5f * static_cast<float>(k) / 96.0f);
    ASSERT_TRUE(fifo->ReadBuffer(dst.data(), 96));
    EXPECT_EQ(dst, std::vector<float>(96, 0.5f));

    // Less than one buffer: nothing consumed, dst untouched, and the ramp waits for the next real read.
    fifo->Reset();
    fifo->PushRaw(std::vector<float>(95, 0.5f).data(), 95);
    std::fill(dst.begin(), dst.end(), 9.0f);
    EXPECT_FALSE(fifo->ReadBuffer(dst.data(), 96));
    EXPECT_EQ(dst, std::vector<float>(96, 9.0f));
    EXPECT_EQ(fifo->FillFrames(), 95u);
    EXPECT_TRUE(fifo->FadeInPending());
}

TEST(DeviceFifo, ResetEmptiesSilencesAndDetaches) {
    auto fifo = MakeFifo();
    fifo->device = reinterpret_cast<CKSDevice*>(fifo.get());
    fifo->PushRaw(Counting(500).data(), 500);
    fifo->UpdateFillEstimate();
    fifo->Reset();
    EXPECT_EQ(fifo->device, nullptr);
    EXPECT_EQ(fifo->FillSamples(), 0u);
    EXPECT_EQ(fifo->SlowFill(), 0.0f);
    EXPECT_EQ(fifo->Ratio(), 1.0f);
    EXPECT_TRUE(fifo->FadeInPending());
    // The ring is zeroed, not only emptied: stale audio cannot come back through a wrong index.
    fifo->PushRaw(Counting(1).data(), 1);
    fifo->Skip(1);
    std::vector<float> dst(10, 1.0f);
    fifo->Pull(dst.data(), 10);
    EXPECT_EQ(dst, std::vector<float>(10, 0.0f));
}

TEST(DeviceFifo, SlowFillSnapsAfterClearingThenMovesByItsCoefficient) {
    auto fifo = MakeFifo();
    fifo->Configure(48000.0f, 96);
    fifo->PushRaw(Counting(400).data(), 400);
    fifo->UpdateFillEstimate();
    EXPECT_EQ(fifo->SlowFill(), 400.0f);
    fifo->PushRaw(Counting(100).data(), 100);
    fifo->UpdateFillEstimate();
    const float c = fifo->SlowCoefficient();
    EXPECT_EQ(fifo->SlowFill(), (1.0f - c) * 500.0f + c * 400.0f);

    fifo->Skip(200);
    EXPECT_EQ(fifo->SlowFill(), 0.0f);
    fifo->UpdateFillEstimate();
    EXPECT_EQ(fifo->SlowFill(), 300.0f);

    fifo->Configure(96000.0f, 192);  // a new configuration forgets the average too
    EXPECT_EQ(fifo->SlowFill(), 0.0f);
    fifo->Configure(0.0f, 96);  // no rate: no averaging rather than a division by zero
    EXPECT_EQ(fifo->SteerCoefficient(), 0.0);
    EXPECT_EQ(fifo->SlowCoefficient(), 0.0f);
}

// One push larger than the scratch arrays must neither overflow them nor lose what fits in the ring.
TEST(DeviceFifo, ConvertedPushesRunThroughTheConverterIntoTheRingInChunks) {
    auto fifo = MakeFifo();
    const std::vector<float> input = Counting(20000);
    fifo->PushConverted(input.data(), 20000);
    ASSERT_EQ(fifo->FillSamples(), 20000u);  // ratio 1.0: one out per in, one sample late
    std::vector<float> out(20000);
    fifo->Pull(out.data(), 20000);
    EXPECT_EQ(out[0], 0.0f);
    for (size_t i = 1; i < out.size(); ++i) ASSERT_EQ(out[i], input[i - 1]) << i;

    auto stereo = MakeFifo(2);
    const std::vector<float> left = Counting(50);
    const std::vector<float> right = Counting(50, -100.0f);
    stereo->PushConvertedStereo(left.data(), right.data(), 50);
    ASSERT_EQ(stereo->FillFrames(), 50u);
    std::vector<float> frames(100);
    stereo->Pull(frames.data(), 100);
    EXPECT_EQ(frames[2], left[0]);
    EXPECT_EQ(frames[3], right[0]);
    EXPECT_EQ(frames[98], left[48]);
    EXPECT_EQ(frames[99], right[48]);

    // Beyond the ring's capacity the newest output is dropped, and the converter still saw every input.
    const std::vector<float> huge(40000, 0.25f);
    fifo->PushConverted(huge.data(), 40000);
    EXPECT_EQ(fifo->FillSamples(), DeviceFifo::kCapacitySamples);
    stereo->PushConvertedStereo(huge.data(), huge.data(), 20000);
    EXPECT_EQ(stereo->FillFrames(), DeviceFifo::kCapacitySamples / 2);
}

// The output starts from exactly three host buffers however much gathered first, the first packet ramping in. A
// period the device replayed before that owes nothing (else the output starts short); one after is taken out.
TEST(DeviceFifo, RenderStartsFromThreeBuffers) {
    for (uint32_t gathered : {3u, 5u, 9u}) {
        SCOPED_TRACE(gathered);
        auto fifo = MakeFifo(2);
        fifo->Configure(48000.0f, 100);
        fifo->SetHostBufferFrames(100);
        fifo->Reset();
        fifo->channels = 2;
        const std::vector<float> pushed = Counting(gathered * 200);
        fifo->PushRaw(pushed.data(), static_cast<uint32_t>(pushed.size()));
        std::vector<float> packet(200, 7.0f);
        OnRenderSkipped(packet.data(), 200, 2, 2.0, fifo.get());
        EXPECT_EQ(fifo->FillFrames(), gathered * 100);
        OnRenderData(packet.data(), 200, 2, 2.0, fifo.get());
        EXPECT_EQ(fifo->FillFrames(), 200u);
        // The packet's last frame is the first buffer's last of the three kept, at the ramp's last step.
        const size_t first = (gathered - 3) * 200;
        EXPECT_FLOAT_EQ(packet[199], pushed[first + 199] * 0.99f);
        EXPECT_EQ(packet[0], 0.0f);
        OnRenderSkipped(packet.data(), 200, 2, 2.0, fifo.get());
        EXPECT_EQ(fifo->FillFrames(), 100u);
        EXPECT_EQ(packet[0], pushed[first + 200]);
    }
}

// The steered fill counts what the producer gathered since its stamped push: half a push more than the plain fill
// late in a packet, half less just after, plain where no stamp is usable. 10 MHz counter, 480-frame pushes of 10 ms.
TEST(DeviceFifo, FillIsCorrectedByTheTimeSinceTheStampedPush) {
    auto fifo = MakeFifo();
    fifo->Configure(48000.0f, 480);
    fifo->SetCounterFrequency(10'000'000);
    const std::vector<float> packet(480, 0.5f);
    const int64_t t0 = 50'000'000;
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0), 0.0f);  // nothing stamped: the plain fill
    fifo->PushRaw(packet.data(), 480);
    fifo->StampPush(t0 - 100'000);
    fifo->PushRaw(packet.data(), 480);
    fifo->StampPush(t0);
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0), 960.0f - 240.0f);
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0 + 50'000), 960.0f);
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0 + 100'000), 960.0f + 240.0f);
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0 + 250'000), 960.0f + 240.0f);  // at most one push is owed
    // A consumer whose time lies before the stamp (a clock making up late ticks): the stamped push holds audio
    // captured after that time, which is no part of the latency then.
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0 - 10'000), 960.0f - 240.0f - 48.0f);
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0 + 500'000), 960.0f);  // a stalled producer: plain
    // A producer that owes more than a push is behind (a capture thread held up or catching up), however long.
    EXPECT_FALSE(fifo->ProducerBehind(t0 + 110'000));
    EXPECT_TRUE(fifo->ProducerBehind(t0 + 250'000));
    // Resuming a stream counts what a producer a little behind owes beyond one push; no more than that.
    EXPECT_FLOAT_EQ(fifo->LatencyFill(t0 + 150'000), 960.0f + 480.0f);
    EXPECT_FLOAT_EQ(fifo->LatencyFill(t0 + 250'000), 960.0f + 720.0f);
    EXPECT_TRUE(fifo->ProducerBehind(t0 + 500'000));
    fifo->SetPhaseCorrection(false);
    EXPECT_FALSE(fifo->ProducerBehind(t0 + 500'000));
    fifo->SetPhaseCorrection(true);
    // A push written but not yet stamped is not counted on top of the time owed for it.
    fifo->PushRaw(packet.data(), 480);
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0 + 100'000), 960.0f + 240.0f);
    fifo->StampPush(t0 + 100'000);
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0 + 100'000), 1440.0f - 240.0f);
    // The slow fill follows the corrected fill; switched off, it is the plain one again.
    fifo->UpdateFillEstimate(t0 + 150'000);
    EXPECT_FLOAT_EQ(fifo->SlowFill(), 1440.0f);
    fifo->SetPhaseCorrection(false);
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0 + 100'000), 1440.0f);
    // Reset forgets the stamp.
    fifo->SetPhaseCorrection(true);
    fifo->Reset();
    fifo->PushRaw(packet.data(), 480);
    EXPECT_FLOAT_EQ(fifo->PhaseCorrectedFill(t0 + 200'000), 480.0f);
}
