#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "sync/device_fifo.h"

namespace {

// A microphone FIFO at 48000 Hz with a 96-frame buffer whose slow fill has just snapped to `fillFrames`.
std::unique_ptr<DeviceFifo> FifoWithSlowFill(uint32_t fillFrames) {
    auto fifo = std::make_unique<DeviceFifo>();
    fifo->Configure(48000.0f, 96);
    fifo->SetHostBufferFrames(96);
    const std::vector<float> zeros(fillFrames, 0.0f);
    fifo->PushRaw(zeros.data(), fillFrames);
    fifo->UpdateFillEstimate();
    return fifo;
}

}  // namespace

// The worked values, bit for bit: one steering step from ratio 1.0 towards the target of 240 frames.
TEST(SteerRatio, OneStepFromUnityMatchesTheWorkedTable) {
    struct Row {
        uint32_t slowFill;
        float ratio;
    };
    for (const Row& row : {Row{240, 1.0f}, Row{336, 0.9999997f}, Row{144, 1.0000004f}, Row{10000, 0.99996907f}}) {
        auto fifo = FifoWithSlowFill(row.slowFill);
        ASSERT_EQ(fifo->SlowFill(), static_cast<float>(row.slowFill));
        fifo->SteerRatio(240.0f);
        EXPECT_EQ(fifo->Ratio(), row.ratio) << "slow fill " << row.slowFill;
    }
}

TEST(SteerRatio, OneBufferAboveTargetMovesDownByAboutThreeTenMillionthsPerCall) {
    auto fifo = FifoWithSlowFill(336);
    float previous = fifo->Ratio();
    for (int i = 0; i < 20; ++i) {
        fifo->SteerRatio(240.0f);
        const float step = previous - fifo->Ratio();
        EXPECT_GT(step, 1.5e-7f);
        EXPECT_LT(step, 4.5e-7f);
        previous = fifo->Ratio();
    }
}

// Persistent error drives the ratio to a limit and holds it there; no reading, however wild, gets past it.
TEST(SteerRatio, RatioStaysInsideItsLimitsWhateverTheFill) {
    auto low = FifoWithSlowFill(2);  // far below the target: the ratio climbs
    for (int i = 0; i < 200000; ++i) low->SteerRatio(20000.0f);
    EXPECT_EQ(low->Ratio(), static_cast<float>(low->MaxRatio()));

    auto high = FifoWithSlowFill(30000);  // far above: it falls
    for (int i = 0; i < 200000; ++i) high->SteerRatio(2.0f);
    EXPECT_EQ(high->Ratio(), static_cast<float>(high->MinRatio()));

    // Targets that make the error equal or exceed minus thirty seconds of samples (a singular or negative
    // quotient) and a NaN target still land inside the limits.
    for (float target : {1440000.0f + 2.0f, 5.0e6f, 1.0e30f, -1.0e30f, std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()}) {
        auto fifo = FifoWithSlowFill(2);
        fifo->SteerRatio(target);
        EXPECT_GE(fifo->Ratio(), static_cast<float>(fifo->MinRatio())) << target;
        EXPECT_LE(fifo->Ratio(), static_cast<float>(fifo->MaxRatio())) << target;
    }
}

// The endpoints' measured rate is accepted by the callbacks but plays no part: equal fills, equal ratios.
TEST(SteerRatio, MeasuredRateRatioHasNoInfluence) {
    auto a = FifoWithSlowFill(100);
    auto b = FifoWithSlowFill(100);
    std::vector<float> period(96, 0.1f);
    for (int i = 0; i < 50; ++i) {
        OnCaptureData(period.data(), 96, 1, 1.0, a.get());
        OnCaptureData(period.data(), 96, 1, 0.97, b.get());
    }
    EXPECT_EQ(a->Ratio(), b->Ratio());
    EXPECT_GT(a->Ratio(), 1.0f);  // below the target of 240 frames: more output per input
    EXPECT_EQ(a->FillSamples(), b->FillSamples());
}
