// Forced into every C++ source of the test-only DLL (and of nothing else): after the system headers have
// declared the real functions, the product's device-facing calls are renamed to the virtual hardware's. The
// product's sources stay exactly as the product DLL compiles them.
#pragma once

#include "platform/win32.h"
#include "sim/win/virtual_calls.h"

#define CreateFileA TesselVirtual_CreateFileA
#define DeviceIoControl TesselVirtual_DeviceIoControl
#define GetOverlappedResult TesselVirtual_GetOverlappedResult
#define ReadFile TesselVirtual_ReadFile
#define WriteFile TesselVirtual_WriteFile
#define CancelIo TesselVirtual_CancelIo
#define CloseHandle TesselVirtual_CloseHandle
#define GetProcAddress TesselVirtual_GetProcAddress
#define GetModuleHandleA TesselVirtual_GetModuleHandleA

#define SetupDiGetClassDevsA TesselVirtual_SetupDiGetClassDevsA
#define SetupDiEnumDeviceInterfaces TesselVirtual_SetupDiEnumDeviceInterfaces
#define SetupDiEnumDeviceInfo TesselVirtual_SetupDiEnumDeviceInfo
#define SetupDiOpenDeviceInterfaceRegKey TesselVirtual_SetupDiOpenDeviceInterfaceRegKey
#define SetupDiGetDeviceInterfaceDetailA TesselVirtual_SetupDiGetDeviceInterfaceDetailA
#define SetupDiGetDevicePropertyW TesselVirtual_SetupDiGetDevicePropertyW
#define SetupDiGetDeviceInterfaceAlias TesselVirtual_SetupDiGetDeviceInterfaceAlias
#define SetupDiDestroyDeviceInfoList TesselVirtual_SetupDiDestroyDeviceInfoList

#define HidD_GetHidGuid TesselVirtual_HidD_GetHidGuid
#define HidD_GetPreparsedData TesselVirtual_HidD_GetPreparsedData
#define HidD_FreePreparsedData TesselVirtual_HidD_FreePreparsedData
#define HidP_GetCaps TesselVirtual_HidP_GetCaps

#define CoCreateInstance TesselVirtual_CoCreateInstance
