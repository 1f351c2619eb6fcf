// ControlPanelState: one open control panel's view of the driver and the changes its controls make, apart from
// the window that shows them.
//
// Ownership and lifecycle: the panel's window creates one when it is initialised and deletes it when it is
// destroyed; the sliders' scales and the device names are taken once, at opening, so the panel shows the
// driver's state as of its opening and a device list that the host's thread replaces meanwhile (a reopen of the
// devices) is never read half-built. Every method runs on the panel's thread. It writes two settings into the
// driver record, the preferred buffer size (an atomic) and the output device name (under the record's settings
// lock), and sets microphone gains through MicrophoneGains, which the stream threads never touch.
#pragma once

#include <string>
#include <vector>

#include "ui/panel_model.h"

class CAsioDriver;

// The microphones' system volumes, by slot, as the panel needs them.
class MicrophoneGains {
public:
    virtual ~MicrophoneGains() = default;
    // The slot's volume range; all zero when the slot has no endpoint or the endpoint no hardware volume.
    virtual panel::GainRange Range(int slot) = 0;
    // Current gain in dB; 0 when the slot has no endpoint or the endpoint no volume interface.
    virtual float GainDb(int slot) = 0;
    // Sets the gain at once; nothing for a slot without an endpoint or volume interface.
    virtual void SetGainDb(int slot, float gainDb) = 0;
};

// The gains of the driver's attached microphones (the endpoint of each microphone FIFO), through its device
// manager.
class DriverGains : public MicrophoneGains {
public:
    explicit DriverGains(CAsioDriver& driverRecord) : driver(driverRecord) {}
    panel::GainRange Range(int slot) override;
    float GainDb(int slot) override;
    void SetGainDb(int slot, float gainDb) override;

private:
    CAsioDriver& driver;
};

struct GainStripView {
    bool shown = false;   // slot < number of microphones
    bool scaled = false;  // the microphone reports a usable range: the slider gets 0 … steps
    int steps = 0;
    int position = 0;
    std::string label;  // "0dB"
};

struct PanelView {
    std::string title;
    std::string variant;
    std::vector<std::string> bufferSizes;
    int bufferSizeSelection = 0;
    std::vector<std::string> outputs;
    int outputSelection = 0;
    GainStripView strips[panel::kSlots];
};

class ControlPanelState {
public:
    ControlPanelState(CAsioDriver& driver, MicrophoneGains& gains);

    const PanelView& View() const { return view; }

    // The user chose a list entry; an index outside the list clears the output and leaves the buffer size.
    void ChooseBufferSize(int index);
    void ChooseOutput(int index);
    // A gain slider moved to `position` (any scroll notification, also during a drag): the microphone's gain is
    // set at once. Returns the slot's new dB label; an unknown slot changes nothing and returns "".
    std::string MoveGain(int slot, int position);
    // The metrics line for the periodic refresh, when the "Show Metrics" setting is on; false otherwise (the
    // notice text stays).
    bool MetricsText(std::string* text) const;

private:
    CAsioDriver& driver;
    MicrophoneGains& gains;
    std::vector<std::string> deviceNames;  // the output list as shown, after "No Output Selected"
    panel::GainRange ranges[panel::kSlots];
    PanelView view;
};
