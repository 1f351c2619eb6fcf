// A driver object as the class factory hands one to a host, and the per-user settings it reads and saves, for
// the tests that drive it directly.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

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

// A host that records every buffer switch on the clock thread: the input halves it was handed, as floats (and entry
// 0's own samples), each switch's index, and each time-info switch's flags and sample position. It writes
// `outputValue` into every output half, and holds on to switch `stallAfterSwitch` for a while, as a busy host may.
// The callbacks are plain functions: one host at a time.
struct RecordingHost {
    explicit RecordingHost(CAsioDriver* recorded = nullptr) : driver(recorded) { current = this; }
    ~RecordingHost() { current = nullptr; }
    RecordingHost(const RecordingHost&) = delete;
    RecordingHost& operator=(const RecordingHost&) = delete;

    CAsioDriver* driver;
    std::mutex mutex;
    std::vector<std::vector<float>> inputs;  // per active input entry, everything received in order
    std::vector<int32_t> rawFirstInput;
    std::vector<uint32_t> timeFlags;
    std::vector<double> positions;
    std::vector<int32_t> indices;
    std::atomic<int> switches{0};
    int32_t outputValue = 0;
    std::atomic<int> stallAfterSwitch{-1};

    static inline RecordingHost* current = nullptr;
    static void Record(int32_t index, ASIOBool) {
        RecordingHost* host = current;
        CAsioDriver* d = host->driver;
        std::lock_guard<std::mutex> lock(host->mutex);
        host->indices.push_back(index);
        host->inputs.resize(static_cast<size_t>(d->numActiveInputs));
        for (int32_t k = 0; k < d->numActiveInputs; ++k) {
            const int32_t* half = d->inputBuffers[k] + index * d->bufferSize;
            for (int32_t s = 0; s < d->bufferSize; ++s) {
                float value;
                if (d->isFloat)
                    std::memcpy(&value, &half[s], sizeof(value));
                else
                    value = static_cast<float>(half[s]) / 2147483648.0f;
                host->inputs[static_cast<size_t>(k)].push_back(value);
                if (k == 0) host->rawFirstInput.push_back(half[s]);
            }
        }
        for (int32_t k = 0; k < d->numActiveOutputs; ++k) {
            int32_t* half = d->outputBuffers[k] + index * d->bufferSize;
            for (int32_t s = 0; s < d->bufferSize; ++s) half[s] = host->outputValue;
        }
        ++host->switches;
    }
    static ASIOTime* RecordTimeInfo(ASIOTime* time, int32_t index, ASIOBool processNow) {
        {
            std::lock_guard<std::mutex> lock(current->mutex);
            current->timeFlags.push_back(time->timeInfo.flags);
            current->positions.push_back(static_cast<double>(time->timeInfo.samplePosition.lo) +
                                         time->timeInfo.samplePosition.hi * 4294967296.0);
        }
        Record(index, processNow);
        if (current->switches == current->stallAfterSwitch) Sleep(60);
        return time;
    }
    static int32_t AnswerTimeInfo(int32_t selector, int32_t, void*, double*) {
        return selector == kAsioSupportsTimeInfo ? 1 : 0;
    }
    static inline ASIOCallbacks callbacks = {&Record, nullptr, &AnswerTimeInfo, &RecordTimeInfo};
};

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
