// The panel's thread protocol as a host meets it through controlPanel, start, stop and the driver's release; the
// window is the simulated platform's stand-in, acted on as a user would.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/os/sim_control.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/wait_for.h"
#include "ui/control_panel.h"
#include "ui/panel_sim.h"

namespace {

using drivertest::OwnedDriver;
using testwait::WaitFor;

// A host's controlPanel call on a thread of its own, so that the test can act while it waits.
struct HostCall {
    explicit HostCall(CAsioDriver* driver)
        : thread([this, driver] {
              result = driver->controlPanel();
              returned = true;
          }) {}
    ~HostCall() {
        if (thread.joinable()) thread.join();
    }
    std::atomic<bool> returned{false};
    ASIOError result = ASE_HWMalfunction;
    std::thread thread;
};

TEST(ControlPanel, ModalForTheHostUntilOkOrEscapeClosesIt) {
    OwnedDriver driver;
    for (bool escape : {false, true}) {
        HostCall call(driver.driver);
        ASSERT_TRUE(WaitFor([&] { return driver->panelWindow.load() != nullptr; }));
        HWND window = driver->panelWindow;
        Sleep(50);
        EXPECT_FALSE(call.returned) << "controlPanel returned while the panel is open";
        // A second request while the panel is open returns at once and opens nothing.
        EXPECT_EQ(driver->controlPanel(), ASE_OK);
        EXPECT_EQ(panel_sim::PanelWindowCount(), 1);
        ASSERT_TRUE(escape ? panel_sim::PressEscape(window) : panel_sim::PressOk(window));
        ASSERT_TRUE(WaitFor([&] { return call.returned.load(); }));
        EXPECT_EQ(call.result, ASE_OK);
        EXPECT_EQ(driver->panelWindow.load(), nullptr);
        EXPECT_FALSE(panel_sim::IsPanelWindow(window));
        // controlPanel joined the panel's thread before it returned.
        EXPECT_EQ(driver->panelThread, INVALID_HANDLE_VALUE);
    }
}

TEST(ControlPanel, ModelessReturnsOnceShownAndStopLaterLeavesTheSetting) {
    OwnedDriver driver;
    driver->modelessPanel = true;
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    HWND window = driver->panelWindow;
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(panel_sim::IsPanelWindow(window));
    // The panel acts while the host goes on: picking a buffer size is seen at the host's next getBufferSize.
    ASSERT_TRUE(panel_sim::Send(window, [](ControlPanelState& state) { state.ChooseBufferSize(3); }));
    int32_t minSize, maxSize, preferred, granularity;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    EXPECT_EQ(preferred, 576);

    Sleep(300);  // well past the 200 ms in which a host's stop counts as never having shown the panel
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->panelWindow.load(), nullptr);
    EXPECT_EQ(driver->panelThread, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(panel_sim::IsPanelWindow(window));
    EXPECT_TRUE(driver->modelessPanel);
}

TEST(ControlPanel, StopRightAfterTheHostOpenedItClosesItAndTurnsModelessOff) {
    OwnedDriver driver;
    driver->modelessPanel = true;
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    ASSERT_NE(driver->panelWindow.load(), nullptr);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->panelWindow.load(), nullptr);
    EXPECT_FALSE(driver->modelessPanel);
    // ... and the destructor saves it so.
    driver.Release();
    const auto modeless = drivertest::ReadSetting("Modeless Control Panel");
    EXPECT_TRUE(modeless.present);
    EXPECT_EQ(modeless.AsDword(), 0u);
}

// A modeless panel closed by its user can be opened again, and the release closes one still open and ends its
// thread (the test's machine counts any thread that had to be terminated).
TEST(ControlPanel, AModelessPanelReopensAfterItsUserClosedItAndTheReleaseClosesIt) {
    OwnedDriver driver;
    driver->modelessPanel = true;
    HWND window = nullptr;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(driver->controlPanel(), ASE_OK);
        window = driver->panelWindow;
        ASSERT_NE(window, nullptr) << round;
        if (round == 2) break;
        ASSERT_TRUE(panel_sim::PressOk(window));
        ASSERT_TRUE(WaitFor([&] { return driver->panelWindow.load() == nullptr; }));
    }
    ASSERT_TRUE(panel_sim::IsPanelWindow(window));
    driver.Release();
    EXPECT_FALSE(panel_sim::IsPanelWindow(window));
    EXPECT_EQ(panel_sim::PanelWindowCount(), 0);
}

// Neither a panel that cannot be created, nor a stop without a panel, nor closing twice holds the host up or
// leaves anything behind; the next attempt opens the panel.
TEST(ControlPanel, NoPanelIsHarmless) {
    OwnedDriver driver;
    panel_sim::FailNextPanelWindow();
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    EXPECT_EQ(driver->panelWindow.load(), nullptr);
    EXPECT_EQ(panel_sim::PanelWindowCount(), 0);
    EXPECT_EQ(driver->stop(), ASE_OK);
    ClosePanel(*driver.driver);
    EXPECT_EQ(driver->panelThread, INVALID_HANDLE_VALUE);
    driver->modelessPanel = true;
    driver->controlPanel();
    EXPECT_NE(driver->panelWindow.load(), nullptr);
}

// A driver whose start succeeds: a stand-in endpoint paces the clock, no microphone is counted (no gain strip).
struct RunnableDriver : OwnedDriver {
    RunnableDriver() {
        driver->inputFifos[0].device = reinterpret_cast<CKSDevice*>(&driver->inputFifos[0]);
        driver->numOutputs = CAsioDriver::kNumOutputs;
        callbacks.bufferSwitch = [](int32_t, ASIOBool) {};
        callbacks.asioMessage = [](int32_t, int32_t, void*, double*) -> int32_t { return 0; };
        ASIOBufferInfo info{};
        info.isInput = ASIOFalse;
        EXPECT_EQ(driver->createBuffers(&info, 1, 288, &callbacks), ASE_OK);
    }
    ASIOCallbacks callbacks{};
};

TEST(ControlPanel, StartOpensThePanelByItselfWhenAskedToAndStopClosesIt) {
    RunnableDriver driver;
    driver->autoOpenPanel = true;
    driver->modelessPanel = true;
    EXPECT_EQ(driver->start(), ASE_OK);  // returns with the panel shown, not when it closes
    HWND window = driver->panelWindow;
    EXPECT_TRUE(panel_sim::IsPanelWindow(window));
    EXPECT_TRUE(driver->started);
    // Opened by the driver, not the host: an immediate stop keeps the modeless setting.
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_FALSE(panel_sim::IsPanelWindow(window));
    EXPECT_EQ(driver->panelThread, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(driver->modelessPanel);

    // Also without the modeless setting the automatic panel never holds start up.
    driver->modelessPanel = false;
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_TRUE(panel_sim::IsPanelWindow(driver->panelWindow));
    driver.Release();  // released while running with the panel open
    EXPECT_EQ(panel_sim::PanelWindowCount(), 0);
}

// A microphone needing new firmware: the notice shows in place of the panel; an auto-opening start shows it twice.
TEST(ControlPanel, FirmwareNoticeInPlaceOfThePanel) {
    RunnableDriver driver;
    driver->firmwareUpdateRequired = true;
    const int before = panel_sim::FirmwareNoticeCount();
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    EXPECT_EQ(panel_sim::FirmwareNoticeCount(), before + 1);
    EXPECT_EQ(driver->panelThread, INVALID_HANDLE_VALUE);

    driver->autoOpenPanel = true;
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(panel_sim::FirmwareNoticeCount(), before + 3);
    EXPECT_EQ(driver->panelWindow.load(), nullptr);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(panel_sim::PanelWindowCount(), 0);
}

}  // namespace
