// The device-facing calls of the test-only Windows DLL: the same signatures as the system's, answered by the
// virtual hardware. redirect.h points the product's calls here; everything else stays the system's own.
#pragma once

#include "platform/win32.h"

extern "C" {
HANDLE WINAPI TesselVirtual_CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                                        LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                        HANDLE templateFile);
BOOL WINAPI TesselVirtual_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                          LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL WINAPI TesselVirtual_GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                                              BOOL wait);
BOOL WINAPI TesselVirtual_ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD bytesRead, LPOVERLAPPED overlapped);
BOOL WINAPI TesselVirtual_WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD bytesWritten,
                                    LPOVERLAPPED overlapped);
BOOL WINAPI TesselVirtual_CancelIo(HANDLE file);
BOOL WINAPI TesselVirtual_CloseHandle(HANDLE handle);
FARPROC WINAPI TesselVirtual_GetProcAddress(HMODULE module, LPCSTR name);
HMODULE WINAPI TesselVirtual_GetModuleHandleA(LPCSTR name);

HDEVINFO WINAPI TesselVirtual_SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL WINAPI TesselVirtual_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                                      DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL WINAPI TesselVirtual_SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device);
HKEY WINAPI TesselVirtual_SetupDiOpenDeviceInterfaceRegKey(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                           DWORD reserved, REGSAM access);
BOOL WINAPI TesselVirtual_SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                                           PDWORD requiredSize, PSP_DEVINFO_DATA device);
BOOL WINAPI TesselVirtual_SetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA device, const DEVPROPKEY* key,
                                                    DEVPROPTYPE* type, PBYTE buffer, DWORD bufferSize,
                                                    PDWORD requiredSize, DWORD flags);
BOOL WINAPI TesselVirtual_SetupDiGetDeviceInterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                         const GUID* aliasClass, PSP_DEVICE_INTERFACE_DATA alias);
BOOL WINAPI TesselVirtual_SetupDiDestroyDeviceInfoList(HDEVINFO set);

void WINAPI TesselVirtual_HidD_GetHidGuid(LPGUID hidGuid);
BOOLEAN WINAPI TesselVirtual_HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData);
BOOLEAN WINAPI TesselVirtual_HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData);
NTSTATUS WINAPI TesselVirtual_HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities);

HRESULT WINAPI TesselVirtual_CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                              LPVOID* object);
}
