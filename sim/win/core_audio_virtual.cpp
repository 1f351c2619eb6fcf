// Core Audio of the test-only DLL: the device enumerator and the objects it hands out, over the audio devices
// of the virtual machine. The product creates the enumerator with CoCreateInstance, which redirect.h points
// here for that one class; every other class is created by the system's COM. Each object is a small
// reference-counted COM object; the state it shows (volume level, properties) belongs to the virtual device, so
// every object of one device sees the same.
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "sim/os/audio_graph.h"
#include "sim/os/virtual_kernel.h"
#include "sim/win/virtual_calls.h"

namespace sim::os {
namespace {

// The virtual devices speak UTF-16 as std::u16string; WCHAR is the same 16 bits on Windows.
static_assert(sizeof(WCHAR) == sizeof(char16_t));

using SubunitInterface = ISubUnit;

#include "sim/os/core_audio_objects.inc"

}  // namespace
}  // namespace sim::os

extern "C" HRESULT WINAPI TesselVirtual_CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                                         LPVOID* object) {
    if (clsid != CLSID_MMDeviceEnumerator) return ::CoCreateInstance(clsid, outer, context, iid, object);
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    // As with the system's enumerator, the calling thread must have entered COM and ask for an in-process server.
    APTTYPE apartment;
    APTTYPEQUALIFIER qualifier;
    if (FAILED(CoGetApartmentType(&apartment, &qualifier))) return CO_E_NOTINITIALIZED;
    if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    auto* enumerator = new (std::nothrow) sim::os::DeviceEnumerator;
    if (!enumerator) return E_OUTOFMEMORY;
    HRESULT hr = enumerator->QueryInterface(iid, object);
    enumerator->Release();
    return hr;
}
