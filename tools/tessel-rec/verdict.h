// Whether a recording lost audio, and whose doing it was. On a virtual machine whose devices are threads of the
// host process (the test-only DLL under Wine, or the simulated platform on a loaded machine), a device's thread
// held up past a whole packet can overwrite audio no hardware would have, before any driver could read it. Such
// a loss is the machine's, not the driver's: it is let through where every break and every drop-out the driver
// counted is matched by the devices' own late packets, and only while those stay rare enough for the recording
// to say anything about the driver.
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
    LostWhereDevicesRanLate,  // every loss is explained by the virtual devices' own lateness
    Lost,
};

// At most this many late packets per second of recording, over all devices, may explain losses: beyond that
// the machine was too busy for the recording to judge the driver.
constexpr double kMaxLatePacketsPerSecond = 1.0;

// The verdict, and in `why` a line that says what decided it.
Verdict Judge(const RecordingLoss& loss, std::string* why);
