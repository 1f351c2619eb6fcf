// Patterns seen in real hosts, through COM from the registry down: probing, repeated create/init/release,
// questions before init and after a failed one.
#include <gtest/gtest.h>

#include <cstring>

#include "com/module_state.h"
#include "sim/os/sim_control.h"
#include "stand_in_host.h"

namespace {

const char kSettingsPath[] = "SOFTWARE\\Korvel\\Tessel ASIO\\1.00";

void StoreDword(const char* name, DWORD value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

DWORD StoredDword(const char* name) {
    HKEY key;
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0xFFFFFFFF;
    RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return value;
}

}  // namespace

// Twenty rounds of create, init, release, as hosts do when they scan their drivers: nothing leaks, no thread
// is left to be terminated (the test main counts those), the settings come out as they went in.
TEST(HostPatterns, CreateInitReleaseTwentyTimes) {
    ASSERT_TRUE(StandInHost::RegisterDriverModule());
    StoreDword("Buffer Size Preferred", 576);
    StoreDword("Modeless Control Panel", 1);
    for (int round = 0; round < 20; ++round) {
        StandInHost host(round % 2 ? StandInHost::Class::Float : StandInHost::Class::Integer);
        ASSERT_TRUE(host.created());
        host->init(nullptr);  // no microphone on this machine: fails, cleanly
        host.Release();
        EXPECT_EQ(objectCount, 0) << round;
    }
    EXPECT_EQ(StoredDword("Buffer Size Preferred"), 576u);
    EXPECT_EQ(StoredDword("Modeless Control Panel"), 1u);
    EXPECT_EQ(sim::os::ApartmentInitCount(), 0);
}

// What hosts ask before (or without) a successful init: every answer is a code, the figures are the driver's
// defaults, and nothing needs a device.
TEST(HostPatterns, QuestionsBeforeInitAndAfterAFailedInit) {
    ASSERT_TRUE(StandInHost::RegisterDriverModule());
    StandInHost host;
    ASSERT_TRUE(host.created());
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt ? "after a failed init" : "before init");
        EXPECT_EQ(host->canSampleRate(44100.0), ASE_NoClock);  // hosts ask for 44100 first
        EXPECT_EQ(host->canSampleRate(48000.0), ASE_OK);
        int32_t inputLatency = -1, outputLatency = -1;
        EXPECT_EQ(host->getLatencies(&inputLatency, &outputLatency), ASE_OK);
        EXPECT_GT(inputLatency, 288);  // more than the one buffer a sample spends in the host's half
        EXPECT_GT(outputLatency, 288);
        int32_t inputs = -1, outputs = -1;
        EXPECT_EQ(host->getChannels(&inputs, &outputs), ASE_OK);
        EXPECT_EQ(inputs, 0);
        EXPECT_EQ(outputs, attempt ? 2 : 0);
        int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
        EXPECT_EQ(host->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
        EXPECT_EQ(preferred, 288);
        ASIOSampleRate rate = 0;
        EXPECT_EQ(host->getSampleRate(&rate), ASE_OK);
        EXPECT_EQ(rate, 48000.0);
        EXPECT_EQ(host->stop(), ASE_OK);  // stop without start
        EXPECT_EQ(host->start(), ASE_NotPresent);
        EXPECT_EQ(host->init(nullptr), ASIOFalse);
        char message[128] = {};
        host->getErrorMessage(message);
        EXPECT_STREQ(message, "ASIO Driver open Failure!");
    }
}
