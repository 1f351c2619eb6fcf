// Simulated COM: apartments per thread and in-process activation through the registry, as ole32 does it.
#include "sim/os/com.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <vector>

#include "sim/os/kernel.h"
#include "sim/os/module.h"
#include "sim/os/registry.h"
#include "sim/os/sim_control.h"

extern "C" const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
extern "C" const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {
struct Apartment {
    int count = 0;
    DWORD model = 0;
    // In-process servers stay loaded until the apartment is left, as ole32 keeps them.
    std::vector<HMODULE> servers;
};
thread_local Apartment apartment;

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFunction)(REFCLSID, REFIID, LPVOID*);
}  // namespace

int sim::os::ApartmentInitCount() { return apartment.count; }

extern "C" {

HRESULT WINAPI CoInitializeEx(LPVOID, DWORD model) {
    DWORD kind = model & COINIT_APARTMENTTHREADED;
    if (apartment.count == 0) {
        apartment.model = kind;
        apartment.count = 1;
        return S_OK;
    }
    if (apartment.model != kind) return RPC_E_CHANGED_MODE;
    ++apartment.count;
    return S_FALSE;
}

HRESULT WINAPI CoInitialize(LPVOID reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

void WINAPI CoUninitialize() {
    if (apartment.count == 0) return;
    if (--apartment.count == 0) {
        for (HMODULE server : apartment.servers) FreeLibrary(server);
        apartment.servers.clear();
    }
}

HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (apartment.count == 0) return CO_E_NOTINITIALIZED;
    if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;

    LPOLESTR wide = nullptr;
    if (FAILED(StringFromCLSID(clsid, &wide))) return E_OUTOFMEMORY;
    char braced[64];
    WideCharToMultiByte(CP_ACP, 0, wide, -1, braced, sizeof braced, nullptr, nullptr);
    CoTaskMemFree(wide);

    std::string key = std::string("CLSID\\") + braced + "\\InprocServer32";
    HKEY server;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &server) != ERROR_SUCCESS)
        return REGDB_E_CLASSNOTREG;
    char path[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH;
    LSTATUS status = RegQueryValueExA(server, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(server);
    if (status != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;

    HMODULE module = LoadLibraryA(path);
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    if (std::find(apartment.servers.begin(), apartment.servers.end(), module) == apartment.servers.end())
        apartment.servers.push_back(module);
    else
        FreeLibrary(module);
    auto getClassObject =
        reinterpret_cast<GetClassObjectFunction>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (!getClassObject) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    if (!factory) return E_UNEXPECTED;
    hr = factory->CreateInstance(outer, iid, object);
    factory->Release();
    return hr;
}

int WINAPI StringFromGUID2(REFGUID guid, LPOLESTR text, int capacity) {
    char narrow[40];
    std::snprintf(narrow, sizeof narrow, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    if (!text || capacity < 39) return 0;
    for (int i = 0; i < 39; ++i) text[i] = (OLECHAR)(unsigned char)narrow[i];
    return 39;
}

HRESULT WINAPI StringFromCLSID(REFCLSID clsid, LPOLESTR* text) {
    if (!text) return E_INVALIDARG;
    *text = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
    if (!*text) return E_OUTOFMEMORY;
    StringFromGUID2(clsid, *text, 39);
    return S_OK;
}

HRESULT WINAPI CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    if (!text || !clsid) return E_INVALIDARG;
    char narrow[39];
    for (int i = 0; i < 38; ++i) {
        if (text[i] == 0 || text[i] > 0x7f) return CO_E_CLASSSTRING;
        narrow[i] = (char)text[i];
    }
    narrow[38] = 0;
    if (text[38] != 0) return CO_E_CLASSSTRING;
    static const int dashes[] = {9, 14, 19, 24};
    if (narrow[0] != '{' || narrow[37] != '}') return CO_E_CLASSSTRING;
    for (int i = 1; i < 37; ++i) {
        bool dash = i == dashes[0] || i == dashes[1] || i == dashes[2] || i == dashes[3];
        bool hex = (narrow[i] >= '0' && narrow[i] <= '9') || (narrow[i] >= 'a' && narrow[i] <= 'f') ||
                   (narrow[i] >= 'A' && narrow[i] <= 'F');
        if (dash ? narrow[i] != '-' : !hex) return CO_E_CLASSSTRING;
    }
    auto field = [&](int at, int digits) {
        return std::strtoull(std::string(narrow + at, digits).c_str(), nullptr, 16);
    };
    clsid->Data1 = (uint32_t)field(1, 8);
    clsid->Data2 = (uint16_t)field(10, 4);
    clsid->Data3 = (uint16_t)field(15, 4);
    clsid->Data4[0] = (uint8_t)field(20, 2);
    clsid->Data4[1] = (uint8_t)field(22, 2);
    for (int i = 0; i < 6; ++i) clsid->Data4[2 + i] = (uint8_t)field(25 + 2 * i, 2);
    return S_OK;
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) { return std::malloc(size ? size : 1); }
void WINAPI CoTaskMemFree(LPVOID memory) { std::free(memory); }

}  // extern "C"
