// Measurement step of the stream loop. Stream thread. No allocation, no lock, no printing.
#include "device/rate_measurement.h"

#include <cmath>

namespace {
// The smoothing weights, computed in double exactly as 1 - 0.99 and 1 - 0.9 are, so that the results are the same
// bit for bit wherever the measurement runs.
const double kRatioWeight = 1.0 - 0.99;
const double kRateWeight = 1.0 - 0.9;
}  // namespace

void RateMeasurement::SetCounterFrequency(int64_t countsPerSecond) {
    if (countsPerSecond <= 0) countsPerSecond = 10'000'000;  // a counter that reports nothing sensible
    counterFrequency = countsPerSecond;
    warmUpCounts = countsPerSecond;
    firstWindowCounts = countsPerSecond * 10;
    windowCounts = countsPerSecond * 30;
}

void RateMeasurement::SetNominalRate(double framesPerSecond) {
    if (!(framesPerSecond > 0.0)) return;
    nominalRate = framesPerSecond;
    inverseNominalRate = 1.0 / framesPerSecond;
}

void RateMeasurement::Restart() {
    windowStart = 0;
    windowSamples = 0;
    rateRatio = 1.0;
    rateState = RateStart;
}

double RateMeasurement::WindowRate(int64_t dtCounts) const {
    if (dtCounts <= 0 || windowSamples < 0) return 0.0;
    // frequency × samples stays far below 2^63 (10 GHz × 10^8 samples is 10^18); the × 1000 is split across the
    // quotient and the remainder so that it cannot overflow. The result equals the truncated
    // (frequency × samples × 1000) / dt.
    const int64_t product = counterFrequency * windowSamples;
    const int64_t whole = product / dtCounts;
    const int64_t rest = product % dtCounts;
    const int64_t thousandths = whole * 1000 + (rest * 1000) / dtCounts;
    return static_cast<double>(thousandths) * 0.001;
}

void RateMeasurement::Step(int64_t now, uint32_t samples) {
    switch (rateState) {
        case RateStart:
            windowStart = now;
            windowSamples = 0;
            rateState = RateWarmUp;
            break;
        case RateWarmUp:
            if (now - windowStart >= warmUpCounts) {
                windowStart = now;
                windowSamples = 0;
                rateState = RateFirstWindow;
            }
            break;
        case RateFirstWindow: {
            windowSamples += samples;
            const int64_t dt = now - windowStart;
            if (dt >= firstWindowCounts) {
                measuredRate = WindowRate(dt);
                rateState = RateTracking;
                windowStart = now;
                windowSamples = 0;
            }
            break;
        }
        case RateTracking: {
            rateRatio = (measuredRate * inverseNominalRate) * kRatioWeight + rateRatio * 0.99;
            windowSamples += samples;
            const int64_t dt = now - windowStart;
            if (dt > windowCounts) {
                measuredRate = WindowRate(dt) * kRateWeight + measuredRate * 0.9;
                rateRatio = (measuredRate * inverseNominalRate) * kRatioWeight + rateRatio * 0.99;
                windowStart = now;
                windowSamples = 0;
            }
            break;
        }
        default:  // RateIdle
            break;
    }
}

double RateMeasurement::CountsPerSample(uint32_t channels) const {
    const double nominal = nominalRate * static_cast<double>(channels > 0 ? channels : 1);
    const double perSecond = std::fabs(measuredRate - nominal) < 0.01 * nominal ? measuredRate : nominal;
    return perSecond > 0.0 ? static_cast<double>(counterFrequency) / perSecond : 0.0;
}
