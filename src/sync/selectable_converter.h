// The converter a DeviceFifo pushes through: the quadratic one by default, or the windowed-sinc one when the user
// asked for the higher quality. Both are held inline, so choosing allocates nothing, and both are kept at the same
// ratio, so the steering sees one converter whichever runs.
//
// Threads: Select runs on the driver's thread while the FIFO is idle (device open); everything else belongs to the
// FIFO's producer thread, as the converters themselves do. Audio path: no allocation, no lock, no printing.
#pragma once

#include <cstdint>

#include "sync/sample_rate_converter.h"
#include "sync/sinc_converter.h"

// Stored settings use these numbers: 0 is the quadratic converter, 1 the high-quality one.
enum class ConverterQuality : uint32_t { Quadratic = 0, High = 1 };

class SelectableConverter {
public:
    // Switches to the given converter and starts it afresh (phase 0, silent history) at the present ratio.
    void Select(ConverterQuality chosen) {
        quality = chosen;
        SetRatio(quadratic.Ratio());
    }
    ConverterQuality Quality() const { return quality; }

    // Phase 0 and a silent history, for both.
    void SetRatio(float r) {
        quadratic.SetRatio(r);
        sinc.SetRatio(r);
    }
    // The ratio alone; phase and history continue.
    void SetRatioKeepState(float r) {
        quadratic.SetRatioKeepState(r);
        sinc.SetRatioKeepState(r);
    }
    float Ratio() const { return quadratic.Ratio(); }
    float Phase() const { return quality == ConverterQuality::High ? sinc.Phase() : quadratic.Phase(); }

    // Feeds n input samples (frames) in order; the choice is made once per run, not per sample.
    void PushMonoRun(ConverterMonoSink sink, void* context, const float* input, uint32_t n) {
        if (quality == ConverterQuality::High)
            for (uint32_t i = 0; i < n; ++i) sinc.PushMono(sink, context, input + i);
        else
            for (uint32_t i = 0; i < n; ++i) quadratic.PushMono(sink, context, input + i);
    }
    void PushStereoRun(ConverterStereoSink sink, void* context, const float* left, const float* right, uint32_t n) {
        if (quality == ConverterQuality::High)
            for (uint32_t i = 0; i < n; ++i) sinc.PushStereo(sink, context, left + i, right + i);
        else
            for (uint32_t i = 0; i < n; ++i) quadratic.PushStereo(sink, context, left + i, right + i);
    }

private:
    ConverterQuality quality = ConverterQuality::Quadratic;
    CSampleRateConverter_Quadratic quadratic;
    CSampleRateConverter_Sinc sinc;
};
