// Device files of the simulated Windows, handed to the installed virtual kernel.
#include "sim/os/device_io.h"

#include <mutex>

#include "sim/os/handles.h"
#include "sim/os/kernel.h"
#include "sim/os/sim_control.h"
#include "sim/os/virtual_kernel.h"

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

// Windows lets a caller set the lowest bit of the event handle to keep a completion away from a completion
// port; the event itself is the handle without that bit.
HANDLE EventOf(const OVERLAPPED* overlapped) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1});
}

// Runs one request on a file the way Windows does for an overlapped handle: the record is marked pending and
// its event reset before the kernel sees the request; a request that ends at once is completed through the
// record as well. Without a caller's record the request is waited for here.
template <class Request>
BOOL RunRequest(LPOVERLAPPED overlapped, LPDWORD bytesReturned, Request request) {
    OVERLAPPED local{};
    bool waitHere = overlapped == nullptr;
    if (waitHere) {
        local.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        overlapped = &local;
    }
    HANDLE event = EventOf(overlapped);
    __atomic_store_n(&overlapped->Internal, ULONG_PTR{STATUS_PENDING}, __ATOMIC_RELEASE);
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
        answer.error = static_cast<DWORD>(__atomic_load_n(&local.Internal, __ATOMIC_ACQUIRE));
        answer.bytes = static_cast<DWORD>(local.InternalHigh);
    } else {
        completion.Complete(answer.error, answer.bytes);
    }
    if (waitHere) CloseHandle(local.hEvent);
    if (bytesReturned) *bytesReturned = answer.bytes;
    if (answer.error != ERROR_SUCCESS) {
        SetLastError(answer.error);
        return FALSE;
    }
    return TRUE;
}

HANDLE InsertFile(std::shared_ptr<KernelFile> file) {
    return InsertHandle(std::make_shared<DeviceFileObject>(std::move(file)));
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

Exports KsUserExports(bool withKsCreatePin2) {
    Exports exports{Export("KsCreatePin", &::KsCreatePin)};
    if (withKsCreatePin2) exports.push_back(Export("KsCreatePin2", &::KsCreatePin2));
    return exports;
}

const bool ksUserRegistered = RegisterSystemLibrary("ksuser.dll", KsUserExports(true));

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
        __atomic_store_n(&overlapped->Internal, ULONG_PTR{error}, __ATOMIC_RELEASE);
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

using namespace sim::os;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                          HANDLE) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto kernel = InstalledVirtualKernel();
    // Only existing device files are simulated: there is no file system behind this.
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

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    auto file = FileOf(device);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return RunRequest(overlapped, bytesReturned, [&](const IoCompletion& completion) {
        return file->DeviceIoControl(code, in, inSize, out, outSize, completion);
    });
}

BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
    if (!overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!HasOverlappedIoCompleted(overlapped)) {
        HANDLE event = EventOf(overlapped);
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // A request without an event can only be watched through its record.
        if (event)
            WaitForSingleObject(event, INFINITE);
        else
            while (!HasOverlappedIoCompleted(overlapped)) Sleep(1);
    }
    DWORD error = static_cast<DWORD>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
    if (bytesTransferred) *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
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

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
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

BOOL WINAPI CancelIo(HANDLE handle) {
    auto file = FileOf(handle);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    file->CancelRequests(GetCurrentThreadId());
    return TRUE;
}

DWORD WINAPI KsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
    return CreatePinOn(filter, connect, access, pin);
}

HRESULT WINAPI KsCreatePin2(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
    DWORD error = CreatePinOn(filter, connect, access, pin);
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
}

}  // extern "C"
