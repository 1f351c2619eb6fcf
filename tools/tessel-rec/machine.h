// What tessel-rec can learn about the machine it records from beyond what a host sees. On Linux with --sim it
// builds a virtual machine (microphones on their own crystals, a playback device, faults) and can look into the
// linked-in driver; built for Windows it records from real microphones and knows only what IASIO says, unless
// the driver module is the test-only one whose microphones are virtual, which tells the same through an export.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "asio/asio.h"

struct MicrophoneSetup {
    double offsetPpm = 0.0;
    std::string signal = "ramp";  // "ramp", "sine:HZ[:LEVEL]", "impulses:FRAMES[:LEVEL]", "silence"
    bool needsFirmware = false;
    std::string fault;             // "", "unplug:SECONDS", "stall:SECONDS:MS"
    double acousticDelayMs = 0.0;  // how long the room's events take to reach it
};

struct MachineSetup {
    std::vector<MicrophoneSetup> microphones;
    bool playback = true;
    std::string playbackName = "Speakers";
    double playbackOffsetPpm = 0.0;
    // The room's events: one every eventIntervalSeconds (0: none), the first at firstEventSeconds after the machine
    // is built; a click, or a tone burst.
    double eventIntervalSeconds = 0.0;
    double firstEventSeconds = 1.0;
    bool eventBursts = false;
};

// Parses "-80,-20,+30,+90" into offsets; false on a malformed list.
bool ParseOffsets(const std::string& text, std::vector<double>* offsets);

// What the driver knew of one microphone when the recording stopped (read after stop, while no stream runs).
struct MicrophoneMetrics {
    bool known = false;
    double converterRatio = 1.0;
    bool offsetKnown = false;
    double offsetPpm = 0.0;  // the device's rate offset as the driver measured it
    uint32_t fifoFillFrames = 0;
    double slowFillFrames = 0.0;
};

class Machine {
public:
    virtual ~Machine() = default;
    // The driver object tessel-rec created, before any other call concerns it.
    virtual void Attach(IASIO* driver) = 0;
    // The crystal frame (at `rate`) that microphone `index` had counted at steady-clock time `steadyNs`; false
    // when the machine cannot tell (real hardware).
    virtual bool CrystalFrame(size_t index, int64_t steadyNs, double rate, int64_t* frame) = 0;
    // The signal a microphone carries, if known ("ramp", "impulses:N", ...).
    virtual std::string Signal(size_t index) = 0;
    // Applies faults that fall due `elapsedSeconds` into the recording.
    virtual void Tick(double elapsedSeconds) = 0;
    virtual MicrophoneMetrics Metrics(IASIO* driver, size_t index) = 0;
    virtual uint32_t DriverDropOuts(IASIO* driver) = 0;
    // Packets microphone `index`'s device has itself completed more than a packet's length late so far: a virtual
    // device's thread held up by a busy machine, which may overwrite audio before any driver could read it where
    // hardware would not. False where the machine cannot tell (real hardware).
    virtual bool DeviceLatePackets(size_t index, uint64_t* packets) = 0;
    // Whether the machine can tell when the outputs sounded: only then does tessel-rec write its pulses into
    // them (never into real speakers).
    virtual bool HearsOutputs() = 0;
    // Steady-clock nanoseconds at which each rising edge through half of `level` sounded on the playback
    // device's first channel since the last call (the record is taken); empty where the machine cannot tell.
    virtual std::vector<int64_t> OutputEdges(float level) = 0;
};

// The machine tessel-rec runs on: real hardware (nothing to look into, but what a test-only driver module tells).
std::unique_ptr<Machine> RealMachine();
// A virtual machine built and installed for the life of the object; null where there is no simulation.
std::unique_ptr<Machine> VirtualMachine(const MachineSetup& setup, std::string* error);
// Steady-clock nanoseconds, the time base of CrystalFrame.
int64_t SteadyNanoseconds();
