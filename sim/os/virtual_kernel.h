// The seam between the simulated Windows and whatever plays the hardware: the virtual devices, or a scripted
// stand-in that a test fills with answers. The device-facing calls of sim/os (CreateFileA, DeviceIoControl,
// SetupDi*, KsCreatePin) translate their arguments and results, and hand the work to the one installed kernel.
// Nothing here knows the driver; everything here is a request a real kernel would also see.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"
#include "sim/os/audio_graph.h"

namespace sim::os {

// How a request ended, or that it goes on: ERROR_IO_PENDING means the kernel keeps the request's IoCompletion
// and completes it later (from any thread).
struct IoAnswer {
    DWORD error = ERROR_SUCCESS;  // Win32 error; ERROR_MORE_DATA with `bytes` is how a size query answers
    DWORD bytes = 0;              // bytes returned
};

// The completion of one overlapped request. Copies refer to the same request; only the first Complete counts.
// The caller's OVERLAPPED and buffers must live until then, exactly as on Windows.
class IoCompletion {
public:
    IoCompletion() = default;
    IoCompletion(OVERLAPPED* overlapped, HANDLE event);
    // Writes the result into the caller's OVERLAPPED and signals its event.
    void Complete(DWORD error, DWORD bytes) const;
    bool Completed() const { return state_ && state_->done.load(); }

private:
    struct State {
        OVERLAPPED* overlapped = nullptr;
        HANDLE event = nullptr;
        std::atomic<bool> done{false};
    };
    std::shared_ptr<State> state_;
};

// One open file of the kernel (a filter, a pin, a HID device). The handle that CreateFileA or KsCreatePin gives
// out owns a reference; CloseHandle drops it. Requests a file does not support fail as Windows would.
class KernelFile {
public:
    virtual ~KernelFile() = default;
    // `in` and `out` are the caller's buffers, as METHOD_NEITHER requests pass them.
    virtual IoAnswer DeviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                                     const IoCompletion& completion);
    // A pin on this filter. `connect` is the KSPIN_CONNECT followed by its data format, `connectSize` bytes in
    // all. Returns a Win32 error; on success `pin` is the new pin's file.
    virtual DWORD CreatePin(const KSPIN_CONNECT* connect, DWORD connectSize, ACCESS_MASK access,
                            std::shared_ptr<KernelFile>& pin);
    virtual IoAnswer Read(void* buffer, DWORD size, const IoCompletion& completion);
    virtual IoAnswer Write(const void* buffer, DWORD size, const IoCompletion& completion);
    // CancelIo: ends every request that thread `threadId` issued on this file and that is still pending, with
    // ERROR_OPERATION_ABORTED, before returning. A file that never leaves requests pending has nothing to do.
    virtual void CancelRequests(DWORD threadId);
};

// One device interface as SetupAPI lists it.
struct DeviceInterface {
    GUID category{};
    std::string path;              // what CreateFileA opens
    std::string deviceInstanceId;  // the device the interface belongs to
    std::string referenceString;   // interfaces of one device with the same reference string are aliases
    DWORD flags = SPINT_ACTIVE;
    std::vector<std::pair<std::string, std::string>> registryValues;  // REG_SZ values of its registry key
};

class VirtualKernel {
public:
    virtual ~VirtualKernel() = default;
    // The interfaces of present devices in `category`, in the order the system reports them.
    virtual std::vector<DeviceInterface> Interfaces(const GUID& category) = 0;
    // Opens a device path; returns a Win32 error (ERROR_FILE_NOT_FOUND for an unknown path).
    virtual DWORD Open(const std::string& path, DWORD access, std::shared_ptr<KernelFile>& file) = 0;
    // A property of a device instance; false when the device does not have it.
    virtual bool DeviceProperty(const std::string& deviceInstanceId, const DEVPROPKEY& key, DEVPROPTYPE& type,
                                std::vector<BYTE>& value);
    // The system's audio devices as Core Audio lists them (sim/os/audio_graph.h); none by default.
    virtual std::vector<std::shared_ptr<AudioDevice>> AudioDevices();
};

// The kernel behind the device-facing calls; null (the start) means a machine without devices.
void InstallVirtualKernel(std::shared_ptr<VirtualKernel> kernel);
std::shared_ptr<VirtualKernel> InstalledVirtualKernel();

// ksuser.dll as older systems (and Wine) ship it, without KsCreatePin2. Takes effect for the next LoadLibraryA;
// the driver resolves its pin creation once per process.
void UseKsUserWithoutKsCreatePin2();

}  // namespace sim::os
