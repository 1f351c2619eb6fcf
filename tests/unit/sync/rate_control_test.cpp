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

// The worked values, bit for bit: one steering step from ratio 1.0 towards the target of 240 frames, with the
// endpoint reporting a ratio of exactly 1.0 and nothing integrated yet. One buffer above the target, later calls
// without pushes go on moving down by about three ten-millionths each: with no pushed time nothing is integrated.
TEST(SteerRatio, StepsFromUnityMatchTheWorkedTable) {
    struct Row {
        uint32_t slowFill;
        float ratio;
    };
    for (const Row& row : {Row{240, 1.0f}, Row{336, 0.9999997f}, Row{144, 1.0000004f}, Row{10000, 0.99996907f}}) {
        auto fifo = FifoWithSlowFill(row.slowFill);
        ASSERT_EQ(fifo->SlowFill(), static_cast<float>(row.slowFill));
        fifo->NoteMeasuredRate(1.0, 1, true);
        fifo->SteerRatio(240.0f);
        EXPECT_EQ(fifo->Ratio(), row.ratio) << "slow fill " << row.slowFill;
        if (row.slowFill != 336) continue;
        for (int i = 0; i < 20; ++i) {
            const float previous = fifo->Ratio();
            fifo->SteerRatio(240.0f);
            EXPECT_GT(previous - fifo->Ratio(), 1.5e-7f) << i;
            EXPECT_LT(previous - fifo->Ratio(), 4.5e-7f) << i;
        }
    }
}

// Persistent error drives the ratio to a limit and holds it there; no reading, however wild, gets past it.
TEST(SteerRatio, RatioStaysInsideItsLimitsWhateverTheFill) {
    auto low = FifoWithSlowFill(2);  // far below the target: the ratio climbs
    EXPECT_EQ(low->MinRatio(), static_cast<double>(0.99f));
    EXPECT_EQ(low->MaxRatio(), static_cast<double>(1.01f));
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

// The measured rate is the feed-forward: at the target fill the ratio settles where the device's rate asks,
// 1 / rate for a microphone, rate / channels for the playback device (whose ratio counts both channels).
TEST(SteerRatio, MeasuredRateSetsTheRatioAtTheTarget) {
    struct Case {
        double measured;
        uint16_t channels;
        bool deviceProduces;
        double balance;
    };
    for (const Case& c : {Case{1.0002, 1, true, 1.0 / 1.0002}, Case{0.9999, 1, true, 1.0 / 0.9999},
                          Case{2 * 1.0002, 2, false, 1.0002}, Case{2 * 0.9995, 2, false, 0.9995}}) {
        auto fifo = FifoWithSlowFill(240);
        std::vector<float> period(96 * c.channels, 0.0f);
        for (int i = 0; i < 5000; ++i) {  // ten seconds of 96-frame periods
            fifo->NoteMeasuredRate(c.measured, c.channels, c.deviceProduces);
            fifo->SteerRatio(240.0f);
            fifo->PushConverted(period.data(), 96);
        }
        EXPECT_EQ(fifo->BalanceRatio(), c.balance);
        EXPECT_NEAR(fifo->SteeredRatio(), c.balance, 1e-12) << c.measured;
        EXPECT_NEAR(fifo->Ratio(), c.balance, 1e-7) << c.measured;
    }

    // What no crystal reads leaves the steering without feed-forward: the endpoint's 1.0 before its first
    // measurement of a stereo device, a reading from a device far off its rate, nonsense.
    for (double nonsense :
         {1.0, 2.1, 0.0, -2.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        auto fifo = FifoWithSlowFill(240);
        fifo->NoteMeasuredRate(1.0003, 1, true);
        fifo->NoteMeasuredRate(nonsense, 2, false);
        EXPECT_EQ(fifo->BalanceRatio(), 1.0) << nonsense;
    }
    auto fifo = FifoWithSlowFill(240);
    fifo->NoteMeasuredRate(1.0, 0, true);
    EXPECT_EQ(fifo->BalanceRatio(), 1.0);
}

// A fill error that does not go away keeps moving the ratio past where the proportional term alone would hold
// it: the integral grows with the time the pushes cover. A reset empties it.
TEST(SteerRatio, PersistentErrorIsIntegratedOverThePushedTime) {
    auto fifo = FifoWithSlowFill(336);  // one buffer above the target; the slow fill stays put without a consumer
    const std::vector<float> period(96, 0.0f);
    const double proportionalOnly = 48000.0 * 30.0 / (96.0 + 48000.0 * 30.0);
    auto steerFor = [&](int calls) {
        for (int i = 0; i < calls; ++i) {
            fifo->SteerRatio(240.0f);
            fifo->PushConverted(period.data(), 96);
        }
    };
    steerFor(5000);  // ten seconds
    EXPECT_NEAR(fifo->Integral(), 96.0 * 10.0, 1e-6);
    const double after10 = proportionalOnly - fifo->SteeredRatio();
    steerFor(5000);
    const double after20 = proportionalOnly - fifo->SteeredRatio();
    EXPECT_GT(after10, 0.0);
    EXPECT_GT(after20, 1.8 * after10);

    fifo->Reset();
    EXPECT_EQ(fifo->Integral(), 0.0);
    EXPECT_EQ(fifo->SteeredRatio(), 1.0);
    EXPECT_EQ(fifo->Ratio(), 1.0f);
}

// A FIFO that overfills for minutes (a playback device that stalled) pins the ratio at its limit, but must not
// wind the integral up behind it: once the fill is back at the target the ratio returns to nominal within
// seconds, not after the stall has been paid back.
TEST(SteerRatio, AStallDoesNotWindTheIntegralUp) {
    auto fifo = FifoWithSlowFill(20000);
    const std::vector<float> period(96, 0.0f);
    for (int i = 0; i < 150000; ++i) {  // five minutes
        fifo->SteerRatio(240.0f);
        fifo->PushConverted(period.data(), 96);
    }
    EXPECT_EQ(fifo->Ratio(), static_cast<float>(fifo->MinRatio()));
    // Carry the wound-up state over: the same FIFO, its fill back at the target.
    fifo->Skip(fifo->FillFrames() - 240);
    fifo->UpdateFillEstimate();
    ASSERT_EQ(fifo->SlowFill(), 240.0f);
    for (int i = 0; i < 2500; ++i) {  // five seconds
        fifo->SteerRatio(240.0f);
        fifo->PushConverted(period.data(), 96);
    }
    EXPECT_GT(fifo->SteeredRatio(), 0.999);
    EXPECT_LT(fifo->SteeredRatio(), 1.0);
}
