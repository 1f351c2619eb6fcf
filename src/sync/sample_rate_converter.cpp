// Audio path: the converter runs on real-time threads. No allocation, no lock, no printing.
#include "sync/sample_rate_converter.h"

// The pull direction interpolates linearly between the two older history samples; the newest one is fetched
// only to keep the history the same shape as in push use. Nothing in the driver pulls, but the interface does.
float CSampleRateConverter_Quadratic::PullMono(ConverterMonoSource source, void* context) {
    phase += ratio;
    while (phase >= 1.0f) {
        phase -= 1.0f;
        Shift(historyLeft, source(context));
    }
    return historyLeft[0] + (historyLeft[1] - historyLeft[0]) * phase;
}

void CSampleRateConverter_Quadratic::PullStereo(ConverterStereoSource source, void* context, float* outLeft,
                                                float* outRight) {
    phase += ratio;
    while (phase >= 1.0f) {
        phase -= 1.0f;
        float left = 0.0f;
        float right = 0.0f;
        source(context, &left, &right);
        Shift(historyLeft, left);
        Shift(historyRight, right);
    }
    *outLeft = historyLeft[0] + (historyLeft[1] - historyLeft[0]) * phase;
    *outRight = historyRight[0] + (historyRight[1] - historyRight[0]) * phase;
}

void CSampleRateConverter_Quadratic::Reset() {
    for (int i = 0; i < 3; ++i) {
        historyLeft[i] = 0.0f;
        historyRight[i] = 0.0f;
    }
}

void CSampleRateConverter_Quadratic::SetRatio(float r) {
    ratio = r;
    inverseRatio = 1.0f / r;
    phase = 0.0f;
    Reset();
}
