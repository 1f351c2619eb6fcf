// CKsEnumFilters: finds the kernel-streaming filters of a device-interface category (with aliases required in
// further categories), names them by path, friendly name and bus relation, and opens and fills them as asked.
//
// Ownership: the enumerator owns its filters until the next EnumFilters or its destruction; filters own their
// pins. Runs on the caller's thread (the device layer's, during device open).
#pragma once

#include <vector>

#include "ks/ks_filter.h"
#include "platform/win32.h"

class CKsEnumFilters {
public:
    explicit CKsEnumFilters(HRESULT& hr);
    virtual ~CKsEnumFilters();
    CKsEnumFilters(const CKsEnumFilters&) = delete;
    CKsEnumFilters& operator=(const CKsEnumFilters&) = delete;

    virtual HRESULT DestroyLists();

    // The first category lists the interfaces; every further one must hold an enabled alias of each. S_OK when
    // at least one filter was built.
    HRESULT EnumFilters(ULONG filterType, const GUID* categories, ULONG categoryCount, BOOL needPins, BOOL needNodes,
                        BOOL instantiate);

    std::vector<CKsFilter*> m_listFilters;
};
