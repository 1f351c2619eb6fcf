// The per-user settings: what init loads, what the destructor saves, and what survives bad values.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/driver_fixture.h"
#include "ui/settings.h"

using drivertest::OwnedDriver;
using drivertest::ReadSetting;
using drivertest::StoreSetting;

TEST(Settings, NoKeyKeepsTheDefaultsAndTheDestructorWritesFourValues) {
    OwnedDriver driver;
    driver->outputDeviceName = "left over";
    LoadSettings(*driver);
    EXPECT_FALSE(driver->showMetrics);
    EXPECT_FALSE(driver->modelessPanel);
    EXPECT_FALSE(driver->autoOpenPanel);
    EXPECT_EQ(driver->preferredBufferSize, 288u);
    EXPECT_EQ(driver->outputDeviceName, "");
    driver.Release();

    EXPECT_EQ(ReadSetting("Modeless Control Panel").AsDword(), 0u);
    EXPECT_EQ(ReadSetting("Auto-open Control Panel").AsDword(), 0u);
    EXPECT_EQ(ReadSetting("Buffer Size Preferred").AsDword(), 288u);
    const auto device = ReadSetting("Output Device");
    EXPECT_TRUE(device.present);
    EXPECT_EQ(device.type, (DWORD)REG_SZ);
    EXPECT_EQ(device.bytes, "");
    EXPECT_FALSE(ReadSetting("Show Metrics").present);
}

TEST(Settings, RoundTripThroughTheRegistry) {
    StoreSetting("Show Metrics", 7);
    StoreSetting("Modeless Control Panel", 5);
    StoreSetting("Auto-open Control Panel", 1);
    StoreSetting("Buffer Size Preferred", 200);
    StoreSetting("Output Device", REG_SZ, "Speakers (USB Audio)");
    OwnedDriver driver;
    LoadSettings(*driver);
    EXPECT_TRUE(driver->showMetrics);
    EXPECT_TRUE(driver->modelessPanel);
    EXPECT_TRUE(driver->autoOpenPanel);
    EXPECT_EQ(driver->preferredBufferSize, 200u);
    EXPECT_EQ(driver->outputDeviceName, "Speakers (USB Audio)");
    driver->autoOpenPanel = false;
    driver->outputDeviceName = "Headphones";
    driver.Release();

    EXPECT_EQ(ReadSetting("Modeless Control Panel").AsDword(), 1u);  // saved as 0 or 1
    EXPECT_EQ(ReadSetting("Auto-open Control Panel").AsDword(), 0u);
    EXPECT_EQ(ReadSetting("Show Metrics").AsDword(), 7u);         // never rewritten
    EXPECT_EQ(ReadSetting("Output Device").bytes, "Headphones");  // without a terminator
}

TEST(Settings, OutOfRangeOrMistypedValuesAreNotTaken) {
    struct Case {
        DWORD stored;
        uint32_t loaded;
    } cases[] = {{143, 288}, {1153, 288}, {144, 144}, {1152, 1152}, {200, 200}, {0, 288}, {0xFFFFFFFF, 288}};
    OwnedDriver driver;
    for (const auto& c : cases) {
        StoreSetting("Buffer Size Preferred", c.stored);
        driver->preferredBufferSize = 576;
        LoadSettings(*driver);
        EXPECT_EQ(driver->preferredBufferSize, c.loaded) << c.stored;
    }
    StoreSetting("Buffer Size Preferred", REG_SZ, "576");
    StoreSetting("Modeless Control Panel", REG_BINARY, std::string("\x01\x00\x00\x00", 4));
    LoadSettings(*driver);
    EXPECT_EQ(driver->preferredBufferSize, 288u);
    EXPECT_FALSE(driver->modelessPanel);

    auto loadName = [&](const std::string& bytes, DWORD type) {
        StoreSetting("Output Device", type, bytes);
        driver->outputDeviceName = "previous";
        LoadSettings(*driver);
        return driver->outputDeviceName;
    };
    EXPECT_EQ(loadName(std::string("\x05\x00\x00\x00", 4), REG_DWORD), "");
    EXPECT_EQ(loadName(std::string(259, 'n'), REG_SZ), std::string(259, 'n'));
    // A full 260 bytes fits the buffer but has no terminator: read whole, never past the buffer.
    EXPECT_EQ(loadName(std::string(260, 'm'), REG_SZ), std::string(260, 'm'));
    EXPECT_EQ(loadName(std::string(261, 'o'), REG_SZ), "");
    EXPECT_EQ(loadName(std::string("Name\0tail", 9), REG_SZ), "Name");
}

// "Converter Quality" is read like "Show Metrics": only a hand-made DWORD sets it (any number but 0 asks for the
// better converter), init's device open puts every FIFO on the chosen converter, and the destructor never writes
// the value, neither when it was absent nor when it was there.
TEST(Settings, ConverterQualityIsAppliedWhenTheDevicesOpenAndNeverWritten) {
    struct Case {
        const char* stored;  // nullptr: no value
        DWORD type;
        DWORD value;
        ConverterQuality loaded;
    } cases[] = {{nullptr, 0, 0, ConverterQuality::Quadratic},
                 {"1", REG_DWORD, 1, ConverterQuality::High},
                 {"7", REG_DWORD, 7, ConverterQuality::High},
                 {"0", REG_DWORD, 0, ConverterQuality::Quadratic},
                 {"1 as text", REG_SZ, 0, ConverterQuality::Quadratic}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "absent");
        if (c.type == REG_DWORD) StoreSetting("Converter Quality", c.value);
        if (c.type == REG_SZ) StoreSetting("Converter Quality", REG_SZ, "1");
        {
            OwnedDriver driver;
            driver->init(nullptr);
            EXPECT_EQ(driver->converterQuality, c.loaded);
            EXPECT_EQ(driver->outputFifo.GetConverterQuality(), c.loaded);
            for (const DeviceFifo& fifo : driver->inputFifos) EXPECT_EQ(fifo.GetConverterQuality(), c.loaded);
            // A change the destructor must not save.
            driver->converterQuality =
                c.loaded == ConverterQuality::High ? ConverterQuality::Quadratic : ConverterQuality::High;
        }
        const auto stored = ReadSetting("Converter Quality");
        EXPECT_EQ(stored.present, c.stored != nullptr);
        EXPECT_EQ(stored.type, c.type);
        if (c.type == REG_DWORD) {
            EXPECT_EQ(stored.AsDword(), c.value);
        }
    }
}
