// Sample converters between the devices' integer codings and the driver's 32-bit floats (full scale ±1.0).
// Pure functions: no state, no allocation, no lock; safe on any thread (the stream threads and the clock thread).
#pragma once

#include <cstdint>

// In place, front to back, on n floats. Each limits x to [-1, 1] (a NaN passes the limit), multiplies by its scale
// in single precision, truncates toward zero and stores the integer little-endian: packed 2 or 3 bytes per sample
// from the start of the array (each integer lands on bytes already read), or 4 bytes in the sample's own slot.
// A NaN becomes 0 in the 16- and 24-bit forms and -2^31 in the 32-bit forms.
void FloatToPcm16(float* samples, uint32_t n);      // scale 32767.5
void FloatToPcm24(float* samples, uint32_t n);      // scale 8388607.5
void FloatToPcm32(float* samples, uint32_t n);      // scale 2^31, saturating at 2^31 - 1
void FloatToPcm24In32(float* samples, uint32_t n);  // as FloatToPcm32 with the low 8 bits cleared
void Pcm32ToFloat(float* samples, uint32_t n);      // signed 32-bit in place to float, × 2^-31

// Capture decoders from a device packet (`source`, n samples of the given coding) into `target` floats. `source`
// and `target` may be the same address: the widening ones run from the last sample to the first for that reason.
void Pcm16ToFloat(const void* source, float* target, uint32_t n);  // × 1/32767
void Pcm24ToFloat(const void* source, float* target, uint32_t n);  // sign-extended, × (nearest to 1/8388607)
void Pcm32ToFloat(const void* source, float* target, uint32_t n);  // × 2^-31

// Telling 24-in-32 integers from IEEE floats by the samples alone. Once a microphone may have switched to floats
// (the float-format command may have reached it), its stream is decoded by what it holds, never by what the HID
// exchange reported, so that integers are never read as floats nor floats as integers:
//   - Integers with 24 valid bits always have a zero low byte.
//   - Floats from a microphone are 0 or of magnitude 2^-24 to 2. Read as integers, every one of them lies within
//     0.40 to 0.5 or -0.6 to -0.5 of full scale.
// So a word outside that float range proves integers, and a nonzero low byte on words that are all in range proves
// floats. Words all in range with zero low bytes (simple float values, or loud integer audio that happens to stay
// inside the band) prove nothing by themselves; only a long stretch of them does, since integer audio has to cross
// the quiet range between the bands to change sign and cannot stay in the band for long.
struct CodingEvidence {
    bool outsideFloatRange = false;  // some word cannot be a microphone's float: integers
    bool lowByteSet = false;         // some word has low bits a 24-bit integer never has
    bool anyNonZero = false;
};
CodingEvidence InspectInt24In32OrFloat(const void* words, uint32_t n);

// The running verdict over a stream's packets: integers until the samples prove floats.
struct CodingJudge {
    // Samples in a row, all in the float range, after which the stream counts as floats even without a set low
    // byte: 4096 (85 ms at 48 kHz), far longer than integer audio stays within the band.
    static constexpr uint32_t kInBandRunSamples = 4096;
    bool floats = false;
    uint32_t inBandRun = 0;
    void Reset() {
        floats = false;
        inBandRun = 0;
    }
    // Takes one packet's evidence; returns whether to decode that packet as floats.
    bool Judge(const CodingEvidence& evidence, uint32_t n);
};
