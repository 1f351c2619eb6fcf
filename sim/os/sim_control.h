// Controls of the simulated Windows that have no Windows counterpart: what tests and tools use to set up the
// simulated machine and to look at what the driver did to it. Product code never includes this, except for the
// one file that declares the driver's module to the simulated loader.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sim/os/module.h"

namespace sim::os {

// Registry storage. The default is a file (TESSEL_SIM_REGISTRY, else $XDG_CONFIG_HOME or ~/.config
// /tessel-sim/registry); tests switch to a fresh, empty registry in memory.
std::string DefaultRegistryPath();
void UseMemoryRegistry();
void UseRegistryFile(const std::string& path);
size_t OpenRegistryKeyCount();

// Modules. A linked module is code linked into this process that Windows would load from a DLL file: it becomes
// loaded (its entry point called) on its first LoadLibraryA, by full path or by file name. A system library is
// a DLL of the simulated system directory with a table of exports.
using Exports = std::vector<std::pair<std::string, FARPROC>>;
template <class Function>
std::pair<std::string, FARPROC> Export(const char* name, Function* function) {
    return {name, reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function))};
}
bool LinkModule(const std::string& path, DllEntryPoint entry, const Exports& exports);
void SetLinkedModulePath(const std::string& fileName, const std::string& path);
std::string LinkedModulePath(const std::string& fileName);
bool RegisterSystemLibrary(const std::string& fileName, const Exports& exports);
void SetSystemLibraryPresent(const std::string& fileName, bool present);

// Message boxes are not shown: each is recorded (and echoed to standard error) and answered with IDOK.
struct MessageBoxRecord {
    std::string text;
    std::string caption;
    UINT type;
};
std::vector<MessageBoxRecord> MessageBoxes();
void ClearMessageBoxes();

// COM apartment of the calling thread: how many CoInitializeEx calls are outstanding.
int ApartmentInitCount();

// Threads the simulation had to "terminate" (see TerminateThread).
int TerminatedThreadCount();

// Whether the simulated system offers high-resolution waitable timers (CREATE_WAITABLE_TIMER_HIGH_RESOLUTION),
// as Windows does from version 1803 on; when off, asking for one fails with ERROR_INVALID_PARAMETER as on older
// systems. On by default.
void SetHighResolutionTimersAvailable(bool available);

// Debugger output (OutputDebugStringA): written to standard error.
void DebugOutput(const char* text);

}  // namespace sim::os
