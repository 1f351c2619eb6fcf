#include <gtest/gtest.h>

#include <vector>

#include "sync/sample_rate_converter.h"

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

std::vector<float> PushAll(CSampleRateConverter_Quadratic& converter, const std::vector<float>& input) {
    Collected out;
    for (const float& x : input) converter.PushMono(&CollectMono, &out, &x);
    return out.left;
}

std::vector<float> Ramp(size_t n, float start, float step) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = start + step * static_cast<float>(i);
    return v;
}

}  // namespace

TEST(QuadraticConverter, UnityRatioIsOneSampleDelayStartingFromSilence) {
    CSampleRateConverter_Quadratic converter;
    converter.SetRatio(1.0f);
    const std::vector<float> input = {0.25f, -0.5f, 0.75f, 1.0f, -1.0f, 0.125f};
    const std::vector<float> out = PushAll(converter, input);
    ASSERT_EQ(out.size(), input.size());
    EXPECT_EQ(out[0], 0.0f);
    for (size_t i = 1; i < out.size(); ++i) EXPECT_EQ(out[i], input[i - 1]) << i;
    EXPECT_EQ(converter.Phase(), 0.0f);
}

// The drift control depends on these counts: single-precision phase accumulation, not the ideal ratio.
TEST(QuadraticConverter, OutputCountFollowsRatioInSinglePrecision) {
    CSampleRateConverter_Quadratic converter;
    converter.SetRatio(1.01f);
    EXPECT_EQ(PushAll(converter, std::vector<float>(1000, 0.5f)).size(), 1009u);
    EXPECT_LT(converter.Phase(), 1.0f);
    EXPECT_GT(converter.Phase(), 0.99f);

    converter.SetRatio(0.99f);
    EXPECT_EQ(PushAll(converter, std::vector<float>(1000, 0.5f)).size(), 990u);
}

TEST(QuadraticConverter, ReproducesConstantLineAndParabolaAtAnyRatio) {
    for (float ratio : {0.99f, 0.995f, 1.0f, 1.003f, 1.01f}) {
        CSampleRateConverter_Quadratic converter;
        converter.SetRatio(ratio);
        // After the two blend-in outputs the history is full and the constant comes out exactly.
        std::vector<float> out = PushAll(converter, std::vector<float>(200, -0.375f));
        for (size_t i = 3; i < out.size(); ++i) ASSERT_EQ(out[i], -0.375f) << "ratio " << ratio;

        // On a line or parabola every output lies on the curve, at an instant between the two older samples,
        // so consecutive outputs are spaced by 1/ratio input samples along it.
        converter.SetRatio(ratio);
        std::vector<float> line = PushAll(converter, Ramp(300, 0.0f, 1.0f / 1024.0f));
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

TEST(QuadraticConverter, ParabolaIsExactAtUnityRatio) {
    CSampleRateConverter_Quadratic converter;
    converter.SetRatio(1.0f);
    std::vector<float> squares(64);
    for (size_t i = 0; i < squares.size(); ++i) squares[i] = static_cast<float>(i * i) / 4096.0f;
    std::vector<float> out = PushAll(converter, squares);
    for (size_t i = 1; i < out.size(); ++i) EXPECT_EQ(out[i], squares[i - 1]);
}

TEST(QuadraticConverter, ResetSilencesHistoryButKeepsTiming) {
    CSampleRateConverter_Quadratic steady;
    CSampleRateConverter_Quadratic reset;
    steady.SetRatio(1.007f);
    reset.SetRatio(1.007f);
    const std::vector<float> first = std::vector<float>(333, 0.5f);
    PushAll(steady, first);
    PushAll(reset, first);
    reset.Reset();
    EXPECT_EQ(reset.Phase(), steady.Phase());
    // Same number of outputs from here on: the reset does not shift the output instants.
    const std::vector<float> next = std::vector<float>(500, 0.25f);
    const std::vector<float> a = PushAll(steady, next);
    const std::vector<float> b = PushAll(reset, next);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_NEAR(b[0], 0.0f, 0.05f);  // blended in from the silenced history
    EXPECT_NEAR(a[0], 0.5f, 0.05f);
    EXPECT_EQ(a.back(), b.back());
}

TEST(QuadraticConverter, KeepStateChangesRatioWithoutRestartingPhaseOrHistory) {
    CSampleRateConverter_Quadratic converter;
    converter.SetRatio(1.0f);
    PushAll(converter, {0.5f, 0.5f, 0.5f});
    converter.SetRatioKeepState(1.01f);
    // No blend from silence: the history still holds 0.5.
    for (float y : PushAll(converter, std::vector<float>(100, 0.5f))) ASSERT_EQ(y, 0.5f);
    EXPECT_EQ(converter.Ratio(), 1.01f);
    EXPECT_GT(converter.Phase(), 0.0f);
}

TEST(QuadraticConverter, StereoMatchesMonoOnEachChannelWithSharedTiming) {
    CSampleRateConverter_Quadratic mono;
    CSampleRateConverter_Quadratic stereo;
    mono.SetRatio(0.9931f);
    stereo.SetRatio(0.9931f);
    const std::vector<float> left = Ramp(500, -0.5f, 0.002f);
    std::vector<float> right(500);
    for (size_t i = 0; i < right.size(); ++i) right[i] = (i % 7) * 0.1f - 0.3f;

    Collected both;
    for (size_t i = 0; i < left.size(); ++i) stereo.PushStereo(&CollectStereo, &both, &left[i], &right[i]);
    EXPECT_EQ(both.left, PushAll(mono, left));
    mono.SetRatio(0.9931f);
    EXPECT_EQ(both.right, PushAll(mono, right));
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
