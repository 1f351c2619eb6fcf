// Enumerating the world's audio filters the way the device layer does, shared by the device tests.
#pragma once

#include "ks/ks_enum_filters.h"

namespace devicetest {

constexpr GUID kCapture[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};
constexpr GUID kRender[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};

inline HRESULT Enumerate(CKsEnumFilters& filters, bool capture) {
    return filters.EnumFilters(capture ? CKsFilter::eCapture : CKsFilter::eRender, capture ? kCapture : kRender, 2,
                               TRUE, FALSE, TRUE);
}

}  // namespace devicetest
