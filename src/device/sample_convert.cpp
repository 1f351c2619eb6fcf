// Sample converters. Audio path (stream threads, clock thread): no allocation, no lock, no printing.
#include "device/sample_convert.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace {

// The decoding factors, by their single-precision bits so that every build multiplies by the same values.
const float kFrom16 = std::bit_cast<float>(uint32_t{0x38000100});  // 1/32767
const float kFrom24 = std::bit_cast<float>(uint32_t{0x34000001});  // the float nearest to 1/8388607
const float kFrom32 = std::bit_cast<float>(uint32_t{0x30000000});  // 2^-31

float Limit(float x) {
    if (x > 1.0f) return 1.0f;
    if (x < -1.0f) return -1.0f;
    return x;  // a NaN fails both comparisons and passes
}

// Truncation toward zero of a limited sample times `scale`, for the 16- and 24-bit forms, whose products stay far
// inside int32.
int32_t Narrow(float x, float scale) {
    const float product = Limit(x) * scale;
    if (std::isnan(product)) return 0;
    return static_cast<int32_t>(product);
}

int32_t Wide(float x) {
    const float product = Limit(x) * 2147483648.0f;
    if (std::isnan(product)) return INT32_MIN;
    if (product >= 2147483648.0f) return INT32_MAX;
    return static_cast<int32_t>(product);
}

}  // namespace

void FloatToPcm16(float* samples, uint32_t n) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(samples);
    for (uint32_t i = 0; i < n; ++i) {
        float x;
        std::memcpy(&x, bytes + 4 * static_cast<size_t>(i), 4);
        const int16_t v = static_cast<int16_t>(Narrow(x, 32767.5f));
        std::memcpy(bytes + 2 * static_cast<size_t>(i), &v, 2);
    }
}

void FloatToPcm24(float* samples, uint32_t n) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(samples);
    for (uint32_t i = 0; i < n; ++i) {
        float x;
        std::memcpy(&x, bytes + 4 * static_cast<size_t>(i), 4);
        const uint32_t v = static_cast<uint32_t>(Narrow(x, 8388607.5f));
        unsigned char* slot = bytes + 3 * static_cast<size_t>(i);
        slot[0] = static_cast<unsigned char>(v);
        slot[1] = static_cast<unsigned char>(v >> 8);
        slot[2] = static_cast<unsigned char>(v >> 16);
    }
}

void FloatToPcm32(float* samples, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        const int32_t v = Wide(samples[i]);
        std::memcpy(&samples[i], &v, 4);
    }
}

void FloatToPcm24In32(float* samples, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t v = static_cast<uint32_t>(Wide(samples[i])) & 0xFFFFFF00u;
        std::memcpy(&samples[i], &v, 4);
    }
}

void Pcm32ToFloat(float* samples, uint32_t n) { Pcm32ToFloat(samples, samples, n); }

void Pcm16ToFloat(const void* source, float* target, uint32_t n) {
    const unsigned char* in = static_cast<const unsigned char*>(source);
    unsigned char* out = reinterpret_cast<unsigned char*>(target);
    for (uint32_t i = n; i-- > 0;) {
        int16_t v;
        std::memcpy(&v, in + 2 * static_cast<size_t>(i), 2);
        const float x = static_cast<float>(v) * kFrom16;
        std::memcpy(out + 4 * static_cast<size_t>(i), &x, 4);
    }
}

void Pcm24ToFloat(const void* source, float* target, uint32_t n) {
    const unsigned char* in = static_cast<const unsigned char*>(source);
    unsigned char* out = reinterpret_cast<unsigned char*>(target);
    for (uint32_t i = n; i-- > 0;) {
        const unsigned char* slot = in + 3 * static_cast<size_t>(i);
        const uint32_t raw =
            static_cast<uint32_t>(slot[0]) | static_cast<uint32_t>(slot[1]) << 8 | static_cast<uint32_t>(slot[2]) << 16;
        const int32_t v = static_cast<int32_t>(raw << 8) >> 8;  // sign-extend the 24 bits
        const float x = static_cast<float>(v) * kFrom24;
        std::memcpy(out + 4 * static_cast<size_t>(i), &x, 4);
    }
}

void Pcm32ToFloat(const void* source, float* target, uint32_t n) {
    const unsigned char* in = static_cast<const unsigned char*>(source);
    unsigned char* out = reinterpret_cast<unsigned char*>(target);
    for (uint32_t i = 0; i < n; ++i) {
        int32_t v;
        std::memcpy(&v, in + 4 * static_cast<size_t>(i), 4);
        const float x = static_cast<float>(v) * kFrom32;
        std::memcpy(out + 4 * static_cast<size_t>(i), &x, 4);
    }
}

CodingEvidence InspectInt24In32OrFloat(const void* words, uint32_t n) {
    const unsigned char* in = static_cast<const unsigned char*>(words);
    CodingEvidence evidence;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t w;
        std::memcpy(&w, in + 4 * static_cast<size_t>(i), 4);
        const uint32_t magnitude = w & 0x7FFFFFFFu;
        if (magnitude == 0) continue;
        evidence.anyNonZero = true;
        // Finite floats from 2^-24 (0x33800000) to 2.0 (0x40000000).
        if (magnitude < 0x33800000u || magnitude > 0x40000000u) evidence.outsideFloatRange = true;
        if (w & 0xFFu) evidence.lowByteSet = true;
    }
    return evidence;
}

bool CodingJudge::Judge(const CodingEvidence& evidence, uint32_t n) {
    if (evidence.outsideFloatRange) {
        floats = false;
        inBandRun = 0;
    } else if (evidence.lowByteSet) {
        floats = true;
    } else if (evidence.anyNonZero) {
        inBandRun = inBandRun + n < inBandRun ? inBandRun : inBandRun + n;
        if (inBandRun >= kInBandRunSamples) floats = true;
    }
    return floats;
}
