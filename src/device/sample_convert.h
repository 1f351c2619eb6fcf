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

// What a packet of 32-bit words from a 24-in-32 stream holds, judged by the words alone. Once a microphone may have
// switched to IEEE floats, the stream thread decodes each packet by this, so that integers are never read as
// floats or floats as integers whatever the HID exchange reported.
//   - Integers from 24 valid bits always have a zero low byte.
//   - Floats from a microphone are 0 or of magnitude 2^-24 to 2: read as integers, every one of them lies in
//     0.40 to 0.5 or -0.6 to -0.5 of full scale, which no stretch of real integer audio does (it would have to
//     jump across zero without a sample in between, for a whole packet).
// Float: every word is such a float and at least one is not zero. Either: every word is zero (silence reads the
// same both ways). Integer: anything else, including NaN, infinities and words that are neither, so that what
// reaches the host is always a finite value within full scale.
enum class PacketCoding { Integer, Float, Either };
PacketCoding ClassifyInt24In32OrFloat(const void* words, uint32_t n);
