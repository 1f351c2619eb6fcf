// A driver object as the class factory hands one to a host, and the per-user settings it reads and saves, for
// the tests that drive it directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "driver/asio_driver.h"

namespace drivertest {

// Owns one reference to a fresh driver; Release drops it early, as a host's final Release would.
struct OwnedDriver {
    explicit OwnedDriver(bool isFloat = false) {
        HRESULT hr = S_OK;
        driver = new CAsioDriver(nullptr, &hr, isFloat);
        driver->NonDelegatingAddRef();
    }
    ~OwnedDriver() { Release(); }
    OwnedDriver(const OwnedDriver&) = delete;
    OwnedDriver& operator=(const OwnedDriver&) = delete;
    void Release() {
        if (driver) driver->NonDelegatingRelease();
        driver = nullptr;
    }
    CAsioDriver* operator->() const { return driver; }
    CAsioDriver& operator*() const { return *driver; }
    CAsioDriver* driver;
};

// Stand-in endpoints on the first `microphones` input FIFOs, as the open sequence would attach microphones, so that
// the clock ticks without devices; the FIFOs stay empty and the host gets silence. The FIFOs are sized for
// `bufferFrames`, or for the driver's present buffer size when that is 0.
inline void AttachStandInMicrophones(CAsioDriver& driver, int microphones, uint32_t bufferFrames = 0) {
    if (bufferFrames == 0) bufferFrames = static_cast<uint32_t>(driver.bufferSize);
    driver.numInputs = microphones;
    driver.numOutputs = CAsioDriver::kNumOutputs;
    for (int i = 0; i < microphones; ++i) {
        driver.inputFifos[i].device = reinterpret_cast<CKSDevice*>(&driver.inputFifos[i]);
        driver.inputFifos[i].Configure(48000.0f, bufferFrames);
    }
}

// One entry of a host's createBuffers list.
inline ASIOBufferInfo Entry(bool input, int32_t channel) {
    ASIOBufferInfo info{};
    info.isInput = input ? ASIOTrue : ASIOFalse;
    info.channelNum = channel;
    return info;
}

// Spelled out rather than taken from the driver, so that a driver saving under another key fails the tests.
constexpr char kSettingsPath[] = "SOFTWARE\\Korvel\\Tessel ASIO\\1.00";

// One value under the settings key as it stands in the registry.
struct StoredSetting {
    bool present = false;
    DWORD type = 0;
    std::string bytes;
    DWORD AsDword() const {
        DWORD value = 0;
        if (bytes.size() == sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
        return value;
    }
};

inline void StoreSetting(const char* name, DWORD type, const std::string& bytes) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

inline void StoreSetting(const char* name, DWORD value) {
    StoreSetting(name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

inline StoredSetting ReadSetting(const char* name) {
    StoredSetting stored;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return stored;
    char data[1024];
    DWORD size = sizeof data;
    stored.present =
        RegQueryValueExA(key, name, nullptr, &stored.type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
    if (stored.present) stored.bytes.assign(data, size);
    RegCloseKey(key);
    return stored;
}

}  // namespace drivertest
