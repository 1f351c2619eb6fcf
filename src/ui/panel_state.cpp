#include "ui/panel_state.h"

#include <mutex>

#include "driver/asio_driver.h"

ControlPanelState::ControlPanelState(CAsioDriver& driverRecord, MicrophoneGains& microphoneGains)
    : driver(driverRecord), gains(microphoneGains) {
    view.title = panel::kPanelTitle;
    view.variant = panel::VariantName(driver.isFloat);

    for (uint32_t size : panel::kOfferedBufferSizes) view.bufferSizes.push_back(std::to_string(size));
    view.bufferSizeSelection = panel::BufferSizeSelection(driver.preferredBufferSize.load());

    std::string chosen;
    {
        std::lock_guard<std::mutex> hold(driver.settingsLock);
        for (const OutputDeviceEntry& entry : driver.outputDevices) deviceNames.push_back(entry.friendlyName);
        chosen = driver.outputDeviceName;
    }
    view.outputs = panel::OutputListItems(deviceNames);
    view.outputSelection = panel::OutputSelection(deviceNames, chosen);

    int microphones = 0;
    {
        std::lock_guard<std::mutex> hold(driver.deviceStateLock);
        microphones = driver.numInputs;
    }
    for (int slot = 0; slot < panel::kSlots; ++slot) {
        GainStripView& strip = view.strips[slot];
        strip.shown = slot < microphones;
        if (!strip.shown) continue;
        ranges[slot] = gains.Range(slot);
        const float gainDb = gains.GainDb(slot);
        strip.scaled = panel::HasGainScale(ranges[slot]);
        strip.steps = panel::GainSteps(ranges[slot]);
        strip.position = panel::GainPosition(ranges[slot], gainDb);
        strip.label = panel::GainLabel(gainDb);
    }
}

void ControlPanelState::ChooseBufferSize(int index) {
    const uint32_t size = panel::BufferSizeAt(index);
    if (size == 0) return;
    // Not announced to the host: it reads the new preference at its next getBufferSize, and the destructor saves
    // it.
    driver.preferredBufferSize = size;
    view.bufferSizeSelection = index;
}

void ControlPanelState::ChooseOutput(int index) {
    // Takes effect at the next device open sequence; saved with the settings.
    std::string name = panel::OutputNameAt(deviceNames, index);
    view.outputSelection = name.empty() ? 0 : index;
    std::lock_guard<std::mutex> hold(driver.settingsLock);
    driver.outputDeviceName = std::move(name);
}

std::string ControlPanelState::MoveGain(int slot, int position) {
    if (slot < 0 || slot >= panel::kSlots || !view.strips[slot].shown) return std::string();
    const float gainDb = panel::GainAtPosition(ranges[slot], position);
    gains.SetGainDb(slot, gainDb);
    GainStripView& strip = view.strips[slot];
    strip.position = strip.scaled ? position : strip.position;
    strip.label = panel::GainLabel(gainDb);
    return strip.label;
}

bool ControlPanelState::MetricsText(std::string* text) const {
    {
        std::lock_guard<std::mutex> hold(driver.settingsLock);
        if (!driver.showMetrics) return false;
    }
    double sampleRate = 0;
    {
        std::lock_guard<std::mutex> hold(driver.deviceStateLock);
        sampleRate = driver.sampleRate;
    }
    *text = panel::MetricsLine(driver.dropOutCount.load(), driver.latencyFrames.load(), sampleRate);
    return true;
}
