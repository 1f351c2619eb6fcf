// The module's COM entry points, exported undecorated.
#include <cstdio>
#include <new>

#include "com/class_factory.h"
#include "com/module_state.h"
#include "com/dll_exports.h"
#include "com/registration.h"

// The DLL's file name without its extension: registration looks the module up by it. The Windows build sets
// it per bitness (Tessel-ASIO-x64, Tessel-ASIO-x86); the simulation loads the driver under the x64 name.
#ifndef TESSEL_MODULE_NAME
#define TESSEL_MODULE_NAME "Tessel-ASIO-x64"
#endif

namespace {
const char kModuleName[] = TESSEL_MODULE_NAME;
const char kMessageCaption[] = "Tessel ASIO Driver";

HRESULT ReportFailure(const char* format, int integerResult, int floatResult) {
    if (integerResult == 0 && floatResult == 0) return S_OK;
    char text[128];
    std::snprintf(text, sizeof text, format, integerResult, floatResult);
    MessageBoxA(nullptr, text, kMessageCaption, MB_OK);
    return (HRESULT)0xFFFFFFFF;
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        moduleInstance = instance;
    }
    if (reason == DLL_PROCESS_ATTACH || reason == DLL_PROCESS_DETACH) {
        for (int i = 0; i < classCount; ++i)
            if (classTable[i].initRoutine)
                classTable[i].initRoutine(reason == DLL_PROCESS_ATTACH, classTable[i].classId);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID classId, REFIID iid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    const ClassRecord* record = nullptr;
    for (int i = 0; i < classCount && !record; ++i)
        if (IsEqualCLSID(*classTable[i].classId, classId)) record = &classTable[i];
    if (!record) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) CClassFactory(record);
    if (!factory) return E_OUTOFMEMORY;
    *object = static_cast<IClassFactory*>(factory);
    factory->AddRef();
    return S_OK;
}

STDAPI DllCanUnloadNow() { return (lockCount > 0 || objectCount != 0) ? S_FALSE : S_OK; }

STDAPI DllRegisterServer() {
    int integerResult = RegisterAsioClass(CLSID_TesselAsio, kModuleName, "Tessel ASIO Driver", "Tessel", "Apartment");
    int floatResult = RegisterAsioClass(CLSID_TesselAsioFloat, kModuleName, "Tessel (Float) ASIO Driver",
                                        "Tessel (Float)", "Apartment");
    return ReportFailure("Tessel Register Server failed (%d, %d)", integerResult, floatResult);
}

STDAPI DllUnregisterServer() {
    int integerResult = UnregisterAsioClass(CLSID_TesselAsio, kModuleName, "Tessel ASIO Driver");
    int floatResult = UnregisterAsioClass(CLSID_TesselAsioFloat, kModuleName, "Tessel (Float) ASIO Driver");
    return ReportFailure("Tessel Unregister Server failed (%d, %d)", integerResult, floatResult);
}
