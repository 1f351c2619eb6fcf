// Test signals for the converters and the yardstick of their quality, shared by the unit tests and the benchmark
// so that both judge a converter by the very same measurement.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace sinefit {

// `n` samples of a sine of `cyclesPerSample` (frequency over sample rate), starting at phase 0.
inline std::vector<float> Sine(size_t n, double cyclesPerSample, double amplitude = 0.5) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * cyclesPerSample * static_cast<double>(i)));
    return v;
}

// Signal to noise-and-distortion of `y`, in dB, from sample `skip` on: a sine of the known frequency (amplitude,
// phase and offset free) is fitted by least squares, and whatever the fit leaves is noise and distortion. The
// offset is fitted so that a converter's DC error does not count as distortion, and left out of the signal.
inline double SinadDb(const std::vector<float>& y, double cyclesPerSample, size_t skip) {
    // Normal equations of the fit on the basis sin, cos, 1.
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
    // Gaussian elimination, then back substitution.
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

}  // namespace sinefit
