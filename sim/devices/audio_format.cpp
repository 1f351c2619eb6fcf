#include "sim/devices/audio_format.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim::devices {
namespace {

WORD ContainerBytes(SampleKind kind) {
    switch (kind) {
        case SampleKind::Int16:
            return 2;
        case SampleKind::Int24:
            return 3;
        default:
            return 4;
    }
}

WORD ValidBits(SampleKind kind) {
    switch (kind) {
        case SampleKind::Int16:
            return 16;
        case SampleKind::Int24:
        case SampleKind::Int24In32:
            return 24;
        default:
            return 32;
    }
}

int PopCount(DWORD mask) {
    int count = 0;
    for (; mask; mask &= mask - 1) ++count;
    return count;
}

}  // namespace

std::vector<BYTE> DataRanges(const FormatSupport& support, ULONG& count) {
    std::vector<BYTE> bytes;
    count = 0;
    for (SampleKind kind : support.kinds) {
        for (DWORD rate : support.rates) {
            KSDATARANGE_AUDIO range{};
            range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
            range.DataRange.SampleSize = static_cast<ULONG>(ContainerBytes(kind) * support.channels);
            range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
            range.DataRange.SubFormat =
                kind == SampleKind::Float32 ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
            range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
            range.MaximumChannels = support.channels;
            // The valid bits, not the container: a range cannot tell 24 packed bits from 24 in 32.
            range.MinimumBitsPerSample = ValidBits(kind);
            range.MaximumBitsPerSample = ValidBits(kind);
            range.MinimumSampleFrequency = rate;
            range.MaximumSampleFrequency = rate;
            const BYTE* p = reinterpret_cast<const BYTE*>(&range);
            bytes.insert(bytes.end(), p, p + sizeof range);
            ++count;
        }
    }
    return bytes;
}

std::optional<StreamFormat> AcceptFormat(const FormatSupport& support, const WAVEFORMATEX* format, ULONG bytes) {
    if (!format || bytes < sizeof(WAVEFORMATEX)) return std::nullopt;
    WAVEFORMATEX head;
    std::memcpy(&head, format, sizeof head);
    bool isFloat = false;
    WORD validBits = head.wBitsPerSample;
    switch (head.wFormatTag) {
        case WAVE_FORMAT_PCM:
            break;
        case WAVE_FORMAT_IEEE_FLOAT:
            isFloat = true;
            break;
        case WAVE_FORMAT_EXTENSIBLE: {
            if (head.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) ||
                bytes < sizeof(WAVEFORMATEXTENSIBLE))
                return std::nullopt;
            WAVEFORMATEXTENSIBLE extensible;
            std::memcpy(&extensible, format, sizeof extensible);
            if (extensible.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)
                isFloat = true;
            else if (extensible.SubFormat != KSDATAFORMAT_SUBTYPE_PCM)
                return std::nullopt;
            validBits = extensible.Samples.wValidBitsPerSample;
            if (extensible.dwChannelMask != 0 && PopCount(extensible.dwChannelMask) != head.nChannels)
                return std::nullopt;
            break;
        }
        default:
            return std::nullopt;
    }
    if (head.nChannels != support.channels) return std::nullopt;
    if (std::find(support.rates.begin(), support.rates.end(), head.nSamplesPerSec) == support.rates.end())
        return std::nullopt;
    for (SampleKind kind : support.kinds) {
        WORD container = ContainerBytes(kind);
        if ((kind == SampleKind::Float32) != isFloat) continue;
        if (head.wBitsPerSample != container * 8 || validBits != ValidBits(kind)) continue;
        // Plain PCM cannot say that only 24 of 32 bits are valid.
        if (kind == SampleKind::Int24In32 && head.wFormatTag != WAVE_FORMAT_EXTENSIBLE) continue;
        WORD blockAlign = static_cast<WORD>(container * head.nChannels);
        if (head.nBlockAlign != blockAlign || head.nAvgBytesPerSec != blockAlign * head.nSamplesPerSec) continue;
        StreamFormat accepted;
        accepted.kind = kind;
        accepted.channels = head.nChannels;
        accepted.rate = head.nSamplesPerSec;
        accepted.containerBytes = container;
        accepted.validBits = ValidBits(kind);
        accepted.blockAlign = blockAlign;
        return accepted;
    }
    return std::nullopt;
}

void EncodeSample(const StreamFormat& format, double value, bool asFloat, BYTE* slot) {
    value = std::clamp(value, -1.0, 1.0);
    if (format.kind == SampleKind::Float32 || (asFloat && format.containerBytes == 4)) {
        float sample = static_cast<float>(value);
        std::memcpy(slot, &sample, 4);
        return;
    }
    double scale = std::ldexp(1.0, format.validBits - 1);
    double top = scale - 1.0;
    int64_t integer = static_cast<int64_t>(std::llround(std::clamp(value * scale, -scale, top)));
    if (format.kind == SampleKind::Int24In32) integer *= 256;  // 24 valid bits at the top of the container
    uint32_t bits = static_cast<uint32_t>(integer);
    for (WORD i = 0; i < format.containerBytes; ++i) slot[i] = static_cast<BYTE>(bits >> (8 * i));
}

float DecodeSample(const StreamFormat& format, const BYTE* slot) {
    if (format.kind == SampleKind::Float32) {
        float sample;
        std::memcpy(&sample, slot, 4);
        return sample;
    }
    uint32_t bits = 0;
    for (WORD i = 0; i < format.containerBytes; ++i) bits |= static_cast<uint32_t>(slot[i]) << (8 * i);
    int shift = 32 - 8 * format.containerBytes;
    int32_t integer = static_cast<int32_t>(bits << shift) >> shift;  // sign-extend
    return static_cast<float>(std::ldexp(static_cast<double>(integer), -(8 * format.containerBytes - 1)));
}

}  // namespace sim::devices
