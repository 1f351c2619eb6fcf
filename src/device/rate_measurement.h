// RateMeasurement: how many samples per second one device really moves, measured against the high-resolution
// performance counter, and the slowly smoothed ratio of that to the nominal rate which the endpoint hands to its
// data callback with every period.
//
// A pure piece: no clock reading, no allocation, no lock, no printing. The owner reads the counter and feeds each
// completed packet's time and sample count to Step. Ownership and threads: every endpoint holds one inline; its
// stream thread alone calls Step; Restart runs on the clock thread (StartAll) only while that endpoint is stopped
// or before its first start, so the two never overlap on one object's fields in practice. The fields are plain
// data so that tests and the virtual-time harness can shorten the windows on the object.
#pragma once

#include <cstdint>

struct RateMeasurement {
    enum State : uint32_t {
        RateIdle = 0,         // not measuring (from construction until the first start)
        RateStart = 1,        // the next completed packet opens the warm-up
        RateWarmUp = 2,       // waiting out warmUpCounts; samples are not counted
        RateFirstWindow = 3,  // counting samples over firstWindowCounts
        RateTracking = 4,     // rateRatio follows measuredRate every period; measuredRate re-measured per window
    };

    // Counter counts per second. The endpoint sets it from QueryPerformanceFrequency; 10 MHz is only the value a
    // fresh object starts with (the common Windows counter frequency, and the simulation's).
    int64_t counterFrequency = 10'000'000;
    // Window lengths in counter counts: 1 s of warm-up, a first window of 10 s, then windows of 30 s. Set from the
    // frequency by SetCounterFrequency; tests may shorten them on the object.
    int64_t warmUpCounts = 10'000'000;
    int64_t firstWindowCounts = 100'000'000;
    int64_t windowCounts = 300'000'000;

    uint32_t rateState = RateIdle;
    int64_t windowStart = 0;
    // Samples of all channels counted since windowStart.
    int64_t windowSamples = 0;
    // Samples of all channels per second; keeps its last value across restarts.
    double measuredRate = 0.0;
    double rateRatio = 1.0;
    // The format's frames per second, and its inverse.
    double nominalRate = 48000.0;
    double inverseNominalRate = 1.0 / 48000.0;

    // Takes the counter's real frequency and scales the three windows to 1 s, 10 s and 30 s of it.
    void SetCounterFrequency(int64_t countsPerSecond);
    void SetNominalRate(double framesPerSecond);
    // Before each start of the endpoint: begin again with warm-up and the first window, rateRatio back to 1.0.
    void Restart();
    // One completed packet at counter value `now` that moved `samples` samples of all channels.
    // Stream thread. No allocation, no lock, no printing.
    void Step(int64_t now, uint32_t samples);

    // Counter counts a sample (of all `channels`) lasts at the measured rate, or at the nominal one while there is
    // no measurement of this format yet (none, or one of another rate left from before a restart); 0 when unknown.
    double CountsPerSample(uint32_t channels) const;

    // Samples per second over the current window, to a thousandth, truncated toward zero: the counter frequency
    // times the samples times 1000, divided by the window's length in counts. Computed without the 64-bit overflow
    // that the plain product would reach on a counter of a few GHz; 0 for a window of no length.
    double WindowRate(int64_t dtCounts) const;
};
