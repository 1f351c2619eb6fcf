// What passes between hid.dll and a HID device file in the simulated Windows. As on Windows, hid.dll learns a
// device's capabilities by asking the HID class for the collection's "preparsed data", an opaque block that only
// the parsing functions read; the virtual HID devices answer these two requests. Simulation only: product code
// never sees this header.
#pragma once

#include "platform/win32.h"

namespace sim::os {

// The HID class's I/O controls (device type FILE_DEVICE_KEYBOARD, as on Windows).
inline constexpr DWORD kIoctlHidGetCollectionInformation = CTL_CODE(0x0000000B, 106, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr DWORD kIoctlHidGetCollectionDescriptor = CTL_CODE(0x0000000B, 100, METHOD_NEITHER, FILE_ANY_ACCESS);

struct HidCollectionInformation {
    ULONG DescriptorSize;  // bytes of the preparsed data
    BOOLEAN Polled;
    UCHAR Reserved1[1];
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};

// The simulation's preparsed data: a tag that the parser checks, then the capabilities.
inline constexpr DWORD kHidPreparsedTag = 0x50646948;  // "HidP"
struct HidPreparsedData {
    DWORD tag;
    HIDP_CAPS caps;
};

// The interface class of HID devices, as HidD_GetHidGuid reports it.
inline constexpr GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

}  // namespace sim::os
