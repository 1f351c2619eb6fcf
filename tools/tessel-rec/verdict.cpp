#include "verdict.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

Verdict Judge(const RecordingLoss& loss, std::string* why) {
    why->clear();
    bool anyLoss = loss.driverDropOuts > 0;
    bool lateKnown = !loss.channels.empty();
    uint64_t late = 0;
    for (const ChannelLoss& c : loss.channels) {
        anyLoss = anyLoss || c.breaks > 0;
        lateKnown = lateKnown && c.lateKnown;
        late += c.latePackets;
    }
    if (!loss.fileWritten) {
        *why = "the WAV file could not be written completely";
        return Verdict::Lost;
    }
    if (loss.hostOverruns > 0) {
        *why = "tessel-rec could not keep up";
        return Verdict::Lost;
    }
    for (size_t k = 0; k < loss.channels.size(); ++k)
        if (!loss.channels[k].started) {
            *why = "input " + std::to_string(k + 1) + " delivered nothing";
            return Verdict::Lost;
        }
    if (!anyLoss) return Verdict::NoLoss;
    if (!lateKnown || !loss.driverDropOutsKnown) return Verdict::Lost;
    char text[256];
    const uint64_t allowed = static_cast<uint64_t>(std::ceil(loss.seconds * kMaxLatePacketsPerSecond));
    if (late > allowed) {
        std::snprintf(text, sizeof text,
                      "the virtual devices ran late %llu times, more than the %llu this recording "
                      "allows for judging the driver",
                      static_cast<unsigned long long>(late), static_cast<unsigned long long>(allowed));
        *why = text;
        return Verdict::Lost;
    }
    // The drop-outs the driver counted beyond what the devices' late packets explain: its own threads held up.
    const uint64_t unexplained = loss.driverDropOuts > late ? loss.driverDropOuts - late : 0;
    // One per whole ten seconds, so that a recording a few frames over ten seconds is not allowed two.
    const uint64_t unexplainedAllowed =
        static_cast<uint64_t>(std::max(1.0, std::floor(loss.seconds * kMaxUnexplainedDropOutsPerSecond)));
    if (unexplained > unexplainedAllowed) {
        std::snprintf(text, sizeof text,
                      "the driver counted %u drop-out(s), the devices ran late only %llu times, and at most %llu "
                      "more are let through in this recording",
                      loss.driverDropOuts, static_cast<unsigned long long>(late),
                      static_cast<unsigned long long>(unexplainedAllowed));
        *why = text;
        return Verdict::Lost;
    }
    // Every break must be a drop-out the driver counted or a late packet of that channel's own device.
    for (size_t k = 0; k < loss.channels.size(); ++k) {
        const ChannelLoss& c = loss.channels[k];
        if (c.breaks > loss.driverDropOuts + c.latePackets) {
            std::snprintf(text, sizeof text,
                          "input %zu broke %u times: the driver counted %u drop-out(s) and its "
                          "device ran late %llu times",
                          k + 1, c.breaks, loss.driverDropOuts, static_cast<unsigned long long>(c.latePackets));
            *why = text;
            return Verdict::Lost;
        }
    }
    std::snprintf(text, sizeof text, "%u drop-out(s) counted by the driver, %llu late packet(s) of the devices",
                  loss.driverDropOuts, static_cast<unsigned long long>(late));
    *why = text;
    return Verdict::LostWhereMachineStalled;
}
