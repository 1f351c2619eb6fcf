// Device files of the test-only Windows DLL: CreateFileA on device paths, DeviceIoControl, ReadFile, WriteFile,
// CancelIo, GetOverlappedResult and CloseHandle on the handles it gives out, and ksuser.dll's pin creation,
// all answered by the installed virtual kernel. The handles are the virtual kernel's own values, kept in a table
// of their own, so that a real handle (an event, a thread) passes straight to the system.
//
// Completions are real: IoCompletion writes the caller's OVERLAPPED and signals its event with SetEvent, from
// whichever virtual-device thread ends the request, and the driver waits on that event with the system's waits.
#include <cstring>
#include <mutex>

#include "sim/os/virtual_kernel.h"
#include "sim/win/handle_table.h"
#include "sim/win/virtual_calls.h"
#include "sim/win/virtual_machine.h"

// The device half of each call is defined as Virtual<name>; the exported TesselVirtual_<name> below hands a
// call to it only for a device path or a virtual handle, and to the system otherwise.
#define DEVICE_CALL(name) Virtual##name
#include "sim/os/device_io_calls.inc"

namespace sim::os {
namespace {

// Device handles end in binary 11, the sets' (setupapi_virtual.cpp) in 01, so IsVirtual never takes a set for a
// file.
constexpr uintptr_t kHandleBase = 0x00007E5500000003ull;

// Never destroyed: virtual-device threads may still complete requests while the process exits.
sim::win::HandleTable<KernelFile>& Table() {
    static auto* table = new sim::win::HandleTable<KernelFile>(kHandleBase);
    return *table;
}

HANDLE InsertFile(std::shared_ptr<KernelFile> file) { return Table().Insert(std::move(file)); }

bool IsVirtual(HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value >= kHandleBase && (value & 3) == 3;
}

std::shared_ptr<KernelFile> FileOf(HANDLE handle) { return Table().Find(handle); }

std::mutex& KernelLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::shared_ptr<VirtualKernel>& Installed() {
    static auto* kernel = new std::shared_ptr<VirtualKernel>;
    return *kernel;
}

}  // namespace

std::vector<std::shared_ptr<AudioDevice>> VirtualKernel::AudioDevices() { return {}; }

void InstallVirtualKernel(std::shared_ptr<VirtualKernel> kernel) {
    std::lock_guard<std::mutex> guard(KernelLock());
    Installed() = std::move(kernel);
}

// The machine is built on first use, from the configuration the process was started with.
std::shared_ptr<VirtualKernel> InstalledVirtualKernel() {
    sim::win::EnsureVirtualMachine();
    std::lock_guard<std::mutex> guard(KernelLock());
    return Installed();
}

// The loader's answer decides here: ksuser.dll is the system's, and whether it exports KsCreatePin2 is its say.
void UseKsUserWithoutKsCreatePin2() {}

// Core Audio needs no registration here: the enumerator is reached through CoCreateInstance's redirection.
void RegisterCoreAudio() {}

}  // namespace sim::os

extern "C" {

HANDLE WINAPI TesselVirtual_CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                                        LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                        HANDLE templateFile) {
    // Device-interface paths ("\\?\...") are the virtual machine's; any other file is the system's.
    if (!fileName || std::strncmp(fileName, "\\\\?\\", 4) != 0)
        return ::CreateFileA(fileName, access, shareMode, attributes, disposition, flags, templateFile);
    return VirtualCreateFileA(fileName, access, shareMode, attributes, disposition, flags, templateFile);
}

BOOL WINAPI TesselVirtual_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                          LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    if (!IsVirtual(device)) return ::DeviceIoControl(device, code, in, inSize, out, outSize, bytesReturned, overlapped);
    return VirtualDeviceIoControl(device, code, in, inSize, out, outSize, bytesReturned, overlapped);
}

BOOL WINAPI TesselVirtual_GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                                              BOOL wait) {
    if (!IsVirtual(handle)) return ::GetOverlappedResult(handle, overlapped, bytesTransferred, wait);
    return VirtualGetOverlappedResult(handle, overlapped, bytesTransferred, wait);
}

BOOL WINAPI TesselVirtual_ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD bytesRead,
                                   LPOVERLAPPED overlapped) {
    if (!IsVirtual(handle)) return ::ReadFile(handle, buffer, size, bytesRead, overlapped);
    return VirtualReadFile(handle, buffer, size, bytesRead, overlapped);
}

BOOL WINAPI TesselVirtual_WriteFile(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD bytesWritten,
                                    LPOVERLAPPED overlapped) {
    if (!IsVirtual(handle)) return ::WriteFile(handle, buffer, size, bytesWritten, overlapped);
    return VirtualWriteFile(handle, buffer, size, bytesWritten, overlapped);
}

BOOL WINAPI TesselVirtual_CancelIo(HANDLE handle) {
    if (!IsVirtual(handle)) return ::CancelIo(handle);
    return VirtualCancelIo(handle);
}

BOOL WINAPI TesselVirtual_CloseHandle(HANDLE handle) {
    if (!IsVirtual(handle)) return ::CloseHandle(handle);
    std::shared_ptr<KernelFile> file = Table().Take(handle);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The file's last reference may go here, outside the table's lock: closing a pin stops its device thread.
    file.reset();
    return TRUE;
}

// ksuser.dll stays the system's module; only its pin creation is the virtual kernel's, and only where the
// system's ksuser.dll exports it (Wine's has no KsCreatePin2, so the driver's fallback runs as it would there).
FARPROC WINAPI TesselVirtual_GetProcAddress(HMODULE module, LPCSTR name) {
    FARPROC real = ::GetProcAddress(module, name);
    if (!real || !module || module != GetModuleHandleA("ksuser.dll") || reinterpret_cast<uintptr_t>(name) <= 0xFFFF)
        return real;
    if (std::strcmp(name, "KsCreatePin") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&VirtualKsCreatePin));
    if (std::strcmp(name, "KsCreatePin2") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&VirtualKsCreatePin2));
    return real;
}

// The test-only DLL has a file name of its own, so that it can never be mistaken for the product; where the
// product looks itself up by the product's name (to register its path), it is this module.
HMODULE WINAPI TesselVirtual_GetModuleHandleA(LPCSTR name) {
    if (name && (_stricmp(name, "Tessel-ASIO-x64") == 0 || _stricmp(name, "Tessel-ASIO-x64.dll") == 0)) {
        HMODULE self = nullptr;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&TesselVirtual_GetModuleHandleA), &self);
        return self;
    }
    return ::GetModuleHandleA(name);
}

}  // extern "C"
