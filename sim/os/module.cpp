// The simulated loader and the small string and user-interface functions that go with it.
#include "sim/os/module.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "sim/os/kernel.h"
#include "sim/os/sim_control.h"

namespace sim::os {
namespace {

struct Module {
    std::string path;  // full Windows path
    DllEntryPoint entry = nullptr;
    Exports exports;
    bool system = false;
    bool present = true;
    int loadCount = 0;
};

struct Loader {
    std::recursive_mutex lock;
    std::vector<std::unique_ptr<Module>> modules;
    std::vector<MessageBoxRecord> messageBoxes;
};

Loader& TheLoader() {
    static auto* loader = new Loader;  // never destroyed: threads may still use it while the process exits
    return *loader;
}

std::string FileNameOf(const std::string& path) {
    auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A bare module name without an extension means "name.dll", as LoadLibrary and GetModuleHandle read it.
std::string WithExtension(std::string name) {
    if (FileNameOf(name).find('.') == std::string::npos) name += ".dll";
    return name;
}

Module* Find(const std::string& nameOrPath) {
    std::string wanted = WithExtension(nameOrPath);
    bool byPath = wanted.find_first_of("\\/") != std::string::npos;
    for (auto& module : TheLoader().modules) {
        if (!module->present) continue;
        const std::string& candidate = byPath ? module->path : FileNameOf(module->path);
        if (strcasecmp(candidate.c_str(), wanted.c_str()) == 0) return module.get();
    }
    return nullptr;
}

Module* FromHandle(HMODULE handle) {
    for (auto& module : TheLoader().modules)
        if (reinterpret_cast<HMODULE>(module.get()) == handle) return module.get();
    return nullptr;
}

// Multimedia class scheduler: accepted without effect.
HANDLE WINAPI AvSetMmThreadCharacteristicsA(LPCSTR task, LPDWORD index) {
    if (!task || !index) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    *index = 1;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xA5A0));
}
BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE task) { return task != nullptr; }
BOOL WINAPI AvSetMmThreadPriority(HANDLE task, int) { return task != nullptr; }

const bool avrtRegistered =
    RegisterSystemLibrary("avrt.dll", {Export("AvSetMmThreadCharacteristicsA", &AvSetMmThreadCharacteristicsA),
                                       Export("AvRevertMmThreadCharacteristics", &AvRevertMmThreadCharacteristics),
                                       Export("AvSetMmThreadPriority", &AvSetMmThreadPriority)});

}  // namespace

bool LinkModule(const std::string& path, DllEntryPoint entry, const Exports& exports) {
    auto& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    auto module = std::make_unique<Module>();
    module->path = path;
    module->entry = entry;
    module->exports = exports;
    loader.modules.push_back(std::move(module));
    return true;
}

void SetLinkedModulePath(const std::string& fileName, const std::string& path) {
    std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
    if (Module* module = Find(fileName)) module->path = path;
}

std::string LinkedModulePath(const std::string& fileName) {
    std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
    Module* module = Find(fileName);
    return module ? module->path : std::string();
}

bool RegisterSystemLibrary(const std::string& fileName, const Exports& exports) {
    auto& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    auto module = std::make_unique<Module>();
    module->path = "C:\\Windows\\System32\\" + fileName;
    module->exports = exports;
    module->system = true;
    loader.modules.push_back(std::move(module));
    return true;
}

void SetSystemLibraryPresent(const std::string& fileName, bool present) {
    std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
    for (auto& module : TheLoader().modules)
        if (module->system && strcasecmp(FileNameOf(module->path).c_str(), fileName.c_str()) == 0)
            module->present = present;
}

std::vector<MessageBoxRecord> MessageBoxes() {
    std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
    return TheLoader().messageBoxes;
}

void ClearMessageBoxes() {
    std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
    TheLoader().messageBoxes.clear();
}

void DebugOutput(const char* text) { std::fputs(text, stderr); }

}  // namespace sim::os

using namespace sim::os;

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Module* module;
    {
        std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
        module = Find(fileName);
        if (!module) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        if (module->loadCount++ > 0) return reinterpret_cast<HMODULE>(module);
    }
    // The entry point runs outside the loader lock's scope of this call, but still only once per load.
    if (module->entry) module->entry(reinterpret_cast<HMODULE>(module), DLL_PROCESS_ATTACH, nullptr);
    return reinterpret_cast<HMODULE>(module);
}

BOOL WINAPI FreeLibrary(HMODULE handle) {
    Module* module;
    {
        std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
        module = FromHandle(handle);
        if (!module || module->loadCount == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--module->loadCount > 0) return TRUE;
    }
    if (module->entry) module->entry(handle, DLL_PROCESS_DETACH, nullptr);
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE handle, LPCSTR procName) {
    std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
    Module* module = FromHandle(handle);
    if (!module || !procName) {
        SetLastError(module ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    for (const auto& [name, function] : module->exports)
        if (name == procName) return function;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

// Finds only modules that are loaded, as on Windows: code linked into the process counts as loaded once
// something has called LoadLibraryA for it (CoCreateInstance and the registration tool do).
HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
    std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
    if (!moduleName) return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));
    Module* module = Find(moduleName);
    if (!module || module->loadCount == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(module);
}

DWORD WINAPI GetModuleFileNameA(HMODULE handle, LPSTR fileName, DWORD size) {
    std::string path;
    {
        std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
        if (!handle) {
            path = "C:\\Program Files\\Tessel\\host.exe";
        } else {
            Module* module = FromHandle(handle);
            if (!module) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return 0;
            }
            path = module->path;
        }
    }
    if (!fileName || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Like Windows: a path that does not fit is truncated, terminated, and reported with the buffer size.
    if (path.size() >= size) {
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    return (DWORD)path.size();
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE) { return TRUE; }

LPSTR WINAPI CharLowerA(LPSTR text) {
    if (!text) return text;
    // A value below 0x10000 is a single character passed by value, not a pointer.
    if (reinterpret_cast<uintptr_t>(text) < 0x10000)
        return reinterpret_cast<LPSTR>(
            static_cast<uintptr_t>(std::tolower(static_cast<int>(reinterpret_cast<uintptr_t>(text)))));
    for (char* p = text; *p; ++p) *p = (char)std::tolower((unsigned char)*p);
    return text;
}

// Only the ASCII range converts; anything else becomes the default character, as code page 1252 would do for
// characters it lacks. That is all the driver needs (GUID strings, device names).
int WINAPI WideCharToMultiByte(UINT, DWORD, LPCWSTR wide, int wideCount, LPSTR narrow, int narrowSize,
                               LPCSTR defaultChar, LPBOOL usedDefault) {
    if (!wide || wideCount == 0 || narrowSize < 0 || (narrowSize > 0 && !narrow)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int count = wideCount;
    if (count < 0) {
        count = 0;
        while (wide[count]) ++count;
        ++count;  // the terminator is converted too
    }
    if (usedDefault) *usedDefault = FALSE;
    if (narrowSize == 0) return count;
    if (count > narrowSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        if (wide[i] < 0x80) {
            narrow[i] = (char)wide[i];
        } else {
            narrow[i] = defaultChar ? *defaultChar : '?';
            if (usedDefault) *usedDefault = TRUE;
        }
    }
    return count;
}

int WINAPI MultiByteToWideChar(UINT, DWORD, LPCSTR narrow, int narrowCount, LPWSTR wide, int wideSize) {
    if (!narrow || narrowCount == 0 || wideSize < 0 || (wideSize > 0 && !wide)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int count = narrowCount < 0 ? (int)std::strlen(narrow) + 1 : narrowCount;
    if (wideSize == 0) return count;
    if (count > wideSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (int i = 0; i < count; ++i) wide[i] = (WCHAR)(unsigned char)narrow[i];
    return count;
}

int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    MessageBoxRecord record{text ? text : "", caption ? caption : "Error", type};
    std::fprintf(stderr, "[message box] %s: %s\n", record.caption.c_str(), record.text.c_str());
    std::lock_guard<std::recursive_mutex> guard(TheLoader().lock);
    TheLoader().messageBoxes.push_back(record);
    return IDOK;
}

}  // extern "C"
