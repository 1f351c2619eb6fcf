// The driver's clock starting real endpoints through the device manager: eight microphones, some of which never
// answer the float command, all attached to the driver's FIFOs as the open sequence attaches them. `start`
// succeeds at once and every microphone's sound reaches the host, decoded right.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <vector>

#include "tests/support/driver_fixture.h"
#include "tests/unit/device/endpoint_support.h"

using endpointtest::ComJoined;
using endpointtest::kMatchStrings;
using endpointtest::WaitFor;
using sim::devices::HidReply;
using sim::devices::Machine;
using sim::devices::MicrophoneConfig;
using sim::devices::ScopedWorld;
using sim::devices::Signal;

TEST(DriverWithEndpoints, StartSucceedsWhileSilentMicrophonesStillAnswerAndEveryInputIsDecodedRight) {
    ComJoined com;
    std::vector<MicrophoneConfig> configs(8);
    for (int i = 0; i < 8; ++i) configs[i].signal = Signal::Sine(500.0 + 100.0 * i, 0.25);
    ScopedWorld world(Machine(configs));
    for (int i : {1, 4, 6}) world.microphone(i)->hid()->SetReply(HidReply::None);
    world.microphone(3)->hid()->SetReply(HidReply::OtherReportId);

    drivertest::RecordingHost state;  // outlives the driver, whose clock thread calls it
    drivertest::OwnedDriver driver(true);
    state.driver = driver.driver;
    {
        CKSDeviceManager& manager = driver->deviceManager;
        ASSERT_TRUE(manager.Enumerate());
        auto endpoints = manager.OpenCaptureDevices(kMatchStrings, 48000, 1, 288, nullptr, nullptr);
        ASSERT_EQ(endpoints.size(), 8u);
        for (int i = 0; i < 8; ++i) {
            driver->inputFifos[i].device = endpoints[i];
            driver->inputFifos[i].Configure(48000.0f, 288);
            manager.SetDataCallback(endpoints[i], &OnCaptureData, &driver->inputFifos[i]);
        }
        driver->numInputs = 8;
        driver->numOutputs = CAsioDriver::kNumOutputs;
        std::vector<ASIOBufferInfo> infos;
        for (int i = 0; i < 8; ++i) infos.push_back(drivertest::Entry(true, i));
        ASSERT_EQ(driver->createBuffers(infos.data(), 8, 288, &drivertest::RecordingHost::callbacks), ASE_OK);

        ASSERT_EQ(driver->start(), ASE_OK);
        // The silent microphones' exchanges were still under way when start returned.
        EXPECT_TRUE(static_cast<CInputCaptureKS*>(endpoints[1])->Starting());
        // Past the 2 s reply window, the start-up periods and the FIFOs' settling.
        EXPECT_TRUE(WaitFor([&] { return state.switches.load() > 600; }));
        EXPECT_EQ(driver->stop(), ASE_OK);

        std::lock_guard<std::mutex> lock(state.mutex);
        ASSERT_EQ(state.inputs.size(), 8u);
        for (int i = 0; i < 8; ++i) {
            SCOPED_TRACE(testing::Message() << "microphone " << i);
            const std::vector<float>& in = state.inputs[static_cast<size_t>(i)];
            ASSERT_GT(in.size(), 288u * 400);
            // The last 200 buffers: the sine at its level, never a misread coding (which reads as 0.4 to 0.6 or
            // beyond full scale). The converter may overshoot a little where a late packet left a splice.
            float peak = 0.0f;
            for (size_t s = in.size() - 288 * 200; s < in.size(); ++s) peak = std::max(peak, std::fabs(in[s]));
            EXPECT_GT(peak, 0.2f);
            EXPECT_LT(peak, 0.35f);
            EXPECT_EQ(world.microphone(i)->FloatSamples(), i != 1 && i != 4 && i != 6);
        }
    }
    driver.Release();
}
