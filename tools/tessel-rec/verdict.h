// Whether a recording lost audio, and whose doing it was. On a virtual machine whose devices are threads of the
// host process (the test-only DLL under Wine, or the simulated platform on a loaded machine), the machine itself
// loses audio now and then: a device's thread held up past a whole packet overwrites audio no hardware would have,
// and the driver's own threads, held up past the margin of their buffers, can only count the drop-out that follows.
// A recording judges the driver, not the machine, by one rule:
//   - every break in an input must be one the driver counted, or a late packet of that input's own device: a break
//     nobody counted is the driver's fault, whatever the machine did;
//   - the drop-outs the driver counted must be explained by the devices' late packets, but for at most
//     kMaxUnexplainedDropOutsPerSecond of them (a stall of the driver's own threads: the driver reports it, and
//     may report drop-outs that broke no input, such as the playback device's or a capture catch-up);
//   - and the devices may run late at most kMaxLatePacketsPerSecond: beyond that the machine was too busy for the
//     recording to say anything about the driver.
// Where the machine cannot tell its devices' lateness (real hardware), any loss is lost audio.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ChannelLoss {
    bool started = false;      // the channel delivered anything at all
    uint32_t breaks = 0;       // silent buffers and breaks in a known signal after it started
    bool lateKnown = false;    // the machine can tell its device's lateness
    uint64_t latePackets = 0;  // packets its device itself completed more than a packet late while recording
};

struct RecordingLoss {
    double seconds = 0.0;
    bool fileWritten = true;
    uint32_t hostOverruns = 0;  // buffers tessel-rec itself could not keep
    bool driverDropOutsKnown = false;
    uint32_t driverDropOuts = 0;
    std::vector<ChannelLoss> channels;
};

enum class Verdict {
    NoLoss,
    LostWhereMachineStalled,  // every loss is the virtual machine's doing, counted, and rare
    Lost,
};

// At most this many late packets per second of recording, over all devices, may explain losses: beyond that
// the machine was too busy for the recording to judge the driver.
constexpr double kMaxLatePacketsPerSecond = 1.0;
// At most this many drop-outs per second of recording (one per whole ten seconds, and at least one) may be counted
// by the driver beyond those the devices' late packets explain.
constexpr double kMaxUnexplainedDropOutsPerSecond = 0.1;

// The verdict, and in `why` a line that says what decided it.
Verdict Judge(const RecordingLoss& loss, std::string* why);
