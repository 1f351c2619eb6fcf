// Device files of the test-only Windows DLL: CreateFileA on device paths, DeviceIoControl, ReadFile, WriteFile,
// CancelIo, GetOverlappedResult and CloseHandle on the handles it gives out, and ksuser.dll's pin creation,
// all answered by the installed virtual kernel. The handles are the virtual kernel's own values, kept in a table
// of their own, so that a real handle (an event, a thread) passes straight to the system.
//
// Completions are real: IoCompletion writes the caller's OVERLAPPED and signals its event with SetEvent, from
// whichever virtual-device thread ends the request, and the driver waits on that event with the system's waits.
#include <cstring>
#include <map>
#include <mutex>

#include "sim/os/virtual_kernel.h"
#include "sim/win/virtual_calls.h"
#include "sim/win/virtual_machine.h"

namespace sim::os {
namespace {

// Windows keeps an NTSTATUS in OVERLAPPED::Internal. The virtual kernel answers with Win32 errors, so a failed
// request is stored as a customer-defined error status carrying the Win32 code: then no error can be mistaken
// for STATUS_PENDING (ERROR_NO_MORE_ITEMS is 0x103, the same number) and HasOverlappedIoCompleted stays true.
constexpr ULONG_PTR kStatusPending = 0x00000103;
constexpr ULONG_PTR kWin32ErrorStatus = 0xE0070000;

ULONG_PTR StatusOf(DWORD error) { return error == ERROR_SUCCESS ? 0 : (kWin32ErrorStatus | (error & 0xFFFF)); }
DWORD ErrorOf(ULONG_PTR status) {
    if (status == 0) return ERROR_SUCCESS;
    if ((status & 0xFFFF0000) == kWin32ErrorStatus) return static_cast<DWORD>(status & 0xFFFF);
    return ERROR_GEN_FAILURE;
}

// Virtual handles: odd values far above anything the system hands out (real handles are multiples of four),
// never reused, so a handle used after CloseHandle is reported invalid.
constexpr uintptr_t kHandleBase = 0x00007E5500000003ull;

struct HandleTable {
    std::mutex lock;
    uintptr_t next = kHandleBase;
    std::map<uintptr_t, std::shared_ptr<KernelFile>> files;
};

// Never destroyed: virtual-device threads may still complete requests while the process exits.
HandleTable& Table() {
    static auto* table = new HandleTable;
    return *table;
}

HANDLE InsertFile(std::shared_ptr<KernelFile> file) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    uintptr_t value = table.next;
    table.next += 4;
    table.files.emplace(value, std::move(file));
    return reinterpret_cast<HANDLE>(value);
}

bool IsVirtual(HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value >= kHandleBase && (value & 3) == 3;
}

std::shared_ptr<KernelFile> FileOf(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.files.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.files.end() ? nullptr : found->second;
}

// Windows lets a caller set the lowest bit of the event handle to keep a completion away from a completion
// port; the event itself is the handle without that bit.
HANDLE EventOf(const OVERLAPPED* overlapped) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1});
}

// One request on an overlapped device handle, as Windows runs it: the record is marked pending and its event
// reset before the device sees the request; a request that ends at once completes through the record too.
// Without a caller's record the request is waited for here, on an event of our own.
template <class Request>
BOOL RunRequest(LPOVERLAPPED overlapped, LPDWORD bytesReturned, Request request) {
    OVERLAPPED local{};
    const bool waitHere = overlapped == nullptr;
    if (waitHere) {
        local.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!local.hEvent) return FALSE;
        overlapped = &local;
    }
    HANDLE event = EventOf(overlapped);
    InterlockedExchange64(reinterpret_cast<volatile LONG64*>(&overlapped->Internal), LONG64{kStatusPending});
    overlapped->InternalHigh = 0;
    if (event) ResetEvent(event);

    IoCompletion completion(overlapped, event);
    IoAnswer answer = request(completion);
    if (answer.error == ERROR_IO_PENDING) {
        if (!waitHere) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        WaitForSingleObject(local.hEvent, INFINITE);
        answer.error = ErrorOf(static_cast<ULONG_PTR>(
            InterlockedCompareExchange64(reinterpret_cast<volatile LONG64*>(&local.Internal), 0, 0)));
        answer.bytes = static_cast<DWORD>(local.InternalHigh);
    } else {
        completion.Complete(answer.error, answer.bytes);
    }
    if (waitHere) ::CloseHandle(local.hEvent);
    if (bytesReturned) *bytesReturned = answer.bytes;
    if (answer.error != ERROR_SUCCESS) {
        SetLastError(answer.error);
        return FALSE;
    }
    return TRUE;
}

DWORD CreatePinOn(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
    auto file = FileOf(filter);
    if (!file) return ERROR_INVALID_HANDLE;
    if (!connect || !pin) return ERROR_INVALID_PARAMETER;
    // The data format follows the connect record; its FormatSize says how far the block goes.
    auto* format = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
    DWORD connectSize = sizeof(KSPIN_CONNECT) + format->FormatSize;
    std::shared_ptr<KernelFile> pinFile;
    DWORD error = file->CreatePin(connect, connectSize, access, pinFile);
    if (error != ERROR_SUCCESS) return error;
    if (!pinFile) return ERROR_INVALID_FUNCTION;
    *pin = InsertFile(std::move(pinFile));
    return ERROR_SUCCESS;
}

DWORD WINAPI VirtualKsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
    return CreatePinOn(filter, connect, access, pin);
}

HRESULT WINAPI VirtualKsCreatePin2(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
    DWORD error = CreatePinOn(filter, connect, access, pin);
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
}

std::mutex& KernelLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::shared_ptr<VirtualKernel>& Installed() {
    static auto* kernel = new std::shared_ptr<VirtualKernel>;
    return *kernel;
}

}  // namespace

IoCompletion::IoCompletion(OVERLAPPED* overlapped, HANDLE event) : state_(std::make_shared<State>()) {
    state_->overlapped = overlapped;
    state_->event = event;
}

void IoCompletion::Complete(DWORD error, DWORD bytes) const {
    if (!state_ || state_->done.exchange(true)) return;
    OVERLAPPED* overlapped = state_->overlapped;
    HANDLE event = state_->event;
    if (overlapped) {
        overlapped->InternalHigh = bytes;
        InterlockedExchange64(reinterpret_cast<volatile LONG64*>(&overlapped->Internal),
                              static_cast<LONG64>(StatusOf(error)));
    }
    // After this the caller may reuse its record; nothing of it is touched any more.
    if (event) SetEvent(event);
}

IoAnswer KernelFile::DeviceIoControl(DWORD, const void*, DWORD, void*, DWORD, const IoCompletion&) {
    return {ERROR_INVALID_FUNCTION, 0};
}
DWORD KernelFile::CreatePin(const KSPIN_CONNECT*, DWORD, ACCESS_MASK, std::shared_ptr<KernelFile>&) {
    return ERROR_INVALID_FUNCTION;
}
IoAnswer KernelFile::Read(void*, DWORD, const IoCompletion&) { return {ERROR_INVALID_FUNCTION, 0}; }
IoAnswer KernelFile::Write(const void*, DWORD, const IoCompletion&) { return {ERROR_INVALID_FUNCTION, 0}; }
void KernelFile::CancelRequests(DWORD) {}

bool VirtualKernel::DeviceProperty(const std::string&, const DEVPROPKEY&, DEVPROPTYPE&, std::vector<BYTE>&) {
    return false;
}
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

using namespace sim::os;

extern "C" {

HANDLE WINAPI TesselVirtual_CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                                        LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                        HANDLE templateFile) {
    // Device-interface paths ("\\?\...") are the virtual machine's; any other file is the system's.
    if (!fileName || std::strncmp(fileName, "\\\\?\\", 4) != 0)
        return ::CreateFileA(fileName, access, shareMode, attributes, disposition, flags, templateFile);
    auto kernel = InstalledVirtualKernel();
    if (!kernel || disposition != OPEN_EXISTING) {
        SetLastError(kernel ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<KernelFile> file;
    DWORD error = kernel->Open(fileName, access, file);
    if (error == ERROR_SUCCESS && !file) error = ERROR_FILE_NOT_FOUND;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return InsertFile(std::move(file));
}

BOOL WINAPI TesselVirtual_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                          LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    if (!IsVirtual(device)) return ::DeviceIoControl(device, code, in, inSize, out, outSize, bytesReturned, overlapped);
    auto file = FileOf(device);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return RunRequest(overlapped, bytesReturned, [&](const IoCompletion& completion) {
        return file->DeviceIoControl(code, in, inSize, out, outSize, completion);
    });
}

BOOL WINAPI TesselVirtual_GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                                              BOOL wait) {
    if (!IsVirtual(handle)) return ::GetOverlappedResult(handle, overlapped, bytesTransferred, wait);
    if (!overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto status = [&] {
        return static_cast<ULONG_PTR>(
            InterlockedCompareExchange64(reinterpret_cast<volatile LONG64*>(&overlapped->Internal), 0, 0));
    };
    if (status() == kStatusPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // Without an event Windows waits on the file handle itself; a virtual file has no waitable object,
        // so the record is watched instead.
        HANDLE event = EventOf(overlapped);
        if (event)
            WaitForSingleObject(event, INFINITE);
        else
            while (status() == kStatusPending) Sleep(1);
    }
    DWORD error = ErrorOf(status());
    if (bytesTransferred) *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI TesselVirtual_ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD bytesRead,
                                   LPOVERLAPPED overlapped) {
    if (!IsVirtual(handle)) return ::ReadFile(handle, buffer, size, bytesRead, overlapped);
    auto file = FileOf(handle);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!buffer && size) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    return RunRequest(overlapped, bytesRead,
                      [&](const IoCompletion& completion) { return file->Read(buffer, size, completion); });
}

BOOL WINAPI TesselVirtual_WriteFile(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD bytesWritten,
                                    LPOVERLAPPED overlapped) {
    if (!IsVirtual(handle)) return ::WriteFile(handle, buffer, size, bytesWritten, overlapped);
    auto file = FileOf(handle);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!buffer && size) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    return RunRequest(overlapped, bytesWritten,
                      [&](const IoCompletion& completion) { return file->Write(buffer, size, completion); });
}

BOOL WINAPI TesselVirtual_CancelIo(HANDLE handle) {
    if (!IsVirtual(handle)) return ::CancelIo(handle);
    auto file = FileOf(handle);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    file->CancelRequests(GetCurrentThreadId());
    return TRUE;
}

BOOL WINAPI TesselVirtual_CloseHandle(HANDLE handle) {
    if (!IsVirtual(handle)) return ::CloseHandle(handle);
    std::shared_ptr<KernelFile> file;
    {
        HandleTable& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.files.find(reinterpret_cast<uintptr_t>(handle));
        if (found == table.files.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        file = std::move(found->second);
        table.files.erase(found);
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
