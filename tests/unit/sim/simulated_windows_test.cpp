// The simulated Windows behaves as the Windows functions the driver relies on: if it were kinder than Windows,
// driver faults would hide here.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/win32.h"
#include "sim/os/sim_control.h"

namespace {

DWORD WINAPI SetAndExit(LPVOID parameter) {
    SetEvent(static_cast<HANDLE>(parameter));
    return 42;
}

TEST(SimulatedKernel, WaitsHonourResetModesTimeoutsAndBadHandles) {
    HANDLE autoEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE manualEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[] = {autoEvent, manualEvent};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(autoEvent, 20), WAIT_TIMEOUT);

    SetEvent(manualEvent);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(manualEvent, 0), WAIT_OBJECT_0) << "a manual-reset event stays signalled";
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
    SetEvent(autoEvent);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0) << "the lowest signalled index wins";
    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT) << "an auto-reset event is consumed by one wait";
    ResetEvent(manualEvent);
    EXPECT_EQ(WaitForSingleObject(manualEvent, 0), WAIT_TIMEOUT);

    CloseHandle(autoEvent);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_FAILED) << "a closed handle is not reused";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(autoEvent));
    EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
    CloseHandle(manualEvent);
}

TEST(SimulatedKernel, ThreadsSignalTheirHandleWithTheirExitCode) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, SetAndExit, event, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    HANDLE waits[] = {event, thread};
    EXPECT_EQ(WaitForMultipleObjects(2, waits, TRUE, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(SimulatedKernel, CriticalSectionsAreRecursiveAndTimeRunsAtTenMegahertz) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);

    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10000000);
    QueryPerformanceCounter(&before);
    DWORD startMs = timeGetTime();
    Sleep(20);
    QueryPerformanceCounter(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, 200000);  // at least the 20 ms slept
    EXPECT_GE(timeGetTime() - startMs, 20u);
}

TEST(SimulatedRegistry, KeysBehaveAsOnWindows) {
    HKEY key, child;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Test\\Parent", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyA(key, "b-child", &child), ERROR_SUCCESS);
    RegCloseKey(child);
    ASSERT_EQ(RegCreateKeyA(key, "A-child", &child), ERROR_SUCCESS);
    RegCloseKey(child);

    char name[8];
    EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "A-child") << "subkeys enumerate in case-insensitive order";
    EXPECT_EQ(RegEnumKeyA(key, 2, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(key, 0, name, 4), ERROR_MORE_DATA);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\TEST\\parent\\a-CHILD", 0, KEY_READ, &child), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "SOFTWARE\\Test\\Parent"), ERROR_ACCESS_DENIED)
        << "a key with subkeys cannot be deleted";
    EXPECT_EQ(RegDeleteKeyA(key, "A-child"), ERROR_SUCCESS);
    DWORD value = 1;
    EXPECT_EQ(RegSetValueExA(child, "v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4), ERROR_KEY_DELETED);
    RegCloseKey(child);

    const char text[] = "hello";
    ASSERT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 5), ERROR_SUCCESS);
    char data[8] = {};
    DWORD size = 3, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "text", nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(data, "") << "nothing is written into a buffer that is too small";
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_STREQ(data, "hello");
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST(SimulatedRegistry, AFileBackedRegistryIsReadByTheNextRun) {
    std::string path = testing::TempDir() + "tessel-registry-" + std::to_string(GetCurrentProcessId());
    std::filesystem::remove(path);
    sim::os::UseRegistryFile(path);
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Korvel\\Odd \"name\"\\x", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::string bytes("line\nbreak\0zero", 15);
    RegSetValueExA(key, "multi word", 0, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.data()), (DWORD)bytes.size());
    RegSetValueExA(key, nullptr, 0, REG_SZ, nullptr, 0);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Volatile", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);

    sim::os::UseRegistryFile(path);  // a new run
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Volatile", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
        << "volatile keys do not survive";
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Korvel\\Odd \"name\"\\x", 0, KEY_READ, &key), ERROR_SUCCESS);
    char data[32];
    DWORD size = sizeof data, type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "multi word", nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(data, size), bytes);
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    RegCloseKey(key);
    sim::os::UseMemoryRegistry();
    std::filesystem::remove(path);
}

TEST(SimulatedCom, ApartmentsAndClassIdStrings) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(sim::os::ApartmentInitCount(), 2);
    CoUninitialize();
    CoUninitialize();
    CoUninitialize();  // unbalanced: ignored
    EXPECT_EQ(sim::os::ApartmentInitCount(), 0);
    void* object = nullptr;
    const CLSID anyClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(CoCreateInstance(anyClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), CO_E_NOTINITIALIZED);

    LPOLESTR text = nullptr;
    ASSERT_EQ(StringFromCLSID(anyClass, &text), S_OK);
    char narrow[40];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr), 39);
    EXPECT_STREQ(narrow, "{00000001-0002-0003-0405-060708090A0B}");
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, 38, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    CLSID parsed{};
    EXPECT_EQ(CLSIDFromString(text, &parsed), S_OK);
    EXPECT_EQ(parsed, anyClass);
    text[5] = u'x';
    EXPECT_EQ(CLSIDFromString(text, &parsed), CO_E_CLASSSTRING);
    CoTaskMemFree(text);
}

TEST(SimulatedLoader, ModulesAreFoundByNameOnlyOnceLoaded) {
    EXPECT_EQ(GetModuleHandleA("Tessel-ASIO-x64"), nullptr);
    HMODULE module = LoadLibraryA("tessel-asio-x64.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetModuleHandleA("Tessel-ASIO-x64"), module) << "the .dll extension is implied";
    char path[16];
    EXPECT_EQ(GetModuleFileNameA(module, path, sizeof path), sizeof path) << "a truncated path reports the size";
    EXPECT_EQ(path[sizeof path - 1], 0);
    EXPECT_NE(GetProcAddress(module, "DllGetClassObject"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
    FreeLibrary(module);
    EXPECT_EQ(GetModuleHandleA("Tessel-ASIO-x64"), nullptr);
    EXPECT_EQ(LoadLibraryA("nosuch.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

}  // namespace
