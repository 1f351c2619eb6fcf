#include "ks/ks_parse.h"

namespace {
constexpr BYTE kWaveFormatGuidTail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
}  // namespace

bool ParseMultipleItem(const CKsPropertyBlock& answer, KsMultipleItem& list) {
    list = KsMultipleItem{};
    if (!answer.data || answer.size < sizeof(KSMULTIPLE_ITEM)) return false;
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, answer.data.get(), sizeof header);
    if (header.Size < sizeof header) return false;
    ULONG end = header.Size < answer.size ? header.Size : answer.size;
    list.items = answer.data.get() + sizeof header;
    list.count = header.Count;
    list.itemBytes = end - static_cast<ULONG>(sizeof header);
    return true;
}

ULONG FittingItemCount(const KsMultipleItem& list, ULONG itemSize) {
    ULONG fit = itemSize ? list.itemBytes / itemSize : 0;
    return list.count < fit ? list.count : fit;
}

bool IsWaveFormatTagGuid(const GUID& guid) {
    return (guid.Data1 & 0xFFFF0000u) == 0 && guid.Data2 == 0x0000 && guid.Data3 == 0x0010 &&
           std::memcmp(guid.Data4, kWaveFormatGuidTail, sizeof kWaveFormatGuidTail) == 0;
}

GUID WaveFormatTagGuid(WORD tag) {
    GUID guid{};
    guid.Data1 = tag;
    guid.Data2 = 0x0000;
    guid.Data3 = 0x0010;
    std::memcpy(guid.Data4, kWaveFormatGuidTail, sizeof kWaveFormatGuidTail);
    return guid;
}
