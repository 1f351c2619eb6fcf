// Sample-rate converters for ratios close to 1.0: the piece that lets a device running on its own crystal meet
// the driver's clock. A converter is owned by one DeviceFifo and driven sample by sample on that FIFO's producer
// thread; it is not thread-safe and needs no lock.
//
// Audio path: everything in this file runs on real-time threads. No allocation, no lock, no printing.
#pragma once

#include <cstdint>

// Callbacks are plain function pointers with an untyped context, so that the converter can sit inside a FIFO
// without knowing it and the per-sample call inlines when the sink is known at the call site.
using ConverterMonoSource = float (*)(void* context);
using ConverterStereoSource = void (*)(void* context, float* left, float* right);
using ConverterMonoSink = void (*)(void* context, const float* sample);
using ConverterStereoSink = void (*)(void* context, const float* left, const float* right);

// The converter interface. The destructor is protected and non-virtual: converters are embedded members, never
// deleted through this interface, and the table keeps exactly the five operations below.
class CSampleRateConverter {
public:
    // Pull direction: one output sample per call, input fetched from `source` as needed (linear interpolation).
    virtual float PullMono(ConverterMonoSource source, void* context) = 0;
    virtual void PullStereo(ConverterStereoSource source, void* context, float* outLeft, float* outRight) = 0;
    // Push direction: one input sample per call, zero or more outputs handed to `sink` (quadratic interpolation).
    virtual void PushMono(ConverterMonoSink sink, void* context, const float* input) = 0;
    virtual void PushStereo(ConverterStereoSink sink, void* context, const float* inputLeft,
                            const float* inputRight) = 0;
    // Silences the history; the ratio and the phase run on.
    virtual void Reset() = 0;

protected:
    CSampleRateConverter() = default;
    ~CSampleRateConverter() = default;
    CSampleRateConverter(const CSampleRateConverter&) = default;
    CSampleRateConverter& operator=(const CSampleRateConverter&) = default;
};

// Converter by a parabola through the last three input samples. In push use `ratio` is output samples per input
// sample; each input advances `phase` by `ratio`, and every whole unit it crosses emits one sample placed between
// the two older history samples, one input sample behind the newest. All arithmetic is single precision: the
// rate control and the tests rely on the exact float behaviour (1000 inputs at 1.01 give 1009 outputs).
class CSampleRateConverter_Quadratic final : public CSampleRateConverter {
public:
    CSampleRateConverter_Quadratic() = default;

    float PullMono(ConverterMonoSource source, void* context) override;
    void PullStereo(ConverterStereoSource source, void* context, float* outLeft, float* outRight) override;
    inline void PushMono(ConverterMonoSink sink, void* context, const float* input) override;
    inline void PushStereo(ConverterStereoSink sink, void* context, const float* inputLeft,
                           const float* inputRight) override;
    void Reset() override;

    // Starts afresh: phase 0 and a silent history, so the first outputs blend in from zero.
    void SetRatio(float r);
    // Changes only the ratio: phase and history continue, so steering on every period makes no click.
    void SetRatioKeepState(float r) {
        ratio = r;
        inverseRatio = 1.0f / r;
    }

    float Ratio() const { return ratio; }
    float Phase() const { return phase; }

private:
    // Position of the output instant forward from h0, clamped to [0, 1].
    float OutputPosition() const {
        const float t = 1.0f - phase * inverseRatio;
        if (t > 1.0f) return 1.0f;
        if (t < 0.0f) return 0.0f;
        return t;
    }
    // Newton forward-difference form of the parabola through (0, h0), (1, h1), (2, h2), evaluated at mu.
    static float Interpolate(const float* h, float mu) {
        const float d1 = h[1] - h[0];
        const float d2 = (h[2] - h[1]) - d1;
        return (mu * d1 + h[0]) + ((mu * 0.5f) * (mu - 1.0f)) * d2;
    }
    static void Shift(float* h, float x) {
        h[0] = h[1];
        h[1] = h[2];
        h[2] = x;
    }

    float ratio = 1.0f;
    float inverseRatio = 1.0f;
    float phase = 0.0f;
    float historyLeft[3] = {0.0f, 0.0f, 0.0f};  // oldest first: h0, h1, h2
    float historyRight[3] = {0.0f, 0.0f, 0.0f};
};

// The push operations are defined here so that a FIFO's per-sample loop inlines them together with its sink.
inline void CSampleRateConverter_Quadratic::PushMono(ConverterMonoSink sink, void* context, const float* input) {
    Shift(historyLeft, *input);
    phase += ratio;
    while (phase >= 1.0f) {
        phase -= 1.0f;
        const float y = Interpolate(historyLeft, OutputPosition());
        sink(context, &y);
    }
}

inline void CSampleRateConverter_Quadratic::PushStereo(ConverterStereoSink sink, void* context, const float* inputLeft,
                                                       const float* inputRight) {
    Shift(historyLeft, *inputLeft);
    Shift(historyRight, *inputRight);
    phase += ratio;
    while (phase >= 1.0f) {
        phase -= 1.0f;
        const float mu = OutputPosition();
        const float yLeft = Interpolate(historyLeft, mu);
        const float yRight = Interpolate(historyRight, mu);
        sink(context, &yLeft, &yRight);
    }
}
