// Core Audio of the simulated Windows: MMDevAPI's device enumerator and the objects it hands out, over the audio
// devices of the installed virtual kernel. Each object is a small reference-counted COM object; the state it
// shows (volume level, properties) belongs to the virtual device, so every object of one device sees the same.
#include "sim/os/core_audio_sim.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/os/audio_graph.h"
#include "sim/os/kernel.h"
#include "sim/os/registry.h"
#include "sim/os/sim_control.h"
#include "sim/os/virtual_kernel.h"

namespace sim::os {
namespace {

constexpr const char* kServerPath = "C:\\Windows\\System32\\MMDevAPI.dll";

using SubunitInterface = ISubunit;

#include "sim/os/core_audio_objects.inc"

class EnumeratorFactory : public ComObject<IClassFactory> {
public:
    EnumeratorFactory() : ComObject(IID_IClassFactory) {}
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* enumerator = new (std::nothrow) DeviceEnumerator;
        if (!enumerator) return E_OUTOFMEMORY;
        HRESULT hr = enumerator->QueryInterface(iid, object);
        enumerator->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

HRESULT STDAPICALLTYPE MmDevApiGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_MMDeviceEnumerator) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) EnumeratorFactory;
    if (!factory) return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

HRESULT STDAPICALLTYPE MmDevApiCanUnloadNow() { return S_FALSE; }

const bool mmDevApiRegistered = RegisterSystemLibrary(
    "MMDevAPI.dll",
    {Export("DllGetClassObject", &MmDevApiGetClassObject), Export("DllCanUnloadNow", &MmDevApiCanUnloadNow)});

}  // namespace

std::vector<std::shared_ptr<AudioDevice>> VirtualKernel::AudioDevices() { return {}; }

void RegisterCoreAudio() {
    LPOLESTR wide = nullptr;
    if (FAILED(StringFromCLSID(CLSID_MMDeviceEnumerator, &wide))) return;
    char braced[64];
    WideCharToMultiByte(CP_ACP, 0, wide, -1, braced, sizeof braced, nullptr, nullptr);
    CoTaskMemFree(wide);
    std::string path = std::string("CLSID\\") + braced + "\\InprocServer32";
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(kServerPath),
                   static_cast<DWORD>(std::strlen(kServerPath) + 1));
    const char model[] = "Both";
    RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(model), sizeof model);
    RegCloseKey(key);
}

}  // namespace sim::os

extern "C" HRESULT WINAPI PropVariantClear(PROPVARIANT* value) {
    if (!value) return E_INVALIDARG;
    switch (value->vt) {
        case VT_CLSID:
            CoTaskMemFree(value->puuid);
            break;
        case VT_LPSTR:
            CoTaskMemFree(value->pszVal);
            break;
        case VT_LPWSTR:
            CoTaskMemFree(value->pwszVal);
            break;
        case VT_BLOB:
            CoTaskMemFree(value->blob.pBlobData);
            break;
        default:
            break;
    }
    std::memset(value, 0, sizeof *value);
    return S_OK;
}
