// The open sequence as a user notices it: how many inputs, which microphone is input 0, the firmware case, where
// the outputs go, a rate change while running, and a microphone unplugged mid-stream.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/asio_driver.h"
#include "sim/devices/world.h"
#include "stand_in_host.h"
#include "tests/support/driver_fixture.h"

namespace {

using sim::devices::MicrophoneConfig;
using sim::devices::PlaybackConfig;
using sim::devices::ScopedWorld;
using sim::devices::Signal;

MicrophoneConfig Microphone(double ppm = 0, bool needsFirmware = false) {
    MicrophoneConfig config;
    config.offsetPpm = ppm;
    config.needsFirmware = needsFirmware;
    config.signal = Signal::Sine(1000.0, 0.25);
    return config;
}

PlaybackConfig Playback(const char* name, std::vector<DWORD> rates = {44100, 48000, 96000, 192000}) {
    PlaybackConfig config;
    config.name = name;
    config.formats.rates = std::move(rates);
    return config;
}

class OpenSequence : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StandInHost::RegisterDriverModule()); }
};

}  // namespace

TEST_F(OpenSequence, NineMicrophonesGiveEightInputs) {
    std::vector<MicrophoneConfig> nine(9, Microphone());
    ScopedWorld world(sim::devices::Machine(nine));
    StandInHost host;
    ASSERT_EQ(host->init(nullptr), ASIOTrue);
    int32_t inputs = 0, outputs = 0;
    host->getChannels(&inputs, &outputs);
    EXPECT_EQ(inputs, 8);
    EXPECT_EQ(outputs, 2);
    ASIOChannelInfo info{};
    info.channel = 7;
    info.isInput = ASIOTrue;
    EXPECT_EQ(host->getChannelInfo(&info), ASE_OK);
    EXPECT_STREQ(info.name, "Tessel-8");
    info.channel = 8;
    EXPECT_EQ(host->getChannelInfo(&info), ASE_InvalidParameter);
}

// Two microphones of the current product and one that needs a firmware update: that one is input 0 (its match
// string comes first), the flag is set, and every input is silent.
TEST_F(OpenSequence, AFirmwareMicrophoneSilencesAllAndComesFirst) {
    ScopedWorld world(sim::devices::Machine({Microphone(10), Microphone(20), Microphone(30, true)}));
    StandInHost host;
    ASSERT_EQ(host->init(nullptr), ASIOTrue);
    CAsioDriver* driver = Inside(host.driver());
    EXPECT_TRUE(driver->firmwareUpdateRequired);
    EXPECT_EQ(driver->numInputs, 3);
    EXPECT_EQ(driver->deviceManager.GetMatchString(driver->inputFifos[0].device), "usb#vid_5e2d&pid_0101");
    EXPECT_EQ(driver->deviceManager.GetMatchString(driver->inputFifos[1].device), "usb#vid_5e2d&pid_0102");
    ASSERT_EQ(host.Prepare(288), ASE_OK);
    ASSERT_EQ(host->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForSwitches(40));
    host->stop();
    for (const std::vector<float>& channel : host.Inputs())
        for (float x : channel) ASSERT_EQ(x, 0.0f);
}

TEST_F(OpenSequence, PlaybackDeviceByNameWithRateFallbacks) {
    struct Case {
        const char* chosen;
        std::vector<DWORD> rates;
        double driverRate;
        bool attached;
        double outputRate;
        uint32_t decimation;
    } cases[] = {
        {"Speakers", {48000, 96000, 192000}, 48000.0, true, 48000.0, 1},
        {"Speakers", {48000}, 192000.0, true, 48000.0, 4},
        {"Speakers", {48000}, 96000.0, true, 48000.0, 2},
        {"Speakers", {44100}, 96000.0, false, 48000.0, 1},  // fails everywhere: outputs discarded
        {"Nowhere", {48000}, 48000.0, false, 48000.0, 1},   // a name no device has
        {"", {48000}, 48000.0, false, 48000.0, 1},          // none chosen
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.chosen << " at " << c.driverRate);
        drivertest::StoreSetting("Output Device", REG_SZ, c.chosen);
        ScopedWorld world(sim::devices::Machine({Microphone()}, {Playback("Speakers", c.rates), Playback("Headset")}));
        StandInHost host;
        ASSERT_EQ(host->init(nullptr), ASIOTrue);
        ASSERT_EQ(host->setSampleRate(c.driverRate), ASE_OK);
        CAsioDriver* driver = Inside(host.driver());
        EXPECT_EQ(driver->outputFifo.device != nullptr, c.attached);
        EXPECT_EQ(driver->outputSampleRate, c.outputRate);
        EXPECT_EQ(driver->decimationFactor, c.decimation);
        // Every playback device present is listed, whether it opened at that rate or not.
        std::vector<std::string> names;
        for (const OutputDeviceEntry& entry : driver->outputDevices) names.push_back(entry.friendlyName);
        EXPECT_NE(std::find(names.begin(), names.end(), "Headset"), names.end());
        int32_t inputs = 0, outputs = 0;
        host->getChannels(&inputs, &outputs);
        EXPECT_EQ(outputs, 2);
        ASSERT_EQ(host.Prepare(288), ASE_OK);
        ASSERT_EQ(host->start(), ASE_OK);
        ASSERT_TRUE(host.WaitForSwitches(10));
        host->stop();
    }
}

// 48000 → 96000 → 192000 while running: the stream goes on at each rate, and the host hears of each change once,
// by sampleRateDidChange and by the flag in one time-info switch.
TEST_F(OpenSequence, RateChangesWhileRunning) {
    ScopedWorld world(sim::devices::Machine({Microphone(-30), Microphone(40)}));
    StandInHost host;
    ASSERT_EQ(host->init(nullptr), ASIOTrue);
    ASSERT_EQ(host.Prepare(288), ASE_OK);
    ASSERT_EQ(host->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForSwitches(20));
    for (double rate : {96000.0, 192000.0}) {
        ASSERT_EQ(host->setSampleRate(rate), ASE_OK);
        ASSERT_TRUE(host.WaitForSwitches(40)) << "the stream did not go on at " << rate;
        ASIOSampleRate now = 0;
        host->getSampleRate(&now);
        EXPECT_EQ(now, rate);
    }
    host->stop();
    EXPECT_EQ(host.RateChanges(), (std::vector<double>{96000.0, 192000.0}));
    int flagged = 0;
    for (uint32_t flags : host.TimeFlags()) flagged += (flags & kSampleRateChanged) != 0;
    EXPECT_EQ(flagged, 2);
}

// A microphone unplugged while running: the others go on, the gone one delivers silence (counted as drop-outs),
// nothing crashes.
TEST_F(OpenSequence, UnpluggedWhileRunning) {
    MicrophoneConfig ramp = Microphone(-20);
    ramp.signal = Signal::Ramp();
    ScopedWorld world(sim::devices::Machine({ramp, ramp, ramp}));
    {
        StandInHost host;
        ASSERT_EQ(host->init(nullptr), ASIOTrue);
        ASSERT_EQ(host.Prepare(288), ASE_OK);
        ASSERT_EQ(host->start(), ASE_OK);
        ASSERT_TRUE(host.WaitForSwitches(60));
        world.microphone(1)->Shutdown();
        const size_t before = host.Inputs()[1].size();
        ASSERT_TRUE(host.WaitForSwitches(100)) << "the others stopped too";
        host->stop();
        const auto inputs = host.Inputs();
        // Well after the unplug, microphone 2 is silent and the others carry their sine.
        const size_t from = before + 40 * 288;
        ASSERT_LT(from, inputs[1].size());
        for (size_t i = from; i < inputs[1].size(); ++i) ASSERT_EQ(inputs[1][i], 0.0f) << i;
        // The others keep delivering their ramps: (almost) every buffer carries audio.
        for (size_t k : {0u, 2u}) {
            size_t silentBuffers = 0, buffers = 0;
            for (size_t b = from; b + 288 <= inputs[k].size(); b += 288, ++buffers) {
                bool silent = true;
                for (size_t i = b; i < b + 288; ++i) silent = silent && inputs[k][i] == 0.0f;
                silentBuffers += silent;
            }
            EXPECT_LE(silentBuffers * 10, buffers) << "microphone " << k + 1 << " went quiet too";
        }
        EXPECT_GT(Inside(host.driver())->dropOutCount.load(), 0u);
    }
    world->Uninstall();
}
