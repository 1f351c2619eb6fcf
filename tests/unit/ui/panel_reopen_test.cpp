// An open panel while the host reopens the devices: the panel's thread reads each slot's endpoint for its gain
// sliders and the rate for its metrics line while the host's thread destroys the endpoints and attaches new ones
// (a new sample rate). Under the thread sanitizer this is where an unguarded read shows up; everywhere, the panel
// must keep acting on the microphone that is now in its slot.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "sim/devices/world.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/wait_for.h"
#include "ui/panel_sim.h"

using sim::devices::MicrophoneConfig;
using sim::devices::ScopedWorld;
using testwait::WaitFor;

TEST(PanelDuringReopen, GainsAndMetricsFollowTheReopenedMicrophones) {
    constexpr int kMicrophones = 3;
    ScopedWorld world(sim::devices::Machine(std::vector<MicrophoneConfig>(kMicrophones)));
    drivertest::OwnedDriver driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    driver->showMetrics = true;
    driver->modelessPanel = true;
    ASSERT_EQ(driver->controlPanel(), ASE_OK);
    HWND window = driver->panelWindow;
    ASSERT_NE(window, nullptr);

    // The user keeps moving sliders while the metrics line refreshes, as fast as the panel's thread serves them.
    std::atomic<bool> done{false};
    std::atomic<int> served{0};
    std::atomic<int> wrongLines{0};
    std::thread user([&] {
        for (int i = 0; !done; ++i) {
            panel_sim::Send(window, [&, i](ControlPanelState& state) {
                state.MoveGain(i % kMicrophones, 20 + i % 40);
                std::string line;
                if (!state.MetricsText(&line) || line.find("Latency:") == std::string::npos) ++wrongLines;
            });
            ++served;
        }
    });

    for (int round = 0; round < 6; ++round) {
        ASSERT_EQ(driver->setSampleRate(round % 2 ? 48000.0 : 96000.0), ASE_OK);
        // Let the panel act between reopens too, so that its reads meet both the reopen and its result.
        const int before = served;
        ASSERT_TRUE(WaitFor([&] { return served >= before + 3; })) << round;
    }
    done = true;
    user.join();
    EXPECT_EQ(wrongLines, 0);
    EXPECT_EQ(driver->numInputs, kMicrophones);

    // After the reopens, a slider reaches the microphone now attached to its slot: position 20 is +20 dB.
    ASSERT_TRUE(panel_sim::Send(window, [](ControlPanelState& state) { state.MoveGain(1, 20); }));
    EXPECT_FLOAT_EQ(world.microphone(1)->volume()->LevelDb(), 20.0f);
    EXPECT_EQ(driver->stop(), ASE_OK);
}
