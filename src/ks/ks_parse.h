// Reading what a device answers. Everything here treats the answer as untrusted: counts and sizes are checked
// against the bytes that actually arrived, every walk stops at the end of its buffer, and records are copied
// out before they are read (a device may place them at any alignment).
#pragma once

#include <cstring>

#include "ks/ks_irp_target.h"
#include "platform/win32.h"

// The items of a KSMULTIPLE_ITEM answer.
struct KsMultipleItem {
    const BYTE* items = nullptr;
    ULONG count = 0;      // as the header claims
    ULONG itemBytes = 0;  // bytes from `items` to the end of the answer (and of the header's Size)
};

// False when the answer is too short for its header or the header's Size is smaller than the header itself.
bool ParseMultipleItem(const CKsPropertyBlock& answer, KsMultipleItem& list);

// How many items of `itemSize` bytes the list really holds: its Count, cut to what fits.
ULONG FittingItemCount(const KsMultipleItem& list, ULONG itemSize);

// Walks up to `count` data ranges starting at `first`, each following the previous one at the distance of its
// FormatSize, and calls visit(copy, formatSize) with a zero-padded KSDATARANGE_AUDIO copy of each. The walk
// stops at a range whose FormatSize is smaller than a KSDATARANGE or that runs past `bytes`. Returns the number
// of ranges visited.
template <class Visit>
ULONG WalkDataRanges(const BYTE* first, ULONG bytes, ULONG count, Visit visit) {
    ULONG offset = 0;
    ULONG visited = 0;
    while (visited < count && first && bytes - offset >= sizeof(KSDATARANGE)) {
        ULONG formatSize = 0;
        std::memcpy(&formatSize, first + offset, sizeof formatSize);
        if (formatSize < sizeof(KSDATARANGE) || formatSize > bytes - offset) break;
        KSDATARANGE_AUDIO copy;
        std::memset(&copy, 0, sizeof copy);
        std::memcpy(&copy, first + offset, formatSize < sizeof copy ? formatSize : sizeof copy);
        visit(copy, formatSize);
        ++visited;
        offset += formatSize;
    }
    return visited;
}

inline bool IsNullGuid(const GUID& guid) {
    static constexpr GUID kNull{};
    return std::memcmp(&guid, &kNull, sizeof guid) == 0;
}

inline bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// {0000xxxx-0000-0010-8000-00AA00389B71}: a sub-format that stands for a 16-bit wave-format tag.
bool IsWaveFormatTagGuid(const GUID& guid);
GUID WaveFormatTagGuid(WORD tag);

// The fields of KSDATARANGE_AUDIO end 4 bytes before its sizeof (the union inside is 8-byte aligned); a device's
// range of this many bytes is complete.
constexpr ULONG kAudioDataRangeFieldBytes = offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency) + sizeof(ULONG);
