// SetupAPI of the test-only DLL, over the virtual kernel's interface lists: the device information sets the
// product walks are snapshots of the virtual machine's interfaces, as SetupAPI takes them of the real ones.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/os/virtual_kernel.h"
#include "sim/win/virtual_calls.h"

namespace {

using sim::os::DeviceInterface;
using sim::os::InstalledVirtualKernel;

// A snapshot of one category's interfaces and of the devices they belong to. Interfaces reached as aliases are
// added behind the listed ones.
struct DeviceInfoSet {
    std::mutex lock;
    std::vector<DeviceInterface> interfaces;
    size_t listedCount = 0;
    std::vector<std::string> devices;  // instance IDs, in order of first appearance
};

// Sets are named by odd values of their own, never reused, so a set used after destruction is reported
// invalid rather than reaching freed memory.
struct SetTable {
    std::mutex lock;
    uintptr_t next = 0x00007E5600000001ull;
    std::map<uintptr_t, std::shared_ptr<DeviceInfoSet>> sets;
};

SetTable& Sets() {
    static auto* table = new SetTable;
    return *table;
}

std::shared_ptr<DeviceInfoSet> SetOf(HDEVINFO handle) {
    SetTable& table = Sets();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.sets.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.sets.end() ? nullptr : found->second;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The set's interface named by a record this set filled in (Reserved holds its index + 1).
const DeviceInterface* InterfaceOf(const DeviceInfoSet& set, const SP_DEVICE_INTERFACE_DATA* data) {
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return nullptr;
    if (data->Reserved == 0 || data->Reserved > set.interfaces.size()) return nullptr;
    return &set.interfaces[data->Reserved - 1];
}

void FillInterfaceData(const DeviceInterface& found, size_t index, SP_DEVICE_INTERFACE_DATA* data) {
    data->InterfaceClassGuid = found.category;
    data->Flags = found.flags;
    data->Reserved = index + 1;
}

bool FillDeviceData(const DeviceInfoSet& set, const std::string& instanceId, SP_DEVINFO_DATA* device) {
    if (!device) return true;
    if (device->cbSize != sizeof(SP_DEVINFO_DATA)) return false;
    for (size_t i = 0; i < set.devices.size(); ++i) {
        if (set.devices[i] != instanceId) continue;
        device->ClassGuid = GUID{};
        device->DevInst = static_cast<DWORD>(i + 1);
        device->Reserved = i + 1;
        return true;
    }
    return false;
}

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// The interface's "Device Parameters" key. Windows keeps it under HKLM's DeviceClasses, which only an
// administrator may write; the virtual machine keeps a volatile copy under the user's hive instead, with the
// same relative path, so that a host run without elevation can still set it up.
std::string InterfaceKeyPath(const DeviceInterface& found) {
    std::string mangled = found.path;
    for (char& c : mangled)
        if (c == '\\') c = '#';
    return "Software\\Tessel Virtual Machine\\DeviceClasses\\" + GuidText(found.category) + "\\" + mangled + "\\#" +
           found.referenceString + "\\Device Parameters";
}

}  // namespace

extern "C" {

HDEVINFO WINAPI TesselVirtual_SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR, HWND, DWORD flags) {
    // The virtual machine lists interfaces of one category, which is all the driver asks for.
    if (!classGuid || !(flags & DIGCF_DEVICEINTERFACE) || (flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    if (auto kernel = InstalledVirtualKernel()) set->interfaces = kernel->Interfaces(*classGuid);
    set->listedCount = set->interfaces.size();
    for (const auto& found : set->interfaces) {
        bool known = false;
        for (const auto& id : set->devices) known = known || id == found.deviceInstanceId;
        if (!known) set->devices.push_back(found.deviceInstanceId);
    }
    SetTable& table = Sets();
    std::lock_guard<std::mutex> guard(table.lock);
    uintptr_t value = table.next;
    table.next += 4;
    table.sets.emplace(value, std::move(set));
    return reinterpret_cast<HDEVINFO>(value);
}

BOOL WINAPI TesselVirtual_SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device,
                                                      const GUID* interfaceClass, DWORD index,
                                                      PSP_DEVICE_INTERFACE_DATA interfaceData) {
    auto set = SetOf(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (!interfaceClass || !interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    std::lock_guard<std::mutex> guard(set->lock);
    // `index` counts the listed interfaces of the class (and of the device, when one is given).
    DWORD seen = 0;
    for (size_t i = 0; i < set->listedCount; ++i) {
        const DeviceInterface& found = set->interfaces[i];
        if (found.category != *interfaceClass) continue;
        if (device && (device->Reserved == 0 || device->Reserved > set->devices.size() ||
                       set->devices[device->Reserved - 1] != found.deviceInstanceId))
            continue;
        if (seen++ == index) {
            FillInterfaceData(found, i, interfaceData);
            return TRUE;
        }
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI TesselVirtual_SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA device) {
    auto set = SetOf(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    std::lock_guard<std::mutex> guard(set->lock);
    if (index >= set->devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    FillDeviceData(*set, set->devices[index], device);
    return TRUE;
}

HKEY WINAPI TesselVirtual_SetupDiOpenDeviceInterfaceRegKey(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                           DWORD, REGSAM access) {
    auto* invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    auto set = SetOf(handle);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return invalid;
    }
    DeviceInterface found;
    {
        std::lock_guard<std::mutex> guard(set->lock);
        const DeviceInterface* listed = InterfaceOf(*set, interfaceData);
        if (!listed) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return invalid;
        }
        found = *listed;
    }
    // The key holds what the device's installation wrote there; the virtual kernel says what that is.
    std::string path = InterfaceKeyPath(found);
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                     nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        for (const auto& [name, value] : found.registryValues)
            RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
        RegCloseKey(key);
        status = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, access, &key);
    }
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return invalid;
    }
    return key;
}

BOOL WINAPI TesselVirtual_SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                                           PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    auto set = SetOf(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> guard(set->lock);
    const DeviceInterface* found = InterfaceOf(*set, interfaceData);
    if (!found) return Fail(ERROR_INVALID_PARAMETER);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + found->path.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (!detail || detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, found->path.c_str(), found->path.size() + 1);
    if (!FillDeviceData(*set, found->deviceInstanceId, device)) return Fail(ERROR_INVALID_USER_BUFFER);
    return TRUE;
}

BOOL WINAPI TesselVirtual_SetupDiGetDevicePropertyW(HDEVINFO handle, PSP_DEVINFO_DATA device, const DEVPROPKEY* key,
                                                    DEVPROPTYPE* type, PBYTE buffer, DWORD bufferSize,
                                                    PDWORD requiredSize, DWORD flags) {
    auto set = SetOf(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA) || !key || !type || flags != 0 ||
        (!buffer && bufferSize != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    std::string instanceId;
    {
        std::lock_guard<std::mutex> guard(set->lock);
        if (device->Reserved == 0 || device->Reserved > set->devices.size()) return Fail(ERROR_INVALID_PARAMETER);
        instanceId = set->devices[device->Reserved - 1];
    }
    auto kernel = InstalledVirtualKernel();
    std::vector<BYTE> value;
    DEVPROPTYPE valueType = DEVPROP_TYPE_EMPTY;
    if (!kernel || !kernel->DeviceProperty(instanceId, *key, valueType, value)) return Fail(ERROR_NOT_FOUND);
    *type = valueType;
    if (requiredSize) *requiredSize = static_cast<DWORD>(value.size());
    if (bufferSize < value.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
    return TRUE;
}

BOOL WINAPI TesselVirtual_SetupDiGetDeviceInterfaceAlias(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                         const GUID* aliasClass, PSP_DEVICE_INTERFACE_DATA alias) {
    auto set = SetOf(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    DeviceInterface wanted;
    {
        std::lock_guard<std::mutex> guard(set->lock);
        const DeviceInterface* found = InterfaceOf(*set, interfaceData);
        if (!found || !aliasClass || !alias || alias->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
            return Fail(ERROR_INVALID_PARAMETER);
        wanted = *found;
    }
    auto kernel = InstalledVirtualKernel();
    if (!kernel) return Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
    // An alias is the interface of the same device, with the same reference string, in the other category.
    for (const auto& candidate : kernel->Interfaces(*aliasClass)) {
        if (candidate.deviceInstanceId != wanted.deviceInstanceId ||
            candidate.referenceString != wanted.referenceString)
            continue;
        std::lock_guard<std::mutex> guard(set->lock);
        set->interfaces.push_back(candidate);
        FillInterfaceData(candidate, set->interfaces.size() - 1, alias);
        return TRUE;
    }
    return Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
}

BOOL WINAPI TesselVirtual_SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    SetTable& table = Sets();
    std::lock_guard<std::mutex> guard(table.lock);
    if (table.sets.erase(reinterpret_cast<uintptr_t>(handle)) == 0) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

}  // extern "C"
