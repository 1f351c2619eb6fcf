#include "asio_registry.h"

#include <cstdio>
#include <cstring>

namespace {

std::string ReadString(HKEY key, const char* name) {
    char text[256] = {};
    DWORD size = sizeof text - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return std::string();
    return std::string(text);
}

}  // namespace

std::vector<DriverEntry> ListAsioDrivers() {
    std::vector<DriverEntry> drivers;
    HKEY asio;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", 0, KEY_READ, &asio) != ERROR_SUCCESS) return drivers;
    char name[256];
    for (DWORD index = 0; RegEnumKeyA(asio, index, name, sizeof name) == ERROR_SUCCESS; ++index) {
        HKEY driver;
        if (RegOpenKeyExA(asio, name, 0, KEY_READ, &driver) != ERROR_SUCCESS) continue;
        drivers.push_back({name, ReadString(driver, "CLSID"), ReadString(driver, "Description")});
        RegCloseKey(driver);
    }
    RegCloseKey(asio);
    return drivers;
}

namespace {

bool ParseClassId(const std::string& text, CLSID* classId) {
    WCHAR wide[64] = {};
    if (text.size() >= 63) return false;
    if (!MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, 64)) return false;
    return SUCCEEDED(CLSIDFromString(wide, classId));
}

const char* YesNo(ASIOError result) { return result == ASE_OK ? "yes" : "no"; }

bool Describe(const DriverEntry& entry) {
    std::printf("%s\n  CLSID %s, description \"%s\"\n", entry.keyName.c_str(), entry.classIdText.c_str(),
                entry.description.c_str());
    CLSID classId;
    if (!ParseClassId(entry.classIdText, &classId)) {
        std::printf("  the CLSID value is not a class ID\n");
        return false;
    }
    IASIO* driver = nullptr;
    HRESULT hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, classId, reinterpret_cast<void**>(&driver));
    if (FAILED(hr) || !driver) {
        std::printf("  CoCreateInstance failed: 0x%08X\n", (unsigned)hr);
        return false;
    }
    char name[64] = {};
    driver->getDriverName(name);
    std::printf("  name: %s\n  version: %d\n", name, (int)driver->getDriverVersion());
    ASIOBool initialised = driver->init(nullptr);
    char message[128] = {};
    driver->getErrorMessage(message);
    std::printf("  init: %d (%s)\n", (int)initialised, message);
    int32_t inputs = 0, outputs = 0;
    driver->getChannels(&inputs, &outputs);
    std::printf("  channels: %d in, %d out\n", (int)inputs, (int)outputs);
    int32_t inputLatency = 0, outputLatency = 0;
    driver->getLatencies(&inputLatency, &outputLatency);
    std::printf("  latencies: %d in, %d out (frames)\n", (int)inputLatency, (int)outputLatency);
    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    std::printf("  buffer sizes: min %d, max %d, preferred %d, granularity %d\n", (int)minSize, (int)maxSize,
                (int)preferred, (int)granularity);
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    std::printf("  sample rate: %.0f\n", rate);
    std::printf("  can do: 44100 %s, 48000 %s, 96000 %s, 192000 %s\n", YesNo(driver->canSampleRate(44100.0)),
                YesNo(driver->canSampleRate(48000.0)), YesNo(driver->canSampleRate(96000.0)),
                YesNo(driver->canSampleRate(192000.0)));
    driver->Release();
    return true;
}

}  // namespace

IASIO* CreateRegisteredDriver(const std::string& keyName) {
    for (const DriverEntry& entry : ListAsioDrivers()) {
        if (entry.keyName != keyName) continue;
        CLSID classId;
        if (!ParseClassId(entry.classIdText, &classId)) break;
        IASIO* driver = nullptr;
        const HRESULT hr =
            CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, classId, reinterpret_cast<void**>(&driver));
        if (SUCCEEDED(hr) && driver) return driver;
        std::fprintf(stderr, "tessel-rec: CoCreateInstance of \"%s\" failed: 0x%08X\n", keyName.c_str(),
                     static_cast<unsigned>(hr));
        return nullptr;
    }
    std::fprintf(stderr, "tessel-rec: no ASIO driver is registered as \"%s\" (register it with --register)\n",
                 keyName.c_str());
    return nullptr;
}

int DescribeDrivers(const std::string& filter) {
    int described = 0;
    for (const auto& entry : ListAsioDrivers())
        if (entry.keyName.find(filter) != std::string::npos && Describe(entry)) ++described;
    if (described == 0) std::printf("no ASIO driver matching \"%s\" could be created\n", filter.c_str());
    return described;
}

// What regsvr32 does: load the module and call its registration export.
int RunServerExport(const char* exportName, const char* modulePath) {
    HMODULE module = LoadLibraryA(modulePath);
    if (!module) {
        std::fprintf(stderr, "tessel-rec: cannot load %s (error %u)\n", modulePath, (unsigned)GetLastError());
        return 1;
    }
    typedef HRESULT(STDAPICALLTYPE * ServerFunction)();
    auto function = reinterpret_cast<ServerFunction>(reinterpret_cast<void*>(GetProcAddress(module, exportName)));
    if (!function) {
        std::fprintf(stderr, "tessel-rec: %s has no %s\n", modulePath, exportName);
        FreeLibrary(module);
        return 1;
    }
    HRESULT hr = function();
    FreeLibrary(module);
    std::printf("%s: 0x%08X\n", exportName, (unsigned)hr);
    return SUCCEEDED(hr) ? 0 : 1;
}
