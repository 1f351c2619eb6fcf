// PacketStamp: the counter value at which a device completed its newest packet, as the FIFOs' latency steering
// needs it, from the stream thread's wakes.
//
// The stream thread reads the counter when it wakes for a packet, and a wake is never early, only late: by the
// scheduler's whim, by a busy machine, under an emulator by a millisecond or more. Taken as it is, one late wake
// makes the FIFO look a late wake's worth emptier than it is; when that happens just as a microphone's first
// buffer is primed, the stream starts that much later than reported and keeps it for as long as the steering
// needs to take it back. The device's packets complete on its crystal's schedule, their samples apart at its
// measured rate, so every recent wake tells when the newest packet was due at the latest: the earliest of those
// is the truest. A wake far behind them all means the stream stalled or restarted, and the schedule begins
// afresh from it.
//
// A pure piece: no clock reading, no allocation, no lock, no printing. Ownership and threads: every endpoint
// holds one inline; its stream thread alone calls Step; Restart runs where the endpoint's stream starts.
#pragma once

#include <cstdint>

struct PacketStamp {
    // The wakes the schedule is taken from: enough that one of them is nearly punctual, few enough that a rate
    // known only to a few hundred ppm (before the device is measured) moves the projection by a few microseconds.
    static constexpr int kWindow = 16;
    // A wake this many packets behind the schedule means the stream stalled or restarted.
    static constexpr double kStallPackets = 4.0;

    // Forget the schedule: the next packet's wake is taken as it is.
    void Restart() { count = next = 0; }
    // The stamp for a packet of `samples` whose wake read `now`; a sample lasts `countsPerSample` counter counts at
    // the device's rate (0 when not known: the wake is then taken as it is).
    int64_t Step(int64_t now, uint32_t samples, double countsPerSample);
    // How many samples the wake of a packet `samples` past the newest is behind the schedule; 0 without one.
    // Changes nothing.
    double SamplesBehind(int64_t now, uint32_t samples, double countsPerSample) const;

private:
    // The earliest time the recent wakes put the packet `samples` past the newest one at, and `now` at the latest.
    double Due(int64_t now, uint32_t samples, double countsPerSample) const;
    int64_t readings[kWindow] = {};
    int64_t positions[kWindow] = {};  // samples completed by the wake's packet since the start
    int64_t position = 0;
    int count = 0;
    int next = 0;
};
