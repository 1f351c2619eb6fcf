// Device files of the simulated Windows: CreateFileA on device-interface paths, overlapped DeviceIoControl,
// GetOverlappedResult and ksuser.dll's pin creation. Each call is handed to the installed virtual kernel
// (sim/os/virtual_kernel.h); without one, no device path exists.
#pragma once

#include "sim/os/ks_sim.h"
#include "sim/os/win32_types.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000

// While a request is in flight its record holds STATUS_PENDING in Internal; once it has ended, a status that is
// never STATUS_PENDING (0 for success, else one carrying the Win32 error). Only GetOverlappedResult and
// HasOverlappedIoCompleted read it.
#define STATUS_PENDING 0x00000103u

// What a request's record reports when its status is not one the device layer wrote.
#ifndef ERROR_GEN_FAILURE
#define ERROR_GEN_FAILURE 31L
#endif

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define HasOverlappedIoCompleted(lpOverlapped) \
    (__atomic_load_n(&(lpOverlapped)->Internal, __ATOMIC_ACQUIRE) != STATUS_PENDING)

extern "C" {
HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD bytesRead, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD bytesWritten, LPOVERLAPPED overlapped);
BOOL WINAPI CancelIo(HANDLE file);

// ksuser.dll. Product code reaches these only through LoadLibraryA / GetProcAddress, as on Windows.
DWORD WINAPI KsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin);
HRESULT WINAPI KsCreatePin2(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin);
}
