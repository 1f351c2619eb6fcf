// Modules, strings and message boxes of the simulated Windows: the loader (system libraries and the modules
// linked into this process), the code-page conversions, CharLowerA and MessageBoxA.
#pragma once

#include "sim/os/win32_types.h"

#define MAX_PATH 260
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#define CP_ACP 0
#define CP_UTF8 65001

#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ICONERROR 0x00000010L
#define MB_ICONWARNING 0x00000030L
#define MB_ICONINFORMATION 0x00000040L
#define MB_SETFOREGROUND 0x00010000L
#define IDOK 1
#define IDCANCEL 2

typedef BOOL(WINAPI* DllEntryPoint)(HINSTANCE instance, DWORD reason, LPVOID reserved);

extern "C" {
HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
BOOL WINAPI FreeLibrary(HMODULE module);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
BOOL WINAPI DisableThreadLibraryCalls(HMODULE module);
LPSTR WINAPI CharLowerA(LPSTR text);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR narrow, int narrowSize,
                               LPCSTR defaultChar, LPBOOL usedDefault);
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow, int narrowCount, LPWSTR wide, int wideSize);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
}
