// Device files of the simulated Windows, handed to the installed virtual kernel. A device handle is one of the
// simulated kernel's, so CloseHandle (sim/os/kernel.cpp) closes it like any other.
#include "sim/os/device_io.h"

#include <mutex>

#include "sim/os/handles.h"
#include "sim/os/kernel.h"
#include "sim/os/sim_control.h"
#include "sim/os/virtual_kernel.h"

// The calls are the system's own names here; ksuser.dll's are registered with the simulated loader below.
#define DEVICE_CALL(name) name
#include "sim/os/device_io_calls.inc"

namespace sim::os {
namespace {

std::mutex& KernelLock() {
    static std::mutex lock;
    return lock;
}

std::shared_ptr<VirtualKernel>& Installed() {
    static std::shared_ptr<VirtualKernel> kernel;
    return kernel;
}

// What a device handle names: a reference to the kernel's file. Dropping the handle's reference is how the
// kernel learns that the file was closed.
class DeviceFileObject : public KernelObject {
public:
    explicit DeviceFileObject(std::shared_ptr<KernelFile> file) : file(std::move(file)) {}
    std::shared_ptr<KernelFile> file;
};

std::shared_ptr<KernelFile> FileOf(HANDLE handle) {
    auto object = LookupHandleAs<DeviceFileObject>(handle);
    return object ? object->file : nullptr;
}

HANDLE InsertFile(std::shared_ptr<KernelFile> file) {
    return InsertHandle(std::make_shared<DeviceFileObject>(std::move(file)));
}

Exports KsUserExports(bool withKsCreatePin2) {
    Exports exports{Export("KsCreatePin", &::KsCreatePin)};
    if (withKsCreatePin2) exports.push_back(Export("KsCreatePin2", &::KsCreatePin2));
    return exports;
}

const bool ksUserRegistered = RegisterSystemLibrary("ksuser.dll", KsUserExports(true));

}  // namespace

void InstallVirtualKernel(std::shared_ptr<VirtualKernel> kernel) {
    std::lock_guard<std::mutex> guard(KernelLock());
    Installed() = std::move(kernel);
}

std::shared_ptr<VirtualKernel> InstalledVirtualKernel() {
    std::lock_guard<std::mutex> guard(KernelLock());
    return Installed();
}

void UseKsUserWithoutKsCreatePin2() {
    SetSystemLibraryPresent("ksuser.dll", false);
    RegisterSystemLibrary("ksuser.dll", KsUserExports(false));
}

}  // namespace sim::os
