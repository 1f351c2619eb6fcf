// The high-quality converter: a windowed-sinc fractional-delay interpolator with the quadratic converter's
// interface, ratio handling and output counts, so that a FIFO can run either one without its steering noticing.
//
// The ratio never leaves [0.99, 1.01], so every output lies within the input's band and nothing needs a low-pass
// against aliasing: the only task is to evaluate the band-limited input between its samples. A 32-tap Kaiser-
// windowed sinc does that with a SINAD above 105 dB from the lowest frequencies up to 0.375 of the sample rate
// (18 kHz at 48 kHz; the quadratic converter gives 27 dB at 10 kHz). Its coefficients for 256 positions between
// two samples come from one table, built once and shared by every converter; an output between two table rows is
// the linear blend of the two rows' results.
//
// Audio path: PushMono, PushStereo, PullMono, PullStereo, Reset and the ratio setters run on real-time threads.
// No allocation, no lock, no printing. Construction builds the shared table on first use (not real-time).
#pragma once

#include <cstdint>
#include <cstring>

#include "sync/sample_rate_converter.h"

class CSampleRateConverter_Sinc final : public CSampleRateConverter {
public:
    // Taps of the interpolator: the output lies between history samples kTaps/2 - 1 and kTaps/2 (oldest = 0),
    // so at ratio 1.0 the converter delays by kTaps/2 - 1 input samples where the quadratic one delays by one.
    static constexpr int kTaps = 32;
    // Table rows per input sample interval.
    static constexpr int kPhases = 256;

    CSampleRateConverter_Sinc();

    float PullMono(ConverterMonoSource source, void* context) override;
    void PullStereo(ConverterStereoSource source, void* context, float* outLeft, float* outRight) override;
    inline void PushMono(ConverterMonoSink sink, void* context, const float* input) override;
    inline void PushStereo(ConverterStereoSink sink, void* context, const float* inputLeft,
                           const float* inputRight) override;
    // Silences the history; the ratio and the phase run on.
    void Reset() override;

    // The same phase bookkeeping as the quadratic converter, in the same single precision: equal ratio sequences
    // give equal output counts.
    void SetRatio(float r);
    void SetRatioKeepState(float r) {
        ratio = r;
        inverseRatio = 1.0f / r;
    }
    float Ratio() const { return ratio; }
    float Phase() const { return phase; }

    // The table row of `position` (0 … kPhases) in [0, 1] between two samples; for tests and the table's users.
    static const float* KernelRow(int position);

private:
    using Float4 = float __attribute__((vector_size(16)));
    static_assert(kTaps % 8 == 0, "the dot products run eight taps per step");
    static Float4 Load4(const float* p) {
        Float4 v;
        std::memcpy(&v, p, sizeof v);  // the window starts anywhere: an unaligned load
        return v;
    }

    // Position of the output instant forward from history sample kTaps/2 - 1, clamped to [0, 1].
    float OutputPosition() const {
        const float t = 1.0f - phase * inverseRatio;
        if (t > 1.0f) return 1.0f;
        if (t < 0.0f) return 0.0f;
        return t;
    }
    // The band-limited value at mu between the two middle samples of the window (oldest first).
    float Interpolate(const float* window, float mu) const;
    void Append(float left, float right) {
        historyLeft[cursor] = left;
        historyLeft[cursor + kTaps] = left;
        historyRight[cursor] = right;
        historyRight[cursor + kTaps] = right;
        cursor = cursor + 1 == kTaps ? 0 : cursor + 1;
    }
    void AppendMono(float x) {
        historyLeft[cursor] = x;
        historyLeft[cursor + kTaps] = x;
        cursor = cursor + 1 == kTaps ? 0 : cursor + 1;
    }

    const float* table;  // kPhases + 2 rows of kTaps coefficients (the last repeats row kPhases), shared, read-only
    float ratio = 1.0f;
    float inverseRatio = 1.0f;
    float phase = 0.0f;
    // Each sample is stored twice, kTaps apart, so that the last kTaps samples always lie contiguous at
    // history + cursor, oldest first, without shifting anything.
    int cursor = 0;
    float historyLeft[2 * kTaps] = {};
    float historyRight[2 * kTaps] = {};
};

// Inline so that a FIFO's per-sample loop inlines them together with its sink, as with the quadratic converter.
inline void CSampleRateConverter_Sinc::PushMono(ConverterMonoSink sink, void* context, const float* input) {
    AppendMono(*input);
    phase += ratio;
    while (phase >= 1.0f) {
        phase -= 1.0f;
        const float y = Interpolate(historyLeft + cursor, OutputPosition());
        sink(context, &y);
    }
}

inline void CSampleRateConverter_Sinc::PushStereo(ConverterStereoSink sink, void* context, const float* inputLeft,
                                                  const float* inputRight) {
    Append(*inputLeft, *inputRight);
    phase += ratio;
    while (phase >= 1.0f) {
        phase -= 1.0f;
        const float mu = OutputPosition();
        const float yLeft = Interpolate(historyLeft + cursor, mu);
        const float yRight = Interpolate(historyRight + cursor, mu);
        sink(context, &yLeft, &yRight);
    }
}

inline float CSampleRateConverter_Sinc::Interpolate(const float* window, float mu) const {
    // The position picks table rows, so it must never leave [0, 1], not even as a NaN from a broken ratio.
    if (!(mu > 0.0f)) mu = 0.0f;
    if (mu > 1.0f) mu = 1.0f;
    // mu = 1 reads row kPhases with blend 0 (the padding row after it keeps b valid): an exact delay at ratio 1.
    const float scaled = mu * static_cast<float>(kPhases);
    const int row = static_cast<int>(scaled);
    const float blend = scaled - static_cast<float>(row);
    const float* a = table + row * kTaps;
    const float* b = a + kTaps;
    // Both rows' dot products four lanes at a time, two accumulators each so that the additions do not wait on
    // one another. Written with the compiler's vector types (GCC and Clang, native and cross) because the
    // auto-vectoriser leaves most of this scalar at the build's optimisation level.
    Float4 sumA0 = {0.0f, 0.0f, 0.0f, 0.0f};
    Float4 sumA1 = sumA0;
    Float4 sumB0 = sumA0;
    Float4 sumB1 = sumA0;
    for (int k = 0; k < kTaps; k += 8) {
        const Float4 x0 = Load4(window + k);
        const Float4 x1 = Load4(window + k + 4);
        sumA0 += x0 * Load4(a + k);
        sumA1 += x1 * Load4(a + k + 4);
        sumB0 += x0 * Load4(b + k);
        sumB1 += x1 * Load4(b + k + 4);
    }
    const Float4 sumA = sumA0 + sumA1;
    const Float4 sumB = sumB0 + sumB1;
    const float ya = (sumA[0] + sumA[2]) + (sumA[1] + sumA[3]);
    const float yb = (sumB[0] + sumB[2]) + (sumB[1] + sumB[3]);
    return ya + blend * (yb - ya);
}
