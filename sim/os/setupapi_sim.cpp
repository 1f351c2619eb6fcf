// SetupAPI of the simulated Windows, over the installed virtual kernel's interface lists.
#include "sim/os/setupapi_sim.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/os/handles.h"
#include "sim/os/kernel.h"
#include "sim/os/registry.h"
#include "sim/os/virtual_kernel.h"

namespace sim::os {
namespace {

// A device information set: a snapshot of one category's interfaces and of the devices they belong to, taken
// when the set is created, as SetupAPI does. Interfaces reached as aliases are added behind the listed ones.
class DeviceInfoSet : public KernelObject {
public:
    std::vector<DeviceInterface> interfaces;
    size_t listedCount = 0;
    std::vector<std::string> devices;  // instance IDs, in order of first appearance
};

std::shared_ptr<DeviceInfoSet> SetOf(HDEVINFO set) { return LookupHandleAs<DeviceInfoSet>(set); }

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
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

// Where Windows keeps an interface's "Device Parameters": under the category's DeviceClasses key, the path with
// its backslashes turned into '#', then '#' and the reference string.
std::string InterfaceKeyPath(const DeviceInterface& found) {
    std::string mangled = found.path;
    for (char& c : mangled)
        if (c == '\\') c = '#';
    return "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + GuidText(found.category) + "\\" + mangled + "\\#" +
           found.referenceString + "\\Device Parameters";
}

}  // namespace
}  // namespace sim::os

using namespace sim::os;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR, HWND, DWORD flags) {
    // Only what the driver asks for is simulated: the interfaces of one category.
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
    return InsertHandle(set);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData) {
    auto set = SetOf(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (!interfaceClass || !interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    // Walk the listed interfaces of the class (and of the device, when one is given); `index` counts matches.
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

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA device) {
    auto set = SetOf(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (index >= set->devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    FillDeviceData(*set, set->devices[index], device);
    return TRUE;
}

HKEY WINAPI SetupDiOpenDeviceInterfaceRegKey(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData, DWORD,
                                             REGSAM access) {
    auto* invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    auto set = SetOf(handle);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return invalid;
    }
    const DeviceInterface* found = InterfaceOf(*set, interfaceData);
    if (!found) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return invalid;
    }
    // The key holds what the device's installation wrote there; the kernel says what that is.
    std::string path = InterfaceKeyPath(*found);
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                     nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        for (const auto& [name, value] : found->registryValues)
            RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
        RegCloseKey(key);
        status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
    }
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return invalid;
    }
    return key;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    auto set = SetOf(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
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

BOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO handle, PSP_DEVINFO_DATA device, const DEVPROPKEY* key,
                                      DEVPROPTYPE* type, PBYTE buffer, DWORD bufferSize, PDWORD requiredSize,
                                      DWORD flags) {
    auto set = SetOf(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA) || !key || !type || flags != 0 ||
        (!buffer && bufferSize != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (device->Reserved == 0 || device->Reserved > set->devices.size()) return Fail(ERROR_INVALID_PARAMETER);
    auto kernel = InstalledVirtualKernel();
    std::vector<BYTE> value;
    DEVPROPTYPE valueType = DEVPROP_TYPE_EMPTY;
    if (!kernel || !kernel->DeviceProperty(set->devices[device->Reserved - 1], *key, valueType, value))
        return Fail(ERROR_NOT_FOUND);
    *type = valueType;
    if (requiredSize) *requiredSize = static_cast<DWORD>(value.size());
    if (bufferSize < value.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceAlias(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                           const GUID* aliasClass, PSP_DEVICE_INTERFACE_DATA alias) {
    auto set = SetOf(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    const DeviceInterface* found = InterfaceOf(*set, interfaceData);
    if (!found || !aliasClass || !alias || alias->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_PARAMETER);
    auto kernel = InstalledVirtualKernel();
    if (!kernel) return Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
    // An alias is the interface of the same device, with the same reference string, in the other category.
    DeviceInterface wanted = *found;
    for (const auto& candidate : kernel->Interfaces(*aliasClass)) {
        if (candidate.deviceInstanceId != wanted.deviceInstanceId ||
            candidate.referenceString != wanted.referenceString)
            continue;
        set->interfaces.push_back(candidate);
        FillInterfaceData(candidate, set->interfaces.size() - 1, alias);
        return TRUE;
    }
    return Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    if (!SetOf(handle)) return Fail(ERROR_INVALID_HANDLE);
    RemoveHandle(handle);
    return TRUE;
}

}  // extern "C"
