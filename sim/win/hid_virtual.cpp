// hid.dll of the test-only DLL: the capabilities come from the virtual device through the HID class's requests,
// so a device that does not answer them (or answers nonsense) has no preparsed data, as on Windows.
#include <cstdlib>
#include <cstring>

#include "sim/os/hid_class.h"
#include "sim/win/virtual_calls.h"

using namespace sim::os;

extern "C" {

void WINAPI TesselVirtual_HidD_GetHidGuid(LPGUID hidGuid) {
    if (hidGuid) *hidGuid = kHidInterfaceClass;
}

BOOLEAN WINAPI TesselVirtual_HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData) {
    if (!preparsedData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *preparsedData = nullptr;
    HidCollectionInformation info{};
    DWORD bytes = 0;
    if (!TesselVirtual_DeviceIoControl(device, kIoctlHidGetCollectionInformation, nullptr, 0, &info, sizeof info,
                                       &bytes, nullptr))
        return FALSE;
    if (bytes < sizeof info || info.DescriptorSize < sizeof(HidPreparsedData) || info.DescriptorSize > 0x10000) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    void* block = std::calloc(1, info.DescriptorSize);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (!TesselVirtual_DeviceIoControl(device, kIoctlHidGetCollectionDescriptor, nullptr, 0, block, info.DescriptorSize,
                                       &bytes, nullptr)) {
        std::free(block);
        return FALSE;
    }
    *preparsedData = static_cast<PHIDP_PREPARSED_DATA>(block);
    return TRUE;
}

BOOLEAN WINAPI TesselVirtual_HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) {
    if (!preparsedData) return FALSE;
    std::free(preparsedData);
    return TRUE;
}

NTSTATUS WINAPI TesselVirtual_HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) {
    if (!preparsedData || !capabilities) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    HidPreparsedData parsed;
    std::memcpy(&parsed, preparsedData, sizeof parsed);
    if (parsed.tag != kHidPreparsedTag) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *capabilities = parsed.caps;
    return HIDP_STATUS_SUCCESS;
}

}  // extern "C"
