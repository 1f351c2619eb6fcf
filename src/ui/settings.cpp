#include "ui/settings.h"

#include <cstring>
#include <mutex>

#include "driver/asio_driver.h"

const char kSettingsKey[] = "SOFTWARE\\Korvel\\Tessel ASIO\\1.00";

namespace {

constexpr DWORD kOutputDeviceBufferSize = 260;

// Each value is read with its own open and close of the key. False when the key or value is missing or the
// value is not a DWORD.
bool ReadDword(const char* name, DWORD* value) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD size = sizeof(DWORD);
    DWORD data = 0;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(DWORD)) return false;
    *value = data;
    return true;
}

void ReadFlag(const char* name, bool* flag) {
    DWORD value;
    if (ReadDword(name, &value)) *flag = value != 0;
}

void WriteValue(const char* name, DWORD type, const BYTE* data, DWORD size) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, type, data, size);
    RegCloseKey(key);
}

void WriteDword(const char* name, DWORD value) {
    WriteValue(name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

void LoadSettings(CAsioDriver& driver) {
    // Read by an open panel's metrics timer: written under the settings lock, with the output device's name.
    bool showMetrics = driver.showMetrics;
    ReadFlag("Show Metrics", &showMetrics);
    // Like "Show Metrics", only a hand-made value sets the converter, and the driver never writes it: 0 keeps the
    // quadratic converter, any other number asks for the best the driver has.
    DWORD quality;
    if (ReadDword("Converter Quality", &quality))
        driver.converterQuality = quality == 0 ? ConverterQuality::Quadratic : ConverterQuality::High;
    ReadFlag("Modeless Control Panel", &driver.modelessPanel);
    ReadFlag("Auto-open Control Panel", &driver.autoOpenPanel);
    DWORD size;
    if (ReadDword("Buffer Size Preferred", &size))
        driver.preferredBufferSize = (size < 144 || size > 1152) ? 288 : size;

    // Unlike the numbers, the output device is reset when its value cannot be read: a stale name would route
    // the outputs to a device the user no longer chose. One spare zero byte keeps a full-length value
    // terminated.
    char name[kOutputDeviceBufferSize + 1] = {};
    bool read = false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD bytes = kOutputDeviceBufferSize;
        read = RegQueryValueExA(key, "Output Device", nullptr, &type, reinterpret_cast<BYTE*>(name), &bytes) ==
                   ERROR_SUCCESS &&
               type == REG_SZ;
        RegCloseKey(key);
    }
    std::lock_guard<std::mutex> hold(driver.settingsLock);
    driver.outputDeviceName = read ? std::string(name) : std::string();
    driver.showMetrics = showMetrics;
    driver.settingsLoaded = true;
}

void SaveSettings(CAsioDriver& driver) {
    WriteDword("Modeless Control Panel", driver.modelessPanel ? 1 : 0);
    WriteDword("Auto-open Control Panel", driver.autoOpenPanel ? 1 : 0);
    WriteDword("Buffer Size Preferred", driver.preferredBufferSize);
    std::string outputDeviceName;
    {
        std::lock_guard<std::mutex> hold(driver.settingsLock);
        outputDeviceName = driver.outputDeviceName;
    }
    WriteValue("Output Device", REG_SZ, reinterpret_cast<const BYTE*>(outputDeviceName.data()),
               (DWORD)outputDeviceName.size());
}
