// The high-quality converter: it must be a drop-in for the quadratic one as far as the FIFO and the steering can
// tell (same output counts, same ratio limits), and it must be clean where the quadratic one is not.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "sync/device_fifo.h"
#include "sync/sample_rate_converter.h"
#include "sync/sinc_converter.h"

namespace {

constexpr int kDelay = CSampleRateConverter_Sinc::kTaps / 2 - 1;  // input samples, at ratio 1.0

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

std::vector<float> Sine(size_t n, double cyclesPerSample, double amplitude = 0.5) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * cyclesPerSample * static_cast<double>(i)));
    return v;
}

// Signal to noise-and-distortion of y against the best-fitting sine of the known frequency (amplitude, phase
// and offset free), from sample `skip` on.
double SinadDb(const std::vector<float>& y, double cyclesPerSample, size_t skip) {
    double m[3][3] = {};
    double v[3] = {};
    for (size_t i = skip; i < y.size(); ++i) {
        const double phase = 2.0 * M_PI * cyclesPerSample * static_cast<double>(i);
        const double basis[3] = {std::sin(phase), std::cos(phase), 1.0};
        for (int r = 0; r < 3; ++r) {
            v[r] += basis[r] * y[i];
            for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
        }
    }
    for (int col = 0; col < 3; ++col)
        for (int row = col + 1; row < 3; ++row) {
            const double f = m[row][col] / m[col][col];
            for (int c = col; c < 3; ++c) m[row][c] -= f * m[col][c];
            v[row] -= f * v[col];
        }
    double coef[3];
    for (int row = 2; row >= 0; --row) {
        double sum = v[row];
        for (int c = row + 1; c < 3; ++c) sum -= m[row][c] * coef[c];
        coef[row] = sum / m[row][row];
    }
    double signal = 0, residual = 0;
    for (size_t i = skip; i < y.size(); ++i) {
        const double phase = 2.0 * M_PI * cyclesPerSample * static_cast<double>(i);
        const double fit = coef[0] * std::sin(phase) + coef[1] * std::cos(phase);
        signal += fit * fit;
        const double e = y[i] - fit - coef[2];
        residual += e * e;
    }
    return 10.0 * std::log10(signal / residual);
}

}  // namespace

// The FIFO sizes its scratch and the steering counts on the quadratic converter's output counts; the sinc
// converter must give the very same count after every input, whatever the ratio does.
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

    // The limits' worked counts hold for it as well.
    sinc.SetRatio(1.01f);
    EXPECT_EQ(PushAll(sinc, std::vector<float>(1000, 0.5f)).size(), 1009u);
    sinc.SetRatio(0.99f);
    EXPECT_EQ(PushAll(sinc, std::vector<float>(1000, 0.5f)).size(), 990u);
}

TEST(SincConverter, UnityRatioIsAnExactDelayAndConstantsAndSilencePassUnchanged) {
    CSampleRateConverter_Sinc converter;
    converter.SetRatio(1.0f);
    std::vector<float> input = Sine(200, 0.37);
    input[50] = 1.0f;
    input[51] = -1.0f;
    const std::vector<float> out = PushAll(converter, input);
    ASSERT_EQ(out.size(), input.size());
    for (size_t i = 0; i < kDelay; ++i) ASSERT_EQ(out[i], 0.0f) << i;  // from the cleared history
    for (size_t i = kDelay; i < out.size(); ++i) ASSERT_EQ(out[i], input[i - kDelay]) << i;

    // Once the history is full, a constant comes out as that constant (to float rounding) at any ratio and
    // position, and silence as exact silence.
    for (float ratio : {0.99f, 0.9973f, 1.0001f, 1.01f}) {
        converter.SetRatio(ratio);
        const std::vector<float> constant = PushAll(converter, std::vector<float>(400, -0.375f));
        for (size_t i = 2 * kDelay + 2; i < constant.size(); ++i)
            ASSERT_NEAR(constant[i], -0.375f, 2e-7f) << "ratio " << ratio << " at " << i;
        converter.SetRatio(ratio);
        for (float y : PushAll(converter, std::vector<float>(400, 0.0f))) ASSERT_EQ(y, 0.0f);
    }
}

// The quality the setting promises, at the steering's usual ratio and at both of its limits.
TEST(SincConverter, SinesComeThroughCleanAcrossTheRatioRange) {
    for (float ratio : {0.99f, 1.0001f, 1.01f}) {
        for (double hz : {1000.0, 10000.0}) {
            CSampleRateConverter_Sinc converter;
            converter.SetRatio(ratio);
            const std::vector<float> out = PushAll(converter, Sine(48000, hz / 48000.0));
            const double sinad = SinadDb(out, hz / 48000.0 / ratio, 256);
            EXPECT_GE(sinad, hz < 5000.0 ? 100.0 : 90.0) << hz << " Hz at ratio " << ratio;
            // A bound on the other side too: a result this good would mean the measurement itself broke.
            EXPECT_LT(sinad, 160.0) << hz << " Hz at ratio " << ratio;
        }
    }
    // The quadratic converter fails the same 10 kHz check, so the check can tell the two apart.
    CSampleRateConverter_Quadratic quadratic;
    quadratic.SetRatio(1.0001f);
    EXPECT_LT(SinadDb(PushAll(quadratic, Sine(48000, 10000.0 / 48000.0)), 10000.0 / 48000.0 / 1.0001f, 256), 60.0);
}

TEST(SincConverter, StereoIsTwoMonoChannelsOnOnePhaseAndResetKeepsTheTiming) {
    const std::vector<float> left = Sine(3000, 0.01);
    const std::vector<float> right = Sine(3000, 0.17, 0.9);
    CSampleRateConverter_Sinc stereo, monoLeft, monoRight;
    for (auto* c : {&stereo, &monoLeft, &monoRight}) c->SetRatio(1.007f);
    Collected both;
    for (size_t i = 0; i < left.size(); ++i) stereo.PushStereo(&CollectStereo, &both, &left[i], &right[i]);
    EXPECT_EQ(both.left, PushAll(monoLeft, left));
    EXPECT_EQ(both.right, PushAll(monoRight, right));

    // Reset silences the history but keeps the phase, so the output count runs on undisturbed.
    const float phase = stereo.Phase();
    stereo.Reset();
    EXPECT_EQ(stereo.Phase(), phase);
    Collected after;
    const float zero = 0.0f;
    for (int i = 0; i < 100; ++i) stereo.PushStereo(&CollectStereo, &after, &zero, &zero);
    for (float y : after.left) EXPECT_EQ(y, 0.0f);
}

TEST(SincConverter, PullFetchesAsTheQuadraticConverterDoesAndDelaysExactlyAtUnity) {
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
        ASSERT_EQ(y, fetched > static_cast<size_t>(kDelay) + 1 ? c.data[fetched - 1 - kDelay - 1] : 0.0f) << i;
    }

    // A NaN ratio (a broken steering step) must not turn into a table index: pulls stay on the history's values
    // and pushes produce nothing, rather than reading outside the table.
    sinc.SetRatioKeepState(std::nanf(""));
    const float held = sinc.PullMono(&Source::Fetch, &c);
    EXPECT_LE(std::fabs(held), 0.5f);
    Collected none;
    const float x = 0.5f;
    sinc.PushMono(&CollectMono, &none, &x);
    EXPECT_TRUE(none.left.empty());
}

// Under the FIFO the choice of converter changes nothing the steering sees: the same ratio limits and the same
// fill after the same pushes; and Reset keeps the choice.
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
    // An absurd target far below the fill runs the ratio into its lower limit; then a FIFO drained after every
    // push, with a target far above, runs it into the upper one. Both FIFOs must agree all the way.
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
