// The virtual machine of the test-only DLL, configured from outside the process so that any host can be used
// unchanged. The environment variable TESSEL_VIRTUAL_MACHINE holds `key=value` items separated by ';':
//
//   microphones=4                      how many Tessel microphones (0 to 8; default 4)
//   offsets=-80,-20,+30,+90            their crystal offsets in ppm, in order (default these; missing ones 0)
//   signals=ramp,sine:1000:0.5         their signals: ramp, silence, sine:HZ[:LEVEL], impulses:FRAMES[:LEVEL];
//                                      one entry serves every microphone (default ramp)
//   firmware=2                         microphone 2 (counted from 1) has firmware the driver cannot record from
//   playback=Speakers | none           the playback device's name, or no playback device (default Speakers)
//   playback-offset=+10                its crystal offset in ppm (default 0)
//   unplug=2@1.5                       microphone 2 is unplugged 1.5 s after the machine was built
//   stall=3@2:200                      microphone 3 stalls for 200 ms, 2 s after the machine was built
//
// A configuration that does not parse builds a machine without devices (the driver then finds no microphone)
// and says why through OutputDebugString.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/devices/world.h"

namespace sim::win {

struct VirtualFault {
    enum class Kind { Unplug, Stall } kind = Kind::Unplug;
    size_t microphone = 0;  // index from 0
    double atSeconds = 0.0;
    int stallMs = 0;
};

struct VirtualMachineConfig {
    sim::devices::WorldConfig world;
    std::vector<VirtualFault> faults;
    std::vector<std::string> signals;  // each microphone's signal as it was given ("ramp", "sine:1000:0.5", ...)
};

// Parses the text of TESSEL_VIRTUAL_MACHINE (empty: the default machine); false with `error` set on a malformed
// item.
bool ParseVirtualMachine(const std::string& text, VirtualMachineConfig* config, std::string* error);

// Builds and installs the machine once per process, on the first device-facing call.
void EnsureVirtualMachine();

// The machine, built on first use, and the signal microphone `index` was given ("" where there is none).
std::shared_ptr<sim::devices::World> VirtualWorld();
std::string VirtualSignalText(size_t index);

}  // namespace sim::win
