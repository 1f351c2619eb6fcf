// The per-user settings: what init loads, what the destructor saves, and what survives bad values.
#include <gtest/gtest.h>

#include <string>

#include "driver/asio_driver.h"
#include "ui/settings.h"

namespace {

HKEY SettingsKey() {
    HKEY key;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

void SetDword(const char* name, DWORD value) {
    HKEY key = SettingsKey();
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

void SetBytes(const char* name, DWORD type, const std::string& bytes) {
    HKEY key = SettingsKey();
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), (DWORD)bytes.size());
    RegCloseKey(key);
}

struct Stored {
    bool present = false;
    DWORD type = 0;
    std::string bytes;
};

Stored Read(const char* name) {
    Stored stored;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return stored;
    char data[1024];
    DWORD size = sizeof data;
    stored.present =
        RegQueryValueExA(key, name, nullptr, &stored.type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
    if (stored.present) stored.bytes.assign(data, size);
    RegCloseKey(key);
    return stored;
}

DWORD AsDword(const Stored& stored) {
    DWORD value = 0;
    if (stored.bytes.size() == sizeof value) std::memcpy(&value, stored.bytes.data(), sizeof value);
    return value;
}

CAsioDriver* NewDriver() {
    HRESULT hr = S_OK;
    auto* driver = new CAsioDriver(nullptr, &hr, false);
    driver->NonDelegatingAddRef();
    return driver;
}

TEST(Settings, NoKeyKeepsTheDefaultsAndTheDestructorWritesFourValues) {
    CAsioDriver* driver = NewDriver();
    driver->outputDeviceName = "left over";
    LoadSettings(*driver);
    EXPECT_FALSE(driver->showMetrics);
    EXPECT_FALSE(driver->modelessPanel);
    EXPECT_FALSE(driver->autoOpenPanel);
    EXPECT_EQ(driver->preferredBufferSize, 288u);
    EXPECT_EQ(driver->outputDeviceName, "");
    driver->NonDelegatingRelease();

    EXPECT_EQ(AsDword(Read("Modeless Control Panel")), 0u);
    EXPECT_EQ(AsDword(Read("Auto-open Control Panel")), 0u);
    EXPECT_EQ(AsDword(Read("Buffer Size Preferred")), 288u);
    Stored device = Read("Output Device");
    EXPECT_TRUE(device.present);
    EXPECT_EQ(device.type, (DWORD)REG_SZ);
    EXPECT_EQ(device.bytes, "");
    EXPECT_FALSE(Read("Show Metrics").present);
}

TEST(Settings, RoundTripThroughTheRegistry) {
    SetDword("Show Metrics", 7);
    SetDword("Modeless Control Panel", 5);
    SetDword("Auto-open Control Panel", 1);
    SetDword("Buffer Size Preferred", 200);
    SetBytes("Output Device", REG_SZ, "Speakers (USB Audio)");
    CAsioDriver* driver = NewDriver();
    LoadSettings(*driver);
    EXPECT_TRUE(driver->showMetrics);
    EXPECT_TRUE(driver->modelessPanel);
    EXPECT_TRUE(driver->autoOpenPanel);
    EXPECT_EQ(driver->preferredBufferSize, 200u);
    EXPECT_EQ(driver->outputDeviceName, "Speakers (USB Audio)");
    driver->autoOpenPanel = false;
    driver->outputDeviceName = "Headphones";
    driver->NonDelegatingRelease();

    EXPECT_EQ(AsDword(Read("Modeless Control Panel")), 1u);  // saved as 0 or 1
    EXPECT_EQ(AsDword(Read("Auto-open Control Panel")), 0u);
    EXPECT_EQ(AsDword(Read("Show Metrics")), 7u);          // never rewritten
    EXPECT_EQ(Read("Output Device").bytes, "Headphones");  // without a terminator
}

TEST(Settings, OutOfRangeOrMistypedBufferSizesAreNotTaken) {
    struct Case {
        DWORD stored;
        uint32_t loaded;
    } cases[] = {{143, 288}, {1153, 288}, {144, 144}, {1152, 1152}, {200, 200}, {0, 288}, {0xFFFFFFFF, 288}};
    for (const auto& c : cases) {
        SetDword("Buffer Size Preferred", c.stored);
        CAsioDriver* driver = NewDriver();
        driver->preferredBufferSize = 576;
        LoadSettings(*driver);
        EXPECT_EQ(driver->preferredBufferSize, c.loaded) << c.stored;
        driver->NonDelegatingRelease();
    }
    SetBytes("Buffer Size Preferred", REG_SZ, "576");
    SetBytes("Modeless Control Panel", REG_BINARY, std::string("\x01\x00\x00\x00", 4));
    CAsioDriver* driver = NewDriver();
    LoadSettings(*driver);
    EXPECT_EQ(driver->preferredBufferSize, 288u);
    EXPECT_FALSE(driver->modelessPanel);
    driver->NonDelegatingRelease();
}

TEST(Settings, OutputDeviceValuesThatCannotBeReadResetTheName) {
    CAsioDriver* driver = NewDriver();
    auto load = [&](const std::string& bytes, DWORD type) {
        SetBytes("Output Device", type, bytes);
        driver->outputDeviceName = "previous";
        LoadSettings(*driver);
        return driver->outputDeviceName;
    };
    EXPECT_EQ(load(std::string("\x05\x00\x00\x00", 4), REG_DWORD), "");
    EXPECT_EQ(load(std::string(259, 'n'), REG_SZ), std::string(259, 'n'));
    // A full 260 bytes fits the buffer but has no terminator: read whole, never past the buffer.
    EXPECT_EQ(load(std::string(260, 'm'), REG_SZ), std::string(260, 'm'));
    EXPECT_EQ(load(std::string(261, 'o'), REG_SZ), "");
    EXPECT_EQ(load(std::string("Name\0tail", 9), REG_SZ), "Name");
    driver->NonDelegatingRelease();
}

}  // namespace

// "Converter Quality" is read like "Show Metrics": only a hand-made DWORD sets it, init's device open puts every
// FIFO on the chosen converter, and the destructor never writes the value, neither when it was absent nor when
// it was there.
TEST(Settings, ConverterQualityIsAppliedWhenTheDevicesOpenAndNeverWritten) {
    auto qualityAfterInit = [](ConverterQuality* field) {
        CAsioDriver* driver = NewDriver();
        driver->init(nullptr);
        *field = driver->converterQuality;
        bool allAgree = driver->outputFifo.GetConverterQuality() == *field;
        for (const DeviceFifo& fifo : driver->inputFifos) allAgree = allAgree && fifo.GetConverterQuality() == *field;
        driver->converterQuality = ConverterQuality::Quadratic;  // a change the destructor must not save
        driver->NonDelegatingRelease();
        return allAgree;
    };
    ConverterQuality quality;
    EXPECT_TRUE(qualityAfterInit(&quality));
    EXPECT_EQ(quality, ConverterQuality::Quadratic);
    EXPECT_FALSE(Read("Converter Quality").present);

    SetDword("Converter Quality", 1);
    EXPECT_TRUE(qualityAfterInit(&quality));
    EXPECT_EQ(quality, ConverterQuality::High);
    EXPECT_EQ(AsDword(Read("Converter Quality")), 1u);

    // Any number but 0 asks for the better converter, as any non-zero flag is true.
    SetDword("Converter Quality", 7);
    EXPECT_TRUE(qualityAfterInit(&quality));
    EXPECT_EQ(quality, ConverterQuality::High);
    EXPECT_EQ(AsDword(Read("Converter Quality")), 7u);

    SetDword("Converter Quality", 0);
    EXPECT_TRUE(qualityAfterInit(&quality));
    EXPECT_EQ(quality, ConverterQuality::Quadratic);

    // A value of another type counts as missing.
    SetBytes("Converter Quality", REG_SZ, "1");
    EXPECT_TRUE(qualityAfterInit(&quality));
    EXPECT_EQ(quality, ConverterQuality::Quadratic);
    EXPECT_EQ(Read("Converter Quality").type, (DWORD)REG_SZ);
}
