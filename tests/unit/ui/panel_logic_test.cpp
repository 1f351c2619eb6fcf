// The control panel's contents and what its controls change, without a window: the lists and their selections,
// the gain sliders' scale both ways, the metrics and version lines.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ui/panel_model.h"
#include "ui/panel_state.h"
#include "tests/support/driver_fixture.h"

namespace {

using drivertest::OwnedDriver;
using panel::GainRange;

// Microphones whose volumes the test sets up; records what the panel sets.
struct FakeGains : MicrophoneGains {
    GainRange ranges[panel::kSlots];
    float gains[panel::kSlots] = {};
    int sets = 0;
    GainRange Range(int slot) override { return ranges[slot]; }
    float GainDb(int slot) override { return gains[slot]; }
    void SetGainDb(int slot, float gainDb) override {
        gains[slot] = gainDb;
        ++sets;
    }
};

TEST(PanelLogic, BufferSizeListShowsTheNextOfferForAStoredSizeAndSetsThePickedOne) {
    EXPECT_EQ(panel::BufferSizeSelection(288), 1);
    EXPECT_EQ(panel::BufferSizeSelection(200), 1);  // between two offers: the next larger one
    EXPECT_EQ(panel::BufferSizeSelection(300), 2);
    EXPECT_EQ(panel::BufferSizeSelection(144), 0);
    EXPECT_EQ(panel::BufferSizeSelection(0), 0);
    EXPECT_EQ(panel::BufferSizeSelection(1152), 7);
    EXPECT_EQ(panel::BufferSizeSelection(5000), 7);  // past the list: the largest, never an index beyond it

    OwnedDriver driver;
    FakeGains gains;
    driver->preferredBufferSize = 200;
    ControlPanelState state(*driver, gains);
    ASSERT_EQ(state.View().bufferSizes.size(), 8u);
    EXPECT_EQ(state.View().bufferSizes[state.View().bufferSizeSelection], "288");
    state.ChooseBufferSize(3);
    EXPECT_EQ(driver->preferredBufferSize, 576u);
    int32_t minSize, maxSize, preferred, granularity;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    EXPECT_EQ(preferred, 576);
    state.ChooseBufferSize(8);  // no such entry: nothing changes
    state.ChooseBufferSize(-1);
    EXPECT_EQ(driver->preferredBufferSize, 576u);
}

TEST(PanelLogic, OutputListSelectsTheLastDeviceOfTheChosenNameOrNoOutput) {
    OwnedDriver driver;
    FakeGains gains;
    driver->outputDevices = {{"Speakers", {}}, {"Headphones", {}}, {"Speakers", {}}};
    driver->outputDeviceName = "speakers";  // matched byte for byte: another case is another name
    {
        ControlPanelState state(*driver, gains);
        EXPECT_EQ(state.View().outputs,
                  (std::vector<std::string>{"No Output Selected", "Speakers", "Headphones", "Speakers"}));
        EXPECT_EQ(state.View().outputSelection, 0);
    }
    driver->outputDeviceName = "Speakers";
    ControlPanelState state(*driver, gains);
    EXPECT_EQ(state.View().outputSelection, 3);

    state.ChooseOutput(2);
    EXPECT_EQ(driver->outputDeviceName, "Headphones");
    // The list as shown when the panel opened: a reopen of the devices meanwhile does not shift the entries.
    driver->outputDevices.clear();
    state.ChooseOutput(1);
    EXPECT_EQ(driver->outputDeviceName, "Speakers");
    state.ChooseOutput(0);
    EXPECT_EQ(driver->outputDeviceName, "");
    driver->outputDeviceName = "Headphones";
    state.ChooseOutput(4);  // beyond the list: no output
    EXPECT_EQ(driver->outputDeviceName, "");
    EXPECT_EQ(state.View().outputSelection, 0);
}

TEST(PanelLogic, GainSliderMapsTheMicrophoneRangeBothWays) {
    const GainRange range{-10.0f, 30.0f, 0.5f};
    EXPECT_EQ(panel::GainSteps(range), 80);
    EXPECT_EQ(panel::GainPosition(range, 0.0f), 60);
    EXPECT_EQ(panel::GainPosition(range, 0.3f), 60);  // between steps: the step below
    EXPECT_FLOAT_EQ(panel::GainAtPosition(range, 0), 30.0f);
    for (int position = 0; position <= 80; ++position)
        EXPECT_EQ(panel::GainPosition(range, panel::GainAtPosition(range, position)), position);

    // A top that is no whole number of steps above the minimum: the top is the last whole step below it.
    const GainRange ragged{0.0f, 10.0f, 3.0f};
    EXPECT_EQ(panel::GainSteps(ragged), 3);
    EXPECT_FLOAT_EQ(panel::GainAtPosition(ragged, 0), 9.0f);

    // A device's nonsense never reaches the slider as a position outside it.
    EXPECT_EQ(panel::GainPosition(range, 100.0f), 0);
    EXPECT_EQ(panel::GainPosition(range, -100.0f), 80);
    EXPECT_EQ(panel::GainPosition(range, std::numeric_limits<float>::quiet_NaN()), 80);
    EXPECT_FLOAT_EQ(panel::GainAtPosition(range, 500), -10.0f);
    EXPECT_FLOAT_EQ(panel::GainAtPosition(range, -3), 30.0f);
}

TEST(PanelLogic, RangesWithoutAUsableScaleGiveNoSteps) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (GainRange range :
         {GainRange{}, GainRange{-10, 30, 0}, GainRange{-10, 30, -1}, GainRange{30, -10, 0.5f},
          GainRange{nan, 30, 0.5f}, GainRange{-10, inf, 0.5f}, GainRange{-10, 30, nan}, GainRange{-10, 30, 1e-30f}}) {
        EXPECT_FALSE(panel::HasGainScale(range)) << range.minDb << " " << range.maxDb << " " << range.stepDb;
        EXPECT_EQ(panel::GainSteps(range), 0);
        EXPECT_EQ(panel::GainPosition(range, 5.0f), 0);
        // Without a scale the slider sets the minimum (0 dB for a microphone without hardware volume).
        if (std::isfinite(range.minDb)) {
            EXPECT_EQ(panel::GainAtPosition(range, 7), range.minDb);
        }
    }
    EXPECT_TRUE(panel::HasGainScale(GainRange{0, 0, 1}));  // one fixed gain: a slider of one position
}

TEST(PanelLogic, GainStripsShowOneSliderPerMicrophoneAndSetTheGainAsTheyMove) {
    OwnedDriver driver;
    FakeGains gains;
    driver->numInputs = 3;
    gains.ranges[0] = {-10.0f, 30.0f, 0.5f};
    gains.gains[0] = 0.0f;
    gains.ranges[1] = {-10.0f, 30.0f, 0.5f};
    gains.gains[1] = 12.5f;
    // Slot 3 is a microphone without hardware volume: all zero.
    ControlPanelState state(*driver, gains);
    const PanelView& view = state.View();
    for (int slot = 0; slot < panel::kSlots; ++slot) EXPECT_EQ(view.strips[slot].shown, slot < 3) << slot;
    EXPECT_TRUE(view.strips[0].scaled);
    EXPECT_EQ(view.strips[0].steps, 80);
    EXPECT_EQ(view.strips[0].position, 60);
    EXPECT_EQ(view.strips[0].label, "0dB");
    EXPECT_EQ(view.strips[1].position, 35);
    EXPECT_EQ(view.strips[1].label, "12dB");  // "%.0f" rounds half to even
    EXPECT_FALSE(view.strips[2].scaled);
    EXPECT_EQ(view.strips[2].label, "0dB");

    EXPECT_EQ(state.MoveGain(0, 20), "20dB");
    EXPECT_FLOAT_EQ(gains.gains[0], 20.0f);
    EXPECT_EQ(view.strips[0].position, 20);
    EXPECT_EQ(state.MoveGain(0, 79), "-10dB");  // -9.5 rounds to even
    EXPECT_FLOAT_EQ(gains.gains[0], -9.5f);
    EXPECT_EQ(state.MoveGain(2, 40), "0dB");  // no hardware volume: the minimum
    EXPECT_FLOAT_EQ(gains.gains[2], 0.0f);

    const int setsBefore = gains.sets;
    EXPECT_EQ(state.MoveGain(3, 10), "");  // a hidden slot
    EXPECT_EQ(state.MoveGain(-1, 10), "");
    EXPECT_EQ(state.MoveGain(8, 10), "");
    EXPECT_EQ(gains.sets, setsBefore);
}

TEST(PanelLogic, LabelsAndTheMetricsLineOnlyWithTheSettingOn) {
    EXPECT_EQ(panel::GainLabel(20.0f), "20dB");
    EXPECT_EQ(panel::GainLabel(-0.4f), "0dB");  // never "-0dB"
    EXPECT_EQ(panel::GainLabel(-0.5f), "0dB");
    EXPECT_EQ(panel::GainLabel(-1.0f), "-1dB");
    EXPECT_EQ(panel::MetricsLine(1, 288, 0.0), "DropOut:1 | Latency:288 (0.0ms)");
    EXPECT_EQ(panel::VersionLine(true, 0x00010000, 0x00020000), "Version: 1.0.2.0");
    EXPECT_EQ(panel::VersionLine(true, 0xFFFF0001, 0x00030004), "Version: 65535.1.3.4");
    EXPECT_EQ(panel::VersionLine(false, 0x00010000, 0), "Version: ");

    OwnedDriver driver(true);
    FakeGains gains;
    ControlPanelState state(*driver, gains);
    EXPECT_EQ(state.View().variant, "Korvel Tessel Float");  // the float class names itself so
    std::string text = "unchanged";
    EXPECT_FALSE(state.MetricsText(&text));
    EXPECT_EQ(text, "unchanged");
    driver->showMetrics = true;
    ASSERT_TRUE(state.MetricsText(&text));
    EXPECT_EQ(text, "DropOut:0 | Latency:0 (0.0ms)");
    driver->dropOutCount = 2;
    driver->latencyFrames = 960;
    driver->sampleRate = 96000.0;
    ASSERT_TRUE(state.MetricsText(&text));
    EXPECT_EQ(text, "DropOut:2 | Latency:960 (10.0ms)");
}

}  // namespace
