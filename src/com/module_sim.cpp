// Off Windows there is no DLL file: the driver is linked into the process, and this tells the simulated loader
// where the DLL would live and what it exports, so that LoadLibraryA, GetModuleHandleA and CoCreateInstance
// find it as Windows finds the real file.
#include "com/dll_exports.h"
#include "sim/os/sim_control.h"

namespace {
const bool linked = sim::os::LinkModule(
    "C:\\Program Files\\Tessel\\Tessel-ASIO-x64.dll", DllMain,
    {sim::os::Export("DllGetClassObject", &DllGetClassObject), sim::os::Export("DllCanUnloadNow", &DllCanUnloadNow),
     sim::os::Export("DllRegisterServer", &DllRegisterServer),
     sim::os::Export("DllUnregisterServer", &DllUnregisterServer)});
}
