// hid.dll of the simulated Windows. The capabilities come from the device through the HID class's requests, so a
// device that does not answer them (or answers nonsense) has no preparsed data, as on Windows.
#include "sim/os/hid_sim.h"

#include <cstdlib>
#include <cstring>

#include "sim/os/hid_class.h"
#include "sim/os/kernel.h"

using namespace sim::os;

extern "C" {

void WINAPI HidD_GetHidGuid(LPGUID hidGuid) {
    if (hidGuid) *hidGuid = kHidInterfaceClass;
}

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData) {
    if (!preparsedData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *preparsedData = nullptr;
    HidCollectionInformation info{};
    DWORD bytes = 0;
    if (!DeviceIoControl(device, kIoctlHidGetCollectionInformation, nullptr, 0, &info, sizeof info, &bytes, nullptr))
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
    if (!DeviceIoControl(device, kIoctlHidGetCollectionDescriptor, nullptr, 0, block, info.DescriptorSize, &bytes,
                         nullptr)) {
        std::free(block);
        return FALSE;
    }
    *preparsedData = static_cast<PHIDP_PREPARSED_DATA>(block);
    return TRUE;
}

BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) {
    if (!preparsedData) return FALSE;
    std::free(preparsedData);
    return TRUE;
}

NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) {
    if (!preparsedData || !capabilities) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    HidPreparsedData parsed;
    std::memcpy(&parsed, preparsedData, sizeof parsed);
    if (parsed.tag != kHidPreparsedTag) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *capabilities = parsed.caps;
    return HIDP_STATUS_SUCCESS;
}

}  // extern "C"
