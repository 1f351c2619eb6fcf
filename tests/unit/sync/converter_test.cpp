// The two sample-rate converters: what the FIFO and the steering rely on holds for both alike; the quadratic one is
// exact on low-order curves, the sinc one clean on sines, and a FIFO steers the same on either.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "sync/device_fifo.h"
#include "sync/sample_rate_converter.h"
#include "sync/sinc_converter.h"
#include "tests/support/sine_fit.h"

using sinefit::Sine;

namespace {

struct Collected {
    std::vector<float> left;
    std::vector<float> right;
};

void CollectMono(void* context, const float* sample) { static_cast<Collected*>(context)->left.push_back(*sample); }

void CollectStereo(void* context, const float* left, const float* right) {
    static_cast<Collected*>(context)->left.push_back(*left);
    static_cast<Collected*>(context)->right.push_back(*right);
}

template <class Converter>
std::vector<float> PushAll(Converter& converter, const std::vector<float>& input) {
    Collected out;
    for (const float& x : input) converter.PushMono(&CollectMono, &out, &x);
    return out.left;
}

// Multiples of 1/4096 in [-1, 1], both full scales among them: exact in single precision, so unity can be held to
// equality.
std::vector<float> DyadicNoise(size_t n) {
    std::vector<float> v(n);
    uint32_t seed = 777;
    for (float& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<float>(static_cast<int>(seed >> 19) - 4096) / 4096.0f;
    }
    v[n / 3] = 1.0f;
    v[n / 3 + 1] = -1.0f;
    return v;
}

template <class Converter>
struct Traits;
template <>
struct Traits<CSampleRateConverter_Quadratic> {
    static constexpr size_t kDelay = 1;         // input samples at ratio 1.0
    static constexpr size_t kHistory = 3;       // inputs until the history holds no silence
    static constexpr float kConstantError = 0;  // a constant comes out exactly
};
template <>
struct Traits<CSampleRateConverter_Sinc> {
    static constexpr size_t kDelay = CSampleRateConverter_Sinc::kTaps / 2 - 1;
    static constexpr size_t kHistory = CSampleRateConverter_Sinc::kTaps;
    static constexpr float kConstantError = 2e-7f;  // the kernel rows sum to one to float rounding
};

template <class Converter>
class BothConverters : public testing::Test {};
using ConverterTypes = testing::Types<CSampleRateConverter_Quadratic, CSampleRateConverter_Sinc>;
TYPED_TEST_SUITE(BothConverters, ConverterTypes);

}  // namespace

TYPED_TEST(BothConverters, UnityRatioIsAnExactDelayFromSilence) {
    constexpr size_t delay = Traits<TypeParam>::kDelay;
    TypeParam converter;
    converter.SetRatio(1.0f);
    const std::vector<float> input = DyadicNoise(200);
    const std::vector<float> out = PushAll(converter, input);
    ASSERT_EQ(out.size(), input.size());
    for (size_t i = 0; i < delay; ++i) ASSERT_EQ(out[i], 0.0f) << i;  // from the cleared history
    for (size_t i = delay; i < out.size(); ++i) ASSERT_EQ(out[i], input[i - delay]) << i;
    EXPECT_EQ(converter.Phase(), 0.0f);
}

// Once the history is full, a constant comes out unchanged at any ratio, and silence as exact silence.
TYPED_TEST(BothConverters, ConstantsAndSilencePassUnchangedAtAnyRatio) {
    constexpr size_t settled = 2 * Traits<TypeParam>::kHistory;
    for (float ratio : {0.99f, 0.9973f, 1.0f, 1.0001f, 1.003f, 1.01f}) {
        TypeParam converter;
        converter.SetRatio(ratio);
        const std::vector<float> constant = PushAll(converter, std::vector<float>(400, -0.375f));
        for (size_t i = settled; i < constant.size(); ++i)
            ASSERT_NEAR(constant[i], -0.375f, Traits<TypeParam>::kConstantError) << "ratio " << ratio << " at " << i;
        converter.SetRatio(ratio);
        for (float y : PushAll(converter, std::vector<float>(400, 0.0f))) ASSERT_EQ(y, 0.0f) << "ratio " << ratio;
    }
}

// The drift control depends on these counts: single-precision phase accumulation, not the ideal ratio.
TYPED_TEST(BothConverters, OutputCountFollowsTheRatioInSinglePrecision) {
    TypeParam converter;
    converter.SetRatio(1.01f);
    EXPECT_EQ(PushAll(converter, std::vector<float>(1000, 0.5f)).size(), 1009u);
    EXPECT_LT(converter.Phase(), 1.0f);
    EXPECT_GT(converter.Phase(), 0.99f);
    converter.SetRatio(0.99f);
    EXPECT_EQ(PushAll(converter, std::vector<float>(1000, 0.5f)).size(), 990u);
}

// Reset silences the history but keeps the phase; SetRatioKeepState keeps both.
TYPED_TEST(BothConverters, ResetAndKeepStateKeepTheTiming) {
    TypeParam steady, reset;
    steady.SetRatio(1.007f);
    reset.SetRatio(1.007f);
    PushAll(steady, std::vector<float>(333, 0.5f));
    PushAll(reset, std::vector<float>(333, 0.5f));
    reset.Reset();
    EXPECT_EQ(reset.Phase(), steady.Phase());
    const std::vector<float> next(500, 0.25f);
    const std::vector<float> a = PushAll(steady, next);
    const std::vector<float> b = PushAll(reset, next);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_NEAR(b[0], 0.0f, 0.05f);  // from the silenced history
    EXPECT_NEAR(a[0], 0.5f, 0.05f);
    EXPECT_NEAR(a.back(), b.back(), Traits<TypeParam>::kConstantError);

    TypeParam converter;
    converter.SetRatio(1.0f);
    PushAll(converter, std::vector<float>(Traits<TypeParam>::kHistory, 0.5f));
    converter.SetRatioKeepState(1.01f);
    for (float y : PushAll(converter, std::vector<float>(100, 0.5f)))
        ASSERT_NEAR(y, 0.5f, Traits<TypeParam>::kConstantError);  // no blend from silence
    EXPECT_GT(converter.Phase(), 0.0f);
}

TYPED_TEST(BothConverters, StereoIsTwoMonoChannelsOnOnePhase) {
    const std::vector<float> left = Sine(3000, 0.01);
    const std::vector<float> right = Sine(3000, 0.17, 0.9);
    TypeParam stereo, monoLeft, monoRight;
    for (auto* c : {&stereo, &monoLeft, &monoRight}) c->SetRatio(0.9931f);
    Collected both;
    for (size_t i = 0; i < left.size(); ++i) stereo.PushStereo(&CollectStereo, &both, &left[i], &right[i]);
    EXPECT_EQ(both.left, PushAll(monoLeft, left));
    EXPECT_EQ(both.right, PushAll(monoRight, right));
}

TEST(QuadraticConverter, ReproducesLinesAndParabolasAtAnyRatio) {
    for (float ratio : {0.99f, 0.995f, 1.0f, 1.003f, 1.01f}) {
        // Every output lies on the curve, consecutive ones 1/ratio input samples apart.
        CSampleRateConverter_Quadratic converter;
        converter.SetRatio(ratio);
        std::vector<float> line(300);
        for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<float>(i) / 1024.0f;
        line = PushAll(converter, line);
        for (size_t i = 4; i < line.size(); ++i)
            ASSERT_NEAR(line[i] - line[i - 1], 1.0f / 1024.0f / ratio, 2e-6f) << "ratio " << ratio << " at " << i;

        converter.SetRatio(ratio);
        std::vector<float> squares(300);
        for (size_t i = 0; i < squares.size(); ++i) squares[i] = static_cast<float>(i * i) / 65536.0f;
        std::vector<float> curve = PushAll(converter, squares);
        // Second differences of equally spaced points on x^2/65536 are (2/65536)/ratio^2.
        const float expected = 2.0f / 65536.0f / (ratio * ratio);
        for (size_t i = 5; i < curve.size(); ++i)
            ASSERT_NEAR(curve[i] - 2 * curve[i - 1] + curve[i - 2], expected, 5e-6f) << "ratio " << ratio;
    }
}

namespace {
struct RampSource {
    float next = 0.0f;
};
float NextMono(void* context) {
    RampSource* s = static_cast<RampSource*>(context);
    const float v = s->next;
    s->next += 1.0f;
    return v;
}
void NextStereo(void* context, float* left, float* right) {
    *left = NextMono(context);
    *right = -*left;
}
}  // namespace

// Pull direction: input samples per output sample, linear between the two older history samples.
TEST(QuadraticConverter, PullInterpolatesLinearlyAndFetchesAtTheRatio) {
    CSampleRateConverter_Quadratic converter;
    converter.SetRatio(0.5f);
    RampSource source;
    std::vector<float> out;
    for (int i = 0; i < 20; ++i) out.push_back(converter.PullMono(&NextMono, &source));
    // Two outputs per fetched sample, half a sample apart once the history holds the ramp.
    for (size_t i = 6; i < out.size(); ++i) EXPECT_FLOAT_EQ(out[i] - out[i - 1], 0.5f);
    EXPECT_EQ(source.next, 10.0f);

    converter.SetRatio(2.0f);
    RampSource stereoSource;
    float l = 0, r = 0;
    for (int i = 0; i < 10; ++i) converter.PullStereo(&NextStereo, &stereoSource, &l, &r);
    EXPECT_EQ(stereoSource.next, 20.0f);
    EXPECT_EQ(l, 17.0f);  // h0 of the history {17, 18, 19}, phase 0
    EXPECT_EQ(r, -17.0f);
}

// The FIFO's scratch sizes and the steering count on the quadratic converter's output counts: the sinc one must
// match them after every input, whatever the ratio does.
TEST(SincConverter, OutputCountsAndPhaseMatchTheQuadraticConverterUnderSteering) {
    CSampleRateConverter_Quadratic quadratic;
    CSampleRateConverter_Sinc sinc;
    quadratic.SetRatio(1.0f);
    sinc.SetRatio(1.0f);
    Collected a, b;
    uint32_t seed = 12345;
    for (int block = 0; block < 400; ++block) {
        // A ratio walk over the whole range, including both limits.
        seed = seed * 1664525u + 1013904223u;
        const float ratio = block % 50 == 0   ? 0.99f
                            : block % 50 == 1 ? 1.01f
                                              : 0.99f + 0.02f * static_cast<float>(seed >> 8) / 16777216.0f;
        quadratic.SetRatioKeepState(ratio);
        sinc.SetRatioKeepState(ratio);
        for (int i = 0; i < 37; ++i) {
            const float x = 0.25f;
            quadratic.PushMono(&CollectMono, &a, &x);
            sinc.PushMono(&CollectMono, &b, &x);
            ASSERT_EQ(a.left.size(), b.left.size()) << "block " << block << " sample " << i;
        }
        ASSERT_EQ(quadratic.Phase(), sinc.Phase());
    }
    EXPECT_GT(a.left.size(), 14000u);
}

// The quality the setting promises, at the steering's usual ratio and at both of its limits.
TEST(SincConverter, SinesComeThroughCleanAcrossTheRatioRange) {
    for (float ratio : {0.99f, 1.0001f, 1.01f}) {
        for (double hz : {1000.0, 10000.0}) {
            CSampleRateConverter_Sinc converter;
            converter.SetRatio(ratio);
            const std::vector<float> out = PushAll(converter, Sine(48000, hz / 48000.0));
            const double sinad = sinefit::SinadDb(out, hz / 48000.0 / ratio, 256);
            EXPECT_GE(sinad, hz < 5000.0 ? 100.0 : 90.0) << hz << " Hz at ratio " << ratio;
            // Bounded above too: a result this good would mean the measurement broke.
            EXPECT_LT(sinad, 160.0) << hz << " Hz at ratio " << ratio;
        }
    }
    // The quadratic converter fails the 10 kHz check, so the check tells the two apart.
    CSampleRateConverter_Quadratic quadratic;
    quadratic.SetRatio(1.0001f);
    const std::vector<float> out = PushAll(quadratic, Sine(48000, 10000.0 / 48000.0));
    EXPECT_LT(sinefit::SinadDb(out, 10000.0 / 48000.0 / 1.0001f, 256), 60.0);
}

TEST(SincConverter, PullFetchesAsTheQuadraticConverterDoesAndDelaysExactlyAtUnity) {
    constexpr size_t kDelay = Traits<CSampleRateConverter_Sinc>::kDelay;
    struct Source {
        std::vector<float> data;
        size_t next = 0;
        static float Fetch(void* context) {
            Source* s = static_cast<Source*>(context);
            return s->next < s->data.size() ? s->data[s->next++] : 0.0f;
        }
    };
    Source a{Sine(5000, 0.02)}, b{Sine(5000, 0.02)};
    CSampleRateConverter_Quadratic quadratic;
    CSampleRateConverter_Sinc sinc;
    quadratic.SetRatio(1.01f);
    sinc.SetRatio(1.01f);
    for (int i = 0; i < 4000; ++i) {
        quadratic.PullMono(&Source::Fetch, &a);
        sinc.PullMono(&Source::Fetch, &b);
        ASSERT_EQ(a.next, b.next);
    }

    Source c{Sine(500, 0.3)};
    sinc.SetRatio(1.0f);
    for (size_t i = 0; i < 400; ++i) {
        const float y = sinc.PullMono(&Source::Fetch, &c);
        // Each pull fetches one sample and returns the one kTaps/2 - 1 fetches before the one it just took.
        const size_t fetched = c.next;
        ASSERT_EQ(y, fetched > kDelay + 1 ? c.data[fetched - 1 - kDelay - 1] : 0.0f) << i;
    }

    // A NaN ratio must not become a table index: pulls stay on the history, pushes produce nothing.
    sinc.SetRatioKeepState(std::nanf(""));
    const float held = sinc.PullMono(&Source::Fetch, &c);
    EXPECT_LE(std::fabs(held), 0.5f);
    Collected none;
    const float x = 0.5f;
    sinc.PushMono(&CollectMono, &none, &x);
    EXPECT_TRUE(none.left.empty());
}

// Under the FIFO the converter changes nothing the steering sees (ratio limits, fill); Reset keeps the choice.
TEST(SincConverter, FifoWithTheHighQualityConverterSteersAndFillsLikeTheQuadraticOne) {
    auto quadratic = std::make_unique<DeviceFifo>();
    auto sinc = std::make_unique<DeviceFifo>();
    sinc->SetConverterQuality(ConverterQuality::High);
    EXPECT_EQ(quadratic->GetConverterQuality(), ConverterQuality::Quadratic);
    for (DeviceFifo* fifo : {quadratic.get(), sinc.get()}) {
        fifo->Configure(48000.0f, 288);
        fifo->SetHostBufferFrames(288);
    }
    const std::vector<float> period = Sine(288, 0.01);
    // Absurd targets run the ratio into its lower, then (drained after every push) its upper limit: both agree.
    for (float target : {-1e9f, 20000.0f}) {
        for (int i = 0; i < 400; ++i) {
            for (DeviceFifo* fifo : {quadratic.get(), sinc.get()}) {
                fifo->UpdateFillEstimate();
                fifo->SteerRatio(target);
                fifo->PushConverted(period.data(), static_cast<uint32_t>(period.size()));
                if (target > 0.0f) fifo->Skip(fifo->FillFrames());
                ASSERT_GE(fifo->Ratio(), fifo->MinRatio());
                ASSERT_LE(fifo->Ratio(), fifo->MaxRatio());
            }
            ASSERT_EQ(quadratic->Ratio(), sinc->Ratio());
            ASSERT_EQ(quadratic->FillSamples(), sinc->FillSamples());
        }
        EXPECT_EQ(sinc->Ratio(), static_cast<float>(target > 0.0f ? sinc->MaxRatio() : sinc->MinRatio()));
    }
    sinc->Reset();
    EXPECT_EQ(sinc->GetConverterQuality(), ConverterQuality::High);
}
