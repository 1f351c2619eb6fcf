#include "ks/ks_enum_filters.h"

#include <cstring>
#include <memory>
#include <new>

#include "ks/ks_parse.h"
#include "ks/ks_trace.h"

namespace {

// DEVPKEY_Device_BusRelations: the device instance IDs of the device's children, as a list of wide strings.
const DEVPROPKEY kBusRelationsKey = {{0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 7};

// The interface-detail record: its header, then the device path. 528 bytes leave 524 for the path; a longer
// path fails the detail request and skips the interface.
constexpr DWORD kDetailBytes = 528;
constexpr DWORD kBusRelationsBytes = 4096;

// The interface's friendly name from its registry key, whatever the value's type, always terminated.
void ReadFriendlyName(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData, char (&name)[260]) {
    std::memset(name, 0, sizeof name);
    HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, &interfaceData, 0, KEY_READ);
    if (key == nullptr || reinterpret_cast<HANDLE>(key) == INVALID_HANDLE_VALUE) return;
    DWORD type = 0;
    DWORD size = sizeof name;
    if (RegQueryValueExA(key, "FriendlyName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) != ERROR_SUCCESS)
        std::memset(name, 0, sizeof name);
    // The registry keeps a value's bytes as written: a name of 260 characters arrives without its terminator.
    name[sizeof name - 1] = '\0';
    RegCloseKey(key);
}

CKsFilter* NewFilter(ULONG filterType, LPCSTR path, HRESULT& hr) {
    switch (filterType) {
        case CKsFilter::eUnknown:
            TraceKs(3, "new CKsFilter(eUnknown)");
            return new (std::nothrow) CKsFilter(path, hr);
        case CKsFilter::eRender:
            TraceKs(3, "new CKsAudRenFilter()");
            return new (std::nothrow) CKsAudRenFilter(path, hr);
        case CKsFilter::eCapture:
            TraceKs(3, "new CKsAudCapFilter()");
            return new (std::nothrow) CKsAudCapFilter(path, hr);
        default:
            TraceKs(3, "new CKsFilter()");
            return new (std::nothrow) CKsFilter(path, hr);
    }
}

}  // namespace

CKsEnumFilters::CKsEnumFilters(HRESULT& hr) { hr = S_OK; }

CKsEnumFilters::~CKsEnumFilters() { DestroyLists(); }

HRESULT CKsEnumFilters::DestroyLists() {
    for (CKsFilter* filter : m_listFilters) delete filter;
    m_listFilters.clear();
    return S_OK;
}

HRESULT CKsEnumFilters::EnumFilters(ULONG filterType, const GUID* categories, ULONG categoryCount, BOOL needPins,
                                    BOOL needNodes, BOOL instantiate) {
    KS_ENTER("CKsEnumFilters::EnumFilters");
    HRESULT hr = DestroyLists();
    if (FAILED(hr)) {
        KS_LEAVE_HR("CKsEnumFilters::EnumFilters", hr);
        return hr;
    }
    if (!categories || categoryCount == 0 || IsNullGuid(categories[0])) {
        KS_LEAVE_HR("CKsEnumFilters::EnumFilters", E_FAIL);
        return E_FAIL;
    }
    HDEVINFO set = SetupDiGetClassDevsA(&categories[0], nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) {
        TraceKs(4, "No devices found");
        KS_LEAVE_HR("CKsEnumFilters::EnumFilters", E_FAIL);
        return E_FAIL;
    }

    bool outOfMemory = false;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &categories[0], index, &interfaceData)) break;

        char friendlyName[260];
        ReadFriendlyName(set, interfaceData, friendlyName);

        // 8-byte aligned storage for the record.
        std::unique_ptr<ULONGLONG[]> detailStorage(new (std::nothrow) ULONGLONG[kDetailBytes / 8]());
        if (!detailStorage) {
            TraceKs(4, "Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure");
            outOfMemory = true;
            break;
        }
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailStorage.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, kDetailBytes, nullptr, &device)) continue;
        reinterpret_cast<char*>(detailStorage.get())[kDetailBytes - 1] = '\0';
        const char* path = detail->DevicePath;

        // Absent on devices without children; the buffer then stays empty.
        alignas(8) BYTE relations[kBusRelationsBytes] = {};
        DEVPROPTYPE relationsType = 0;
        SetupDiGetDevicePropertyW(set, &device, &kBusRelationsKey, &relationsType, relations, sizeof relations, nullptr,
                                  0);

        bool aliased = true;
        for (ULONG c = 1; c < categoryCount && aliased; ++c) {
            SP_DEVICE_INTERFACE_DATA alias{};
            alias.cbSize = sizeof alias;
            if (!SetupDiGetDeviceInterfaceAlias(set, &interfaceData, &categories[c], &alias)) {
                TraceKs(5, "Failed to get requested DeviceInterfaceAlias");
                aliased = false;
            } else if (alias.Flags == 0 || (alias.Flags & SPINT_REMOVED)) {
                TraceKs(5, "DeviceInterfaceAlias disabled.");
                aliased = false;
            }
        }
        if (!aliased) continue;

        TraceKs(3, "Found Device: %s", path);
        HRESULT filterResult = S_OK;
        CKsFilter* filter = NewFilter(filterType, path, filterResult);
        if (!filter) filterResult = E_OUTOFMEMORY;

        if (filter) {
            std::memcpy(filter->m_szFriendlyName, friendlyName, sizeof friendlyName);
            TraceKs(3, "Filter Friendly Name = %s", filter->m_szFriendlyName);
            // The first instance ID of the list, up to its terminator; cut (and terminated) at the field's end.
            constexpr size_t capacity = sizeof filter->m_wszDeviceProperty / sizeof(WCHAR);
            const size_t available = sizeof relations / sizeof(WCHAR);
            size_t units = 0;
            for (; units + 1 < capacity && units < available; ++units) {
                WCHAR unit;
                std::memcpy(&unit, relations + units * sizeof(WCHAR), sizeof unit);
                if (unit == 0) break;
                filter->m_wszDeviceProperty[units] = unit;
            }
            filter->m_wszDeviceProperty[units] = 0;
        }
        if (filter && SUCCEEDED(filterResult) && (needPins || needNodes || instantiate)) {
            filterResult = filter->Instantiate();
            if (SUCCEEDED(filterResult) && needNodes) filterResult = filter->EnumerateNodes();
            if (SUCCEEDED(filterResult) && needPins) filterResult = filter->EnumeratePins();
        }
        bool kept = false;
        if (filter && SUCCEEDED(filterResult)) {
            try {
                m_listFilters.push_back(filter);
                kept = true;
            } catch (const std::bad_alloc&) {
            }
        }
        if (!kept) {
            delete filter;
            TraceKs(1, "Failed to create filter for %s", path);
        }
    }
    SetupDiDestroyDeviceInfoList(set);

    if (outOfMemory)
        hr = E_OUTOFMEMORY;
    else
        hr = m_listFilters.empty() ? E_FAIL : S_OK;
    KS_LEAVE_HR("CKsEnumFilters::EnumFilters", hr);
    return hr;
}
