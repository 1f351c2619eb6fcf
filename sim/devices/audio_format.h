// The sample formats a virtual device streams in, the data ranges it reports for them, the check of a wave
// format a client asks for, and the coding of samples in the device's buffer.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/win32.h"

namespace sim::devices {

enum class SampleKind {
    Int16,      // 16 bits in 16
    Int24,      // 24 bits packed in 3 bytes
    Int24In32,  // 24 valid bits in 32-bit containers (the low byte zero)
    Int32,      // 32 bits in 32
    Float32,    // IEEE float in 32 bits
};

// What one device can stream: each kind at each rate, with exactly `channels` channels.
struct FormatSupport {
    std::vector<SampleKind> kinds;
    std::vector<DWORD> rates;
    WORD channels = 1;
};

// A format the device has accepted.
struct StreamFormat {
    SampleKind kind = SampleKind::Int16;
    WORD channels = 1;
    DWORD rate = 48000;
    WORD containerBytes = 2;
    WORD validBits = 16;
    WORD blockAlign = 2;
};

// One data range per kind and rate (USB audio devices list their discrete rates this way), back to back, each
// of sizeof(KSDATARANGE_AUDIO) bytes. `count` receives the number of ranges.
std::vector<BYTE> DataRanges(const FormatSupport& support, ULONG& count);

// The stream format for a wave format (WAVEFORMATEX or WAVEFORMATEXTENSIBLE, `bytes` long) that `support`
// covers; nothing when the device cannot stream it. The fields must agree with each other as a real device
// demands (block alignment, byte rate, the extension's size).
std::optional<StreamFormat> AcceptFormat(const FormatSupport& support, const WAVEFORMATEX* format, ULONG bytes);

// Writes `value` (full scale ±1, clipped) at `slot` in the device's coding. With `asFloat` a 32-bit container
// takes an IEEE float instead (what a microphone switched to float samples writes).
void EncodeSample(const StreamFormat& format, double value, bool asFloat, BYTE* slot);
// Reads a sample the client wrote in the device's coding, as full scale ±1.
float DecodeSample(const StreamFormat& format, const BYTE* slot);

}  // namespace sim::devices
