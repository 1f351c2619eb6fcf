// The driver object as a host meets it before any stream: construction, the simple queries, init.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "com/module_state.h"
#include "driver/asio_driver.h"
#include "tests/support/driver_fixture.h"
#include "sim/os/sim_control.h"

namespace {

using Driver = drivertest::OwnedDriver;

TEST(DriverObject, AnswersFromItsRecordBeforeInit) {
    for (bool isFloat : {false, true}) {
        Driver variant(isFloat);
        EXPECT_EQ(variant->isFloat, isFloat);
        char name[32];
        std::memset(name, 'x', sizeof name);
        variant->getDriverName(name);
        EXPECT_STREQ(name, "Tessel");
    }
    Driver driver;
    EXPECT_EQ(driver->getDriverVersion(), 1);
    char message[128];
    std::memset(message, 'x', sizeof message);
    driver->getErrorMessage(message);
    EXPECT_STREQ(message, "");

    int32_t inputs = -1, outputs = -1;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 0);
    EXPECT_EQ(outputs, 0);
    int32_t inputLatency = 0, outputLatency = 0;
    EXPECT_EQ(driver->getLatencies(&inputLatency, &outputLatency), ASE_OK);
    EXPECT_EQ(inputLatency, 720 + 144 + 1);
    EXPECT_EQ(outputLatency, 576 + 1008 + 288 + 1);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000.0);

    // The buffer size range is fixed; only the preferred size follows the setting.
    int32_t minSize, maxSize, preferred, granularity;
    driver->preferredBufferSize = 200;
    EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(std::vector<int32_t>({minSize, maxSize, preferred, granularity}),
              std::vector<int32_t>({144, 1152, 200, 144}));

    // Exactly the three rates.
    for (double r : {48000.0, 96000.0, 192000.0}) EXPECT_EQ(driver->canSampleRate(r), ASE_OK) << r;
    for (double r : {44100.0, 48000.5, 0.0, -48000.0, 384000.0}) EXPECT_EQ(driver->canSampleRate(r), ASE_NoClock);
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_NoClock);
}

TEST(DriverObject, InitWithoutMicrophonesFailsCleanlyAndCanBeRetried) {
    Driver driver;
    const int apartments = sim::os::ApartmentInitCount();
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    char message[128];
    driver->getErrorMessage(message);
    EXPECT_STREQ(message, "ASIO Driver open Failure!");
    EXPECT_FALSE(driver->initialised);
    int32_t inputs = -1, outputs = -1;
    driver->getChannels(&inputs, &outputs);
    EXPECT_EQ(inputs, 0);
    EXPECT_EQ(outputs, 2);

    // The settings are read again on the retry.
    drivertest::StoreSetting("Buffer Size Preferred", 576);
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(driver->preferredBufferSize, 576u);
    EXPECT_EQ(sim::os::ApartmentInitCount(), apartments + 1) << "the open sequence must not stack apartments";
}

TEST(DriverObject, ConstructionJoinsAnApartmentAndDestructionLeavesIt) {
    const int before = sim::os::ApartmentInitCount();
    {
        Driver driver;
        EXPECT_EQ(sim::os::ApartmentInitCount(), before + 1);
        driver->init(nullptr);
    }
    EXPECT_EQ(sim::os::ApartmentInitCount(), before);
    EXPECT_EQ(objectCount, 0);

    // A thread already in the multithreaded apartment keeps it, and nothing is unbalanced.
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), before == 0 ? S_OK : S_FALSE);
    { Driver driver; }
    EXPECT_EQ(sim::os::ApartmentInitCount(), before + 1);
    CoUninitialize();
}

TEST(DriverObject, RunsWithoutMmcssWhenAvrtIsMissing) {
    sim::os::SetSystemLibraryPresent("avrt.dll", false);
    {
        Driver driver;
        EXPECT_EQ(driver->avrtModule, nullptr);
        EXPECT_EQ(driver->avSetMmThreadCharacteristics, nullptr);
    }
    sim::os::SetSystemLibraryPresent("avrt.dll", true);
    Driver driver;
    EXPECT_NE(driver->avSetMmThreadCharacteristics, nullptr);
    EXPECT_NE(driver->avRevertMmThreadCharacteristics, nullptr);
}

double announcedRate = 0;
void OnRateChange(ASIOSampleRate rate) { announcedRate = rate; }
int32_t SupportsTimeInfo(int32_t selector, int32_t, void*, double*) { return selector == kAsioSupportsTimeInfo; }
void IgnoreSwitch(int32_t, ASIOBool) {}

TEST(DriverObject, ANewSampleRateIsAnnouncedAndMarkedForTheNextTimeInfo) {
    Driver driver;
    ASIOCallbacks callbacks{IgnoreSwitch, OnRateChange, SupportsTimeInfo, nullptr};
    ASSERT_EQ(driver->createBuffers(nullptr, 0, 288, &callbacks), ASE_OK);
    announcedRate = 0;
    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(announcedRate, 0.0) << "the same rate changes nothing";
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    EXPECT_EQ(announcedRate, 96000.0);
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, 96000.0);
    EXPECT_EQ(driver->asioTime.timeInfo.sampleRate, 96000.0);
    EXPECT_TRUE(driver->asioTime.timeInfo.flags & kSampleRateChanged);
    EXPECT_EQ(driver->numOutputs, 2) << "the devices were reopened";
    driver->disposeBuffers();
}

}  // namespace
