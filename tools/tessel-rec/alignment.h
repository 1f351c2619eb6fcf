// How well a recording's channels keep time with each other: the same sound (a click, a burst) heard by every
// microphone is found in each channel, and its arrivals are compared across channels (the spread) and across the
// recording within one channel (the wander). Pure computation on recorded samples; used by tessel-rec and by the
// system test that judges the driver's alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace alignment {

// Finds the events in one channel as its samples come, block by block: each stretch that reaches `threshold`
// (full scale) is one event, located at the energy centre of the sound around its peak, in fractional frames
// from the channel's first sample. Events closer than `minGapSeconds` to the previous one are part of it.
class EventFinder {
public:
    explicit EventFinder(double rate, float threshold = 0.1f, double minGapSeconds = 0.25);
    // `count` frames, one sample of this channel every `stride` floats (an interleaved block).
    void Add(const float* samples, size_t count, size_t stride = 1);
    const std::vector<double>& Events() const { return events_; }

private:
    size_t half_;  // half the window of the energy centre, frames
    size_t gap_;   // frames after an event's peak before the next can start
    float threshold_;
    size_t position_ = 0;         // frames seen so far
    size_t quietUntil_ = 0;       // no event starts before this frame
    std::vector<float> history_;  // the last half_ frames, frame f at f % half_, while no event is being captured
    std::vector<float> capture_;  // an event being captured: half_ frames before its start, then 2 half_ after
    size_t captureStart_ = 0;     // the frame of capture_[0]
    std::vector<double> events_;
};

// All the events of a whole recorded channel at once.
std::vector<double> FindEvents(const std::vector<float>& samples, double rate, float threshold = 0.1f,
                               double minGapSeconds = 0.25);

// The driver's schedule of buffer switches, from the steady-clock times (ns) at which they reached the host: a
// switch may come late on a busy machine but the ticks keep their schedule one period apart, until a clock that
// fell far behind restarts it later (and the host never gets the buffers it skipped). So each switch belongs to
// the earliest arrival among it and the later switches, less one period per switch.
std::vector<double> ScheduleOfSwitches(const std::vector<int64_t>& arrivalNs, double periodNs);

// Arrivals in frames of the recording (buffer b holds frames b x bufferFrames on) placed on that schedule: frames
// since buffer 0's switch was due. Buffers the clock skipped then count as the time they took, so a late clock
// does not pass for a microphone that moved. Arrivals beyond the schedule are dropped.
std::vector<double> OnSchedule(const std::vector<double>& arrivals, const std::vector<double>& scheduleNs,
                               size_t bufferFrames, double rate);

struct Report {
    size_t events = 0;            // events heard in every channel after settling
    double maxSpreadFrames = 0;   // largest (latest minus earliest arrival) over those events
    double meanSpreadFrames = 0;  // and its mean
    // Per channel: the peak-to-peak over those events of its arrival less the event's place in the schedule
    // (event k of channel 0's first, every intervalSeconds), so a steady latency shows as 0.
    std::vector<double> wanderFrames;
    // Per channel: the mean arrival relative to channel 0's.
    std::vector<double> offsetFrames;
};

// Compares the arrivals of each channel's events, leaving out those before `settleSeconds`. An event that some
// channel did not hear (within a quarter interval of channel 0's) is not counted.
Report Compare(const std::vector<std::vector<double>>& arrivals, double rate, double intervalSeconds,
               double settleSeconds);

}  // namespace alignment
