#include "sync/sinc_converter.h"

#include <cmath>
#include <numbers>

namespace {

constexpr int kTaps = CSampleRateConverter_Sinc::kTaps;
constexpr int kPhases = CSampleRateConverter_Sinc::kPhases;
// Kaiser window shape: about 120 dB of side-lobe suppression, which over 32 taps leaves a transition band
// around half the sample rate narrow enough for -110 dB errors up to a third of it.
constexpr double kKaiserBeta = 12.0;

// Modified Bessel function of the first kind, order 0, by its power series (converges fast for the window's
// arguments, which stay below kKaiserBeta).
double BesselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    const double quarterSquare = x * x / 4.0;
    for (int k = 1; k < 64; ++k) {
        term *= quarterSquare / (static_cast<double>(k) * static_cast<double>(k));
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

struct SincTable {
    // Row p holds the coefficients for the position p / kPhases; one padding row repeats the last, so that an
    // interpolation at position 1 may read "the next row" without a branch.
    float rows[kPhases + 2][kTaps];

    SincTable() {
        const double half = kTaps / 2;
        const double windowNorm = BesselI0(kKaiserBeta);
        for (int p = 0; p <= kPhases; ++p) {
            const double mu = static_cast<double>(p) / kPhases;
            double coefficients[kTaps];
            double sum = 0.0;
            for (int k = 0; k < kTaps; ++k) {
                // Distance of tap k from the output instant, which lies mu past tap kTaps/2 - 1.
                const double t = static_cast<double>(k) - (half - 1.0) - mu;
                // At whole-sample positions the sinc is exactly 1 at its centre and 0 elsewhere, so rows 0 and
                // kPhases reproduce input samples bit for bit.
                const bool whole = p == 0 || p == kPhases;
                const double sinc = t == 0.0 ? 1.0
                                    : whole  ? 0.0
                                             : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
                const double edge = t / half;  // -1 … +1 across the window
                const double inside = 1.0 - edge * edge;
                const double window = inside > 0.0 ? BesselI0(kKaiserBeta * std::sqrt(inside)) / windowNorm : 0.0;
                coefficients[k] = sinc * window;
                sum += coefficients[k];
            }
            // Each row passes a constant unchanged, so silence stays silence and a DC offset is not modulated by
            // the moving position.
            for (int k = 0; k < kTaps; ++k) rows[p][k] = static_cast<float>(coefficients[k] / sum);
        }
        for (int k = 0; k < kTaps; ++k) rows[kPhases + 1][k] = rows[kPhases][k];
    }
};

const SincTable& Table() {
    static const SincTable table;
    return table;
}

}  // namespace

CSampleRateConverter_Sinc::CSampleRateConverter_Sinc() : table(&Table().rows[0][0]) {}

const float* CSampleRateConverter_Sinc::KernelRow(int position) {
    if (position < 0) position = 0;
    if (position > kPhases) position = kPhases;
    return Table().rows[position];
}

// Audio path from here on: no allocation, no lock, no printing.

// The pull direction fetches as the quadratic converter's does and evaluates the band-limited input at the
// phase between the two middle samples of the window. Nothing in the driver pulls, but the interface does.
float CSampleRateConverter_Sinc::PullMono(ConverterMonoSource source, void* context) {
    phase += ratio;
    while (phase >= 1.0f) {
        phase -= 1.0f;
        AppendMono(source(context));
    }
    return Interpolate(historyLeft + cursor, phase);
}

void CSampleRateConverter_Sinc::PullStereo(ConverterStereoSource source, void* context, float* outLeft,
                                           float* outRight) {
    phase += ratio;
    while (phase >= 1.0f) {
        phase -= 1.0f;
        float left = 0.0f;
        float right = 0.0f;
        source(context, &left, &right);
        Append(left, right);
    }
    *outLeft = Interpolate(historyLeft + cursor, phase);
    *outRight = Interpolate(historyRight + cursor, phase);
}

void CSampleRateConverter_Sinc::Reset() {
    for (int i = 0; i < 2 * kTaps; ++i) {
        historyLeft[i] = 0.0f;
        historyRight[i] = 0.0f;
    }
    cursor = 0;
}

void CSampleRateConverter_Sinc::SetRatio(float r) {
    ratio = r;
    inverseRatio = 1.0f / r;
    phase = 0.0f;
    Reset();
}
