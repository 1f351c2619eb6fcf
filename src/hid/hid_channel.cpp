#include "hid/hid_channel.h"

#include <cstring>
#include <vector>

namespace {

// The property type without its modifier bits (DEVPROP_MASK_TYPE).
constexpr DEVPROPTYPE kPropertyTypeMask = 0x00000FFF;
// Room for any device property the walk reads; a container ID needs 16 bytes of it.
constexpr DWORD kPropertyBufferBytes = 2048;
// An interface detail beyond this is not a device path.
constexpr DWORD kMaxDetailBytes = 0x10000;

bool Present(HANDLE handle) { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }

bool IsAllZero(const GUID& id) {
    static constexpr GUID zero{};
    return std::memcmp(&id, &zero, sizeof id) == 0;
}

bool Duplicate(HANDLE source, HANDLE& target) {
    target = INVALID_HANDLE_VALUE;
    if (!Present(source)) return true;
    HANDLE process = GetCurrentProcess();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(process, source, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) return false;
    target = copy;
    return true;
}

// Member index of the first device in `set` whose base container ID is `containerId`.
bool FindDevice(HDEVINFO set, const GUID& containerId, SP_DEVINFO_DATA& device) {
    for (DWORD index = 0;; ++index) {
        device = {};
        device.cbSize = sizeof device;
        if (!SetupDiEnumDeviceInfo(set, index, &device)) return false;
        alignas(8) BYTE value[kPropertyBufferBytes];
        DEVPROPTYPE type = 0;
        DWORD size = 0;
        if (SetupDiGetDevicePropertyW(set, &device, &DEVPKEY_Device_BaseContainerId, &type, value, sizeof value, &size,
                                      0) &&
            (type & kPropertyTypeMask) == DEVPROP_TYPE_GUID && size >= sizeof(GUID) &&
            std::memcmp(value, &containerId, sizeof(GUID)) == 0)
            return true;
    }
}

}  // namespace

HidChannel::HidChannel() : file(INVALID_HANDLE_VALUE), overlapped{}, inputReportLength(0), outputReportLength(0) {
    overlapped.hEvent = INVALID_HANDLE_VALUE;
}

HidChannel::HidChannel(const HidChannel& other) : HidChannel() { *this = other; }

HidChannel& HidChannel::operator=(const HidChannel& other) {
    if (this == &other) return *this;
    Close();
    HANDLE fileCopy = INVALID_HANDLE_VALUE;
    HANDLE eventCopy = INVALID_HANDLE_VALUE;
    // Half a channel (a file without its event) could not wait for any transfer: both or neither.
    if (!Duplicate(other.file, fileCopy) || !Duplicate(other.overlapped.hEvent, eventCopy)) {
        if (Present(fileCopy)) CloseHandle(fileCopy);
        if (Present(eventCopy)) CloseHandle(eventCopy);
        return *this;
    }
    file = fileCopy;
    overlapped = {};
    overlapped.hEvent = eventCopy;
    path = other.path;
    inputReportLength = other.inputReportLength;
    outputReportLength = other.outputReportLength;
    return *this;
}

HidChannel::~HidChannel() { Close(); }

bool HidChannel::IsOpen() const { return Present(file); }

void HidChannel::Close() {
    if (Present(file)) {
        CancelIo(file);
        CloseHandle(file);
    }
    if (Present(overlapped.hEvent)) CloseHandle(overlapped.hEvent);
    file = INVALID_HANDLE_VALUE;
    overlapped = {};
    overlapped.hEvent = INVALID_HANDLE_VALUE;
    path.clear();
}

bool HidChannel::Open(const GUID& containerId) {
    // A device without a container ID shares it with nothing; SetupAPI need not be asked.
    if (IsAllZero(containerId)) return false;
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    HDEVINFO set = SetupDiGetClassDevsA(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;

    bool opened = false;
    SP_DEVINFO_DATA device;
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    DWORD detailBytes = 0;
    // The device's own HID interface: asked for by device, so that a device with more than one interface in the
    // set cannot shift the count onto another device's interface.
    if (FindDevice(set, containerId, device) &&
        SetupDiEnumDeviceInterfaces(set, &device, &hidClass, 0, &interfaceData)) {
        SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &detailBytes, nullptr);
        if (detailBytes > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) && detailBytes <= kMaxDetailBytes) {
            // Zeroed, 8-byte aligned, one byte longer than asked so that the path is terminated in any case.
            std::vector<ULONGLONG> storage(detailBytes / 8 + 1, 0);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, detailBytes, nullptr, nullptr)) {
                HidChannel opening;
                opening.path = detail->DevicePath;
                opening.file =
                    CreateFileA(opening.path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
                if (opening.IsOpen()) {
                    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
                    if (event) {
                        opening.overlapped.hEvent = event;
                        PHIDP_PREPARSED_DATA preparsed = nullptr;
                        if (HidD_GetPreparsedData(opening.file, &preparsed)) {
                            HIDP_CAPS caps{};
                            if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
                                // A longer input report would not fit the report buffer; reading it through a
                                // buffer of this size fails at the device instead of overflowing here.
                                opening.inputReportLength = caps.InputReportByteLength < kReportBufferBytes
                                                                ? caps.InputReportByteLength
                                                                : kReportBufferBytes;
                                opening.outputReportLength = caps.OutputReportByteLength;
                            }
                            HidD_FreePreparsedData(preparsed);
                        }
                        *this = opening;
                        opened = IsOpen();
                    }
                }
                // `opening` closes its own handles here; this channel holds duplicates.
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return opened;
}

bool HidChannel::Transfer(bool write, BYTE* buffer, DWORD bytes) {
    if (!IsOpen()) return false;
    BOOL done = write ? WriteFile(file, buffer, bytes, nullptr, &overlapped)
                      : ReadFile(file, buffer, bytes, nullptr, &overlapped);
    if (done) return true;
    DWORD error = GetLastError();
    DWORD transferred = 0;
    if (error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, kTransferTimeoutMs) == WAIT_OBJECT_0)
            // The event only says that the transfer ended; the record says whether it succeeded.
            return GetOverlappedResult(file, &overlapped, &transferred, FALSE) != FALSE;
        // Not in time (or the wait itself failed): take the request back and let it end before returning, so
        // that the device writes neither into the buffer nor into the record once the caller has moved on.
        CancelIo(file);
        GetOverlappedResult(file, &overlapped, &transferred, TRUE);
        return false;
    }
    if (error == ERROR_INVALID_USER_BUFFER) CancelIo(file);
    return false;
}

bool HidChannel::WriteReport(const BYTE* payload, BYTE length, BYTE reportId) {
    BYTE buffer[kReportBufferBytes] = {};
    buffer[0] = reportId;
    if (length) std::memcpy(buffer + 1, payload, length);
    // The report goes out at the given length; the device's output report length is not imposed on it.
    return Transfer(true, buffer, DWORD{length} + 1);
}

bool HidChannel::ReadReport(BYTE* payload, BYTE length, BYTE reportId) {
    BYTE buffer[kReportBufferBytes] = {};
    if (!Transfer(false, buffer, inputReportLength)) return false;
    if (buffer[0] != reportId) return false;
    if (length) std::memcpy(payload, buffer + 1, length);
    return true;
}
