// A deterministic, single-threaded, virtual-time model of one FIFO between a device on its own crystal and the
// driver's clock. It drives the driver's own code exactly as the two threads do, but on two simulated clocks: the
// clock thread's tick (CAsioDriver::Tick: the gather of the inputs, the output push, the buffer switch), the data
// callbacks of the stream thread, the FIFO, converter and steering, and the endpoint's measurement of the device's
// rate against a counter that the stream thread reads a little late. An hour of audio runs in about a second and
// every run with the same settings gives the same numbers. Shared by the unit tests (which assert its invariants)
// and by the drift-table program in bench/.
#pragma once

#include <cstdint>
#include <vector>

namespace drift {

enum class Direction {
    Capture,  // a microphone pushes packets, the clock's ticks pull ASIO buffers
    Render,   // the clock's ticks push ASIO buffers, a playback device pulls packets
};

// What the data callbacks receive as the device's measured rate ratio.
enum class Measurement {
    Endpoint,  // the endpoint's own measurement: warm-up, windows, smoothing from 1.0, late counter readings
    Exact,     // the true ratio from the first packet on: shows what the measurement's delay and error cost
    None,      // always 1.0: the steering without feed-forward
};

struct Config {
    Direction direction = Direction::Capture;
    double sampleRateHz = 48000.0;    // the driver's rate, and the device's nominal rate
    uint32_t bufferFrames = 288;      // ASIO buffer size N
    uint32_t devicePeriodFrames = 0;  // the device's packet size; 0 means N (how the driver opens a device)
    double crystalPpm = 0.0;          // the device crystal's offset: its true rate is nominal × (1 + ppm × 1e-6)
    double seconds = 3600.0;          // simulated duration
    double devicePhase = 0.37;        // where in its first period the device starts, as a fraction of a period
    Measurement measurement = Measurement::Endpoint;
    // The stream thread reads the counter after it wakes: each reading is late by a uniform 0 to this many ms.
    double counterLatenessMs = 1.0;
    uint64_t seed = 1;  // of the readings' lateness
    // Whether the FIFO corrects its fill by the packet phase (the steering on latency); false steers on the plain
    // fill seen at each period, for comparison.
    bool phaseCorrection = true;
};

struct Result {
    double targetFrames = 0;               // the steering target (2.5 N for capture, 3.5 N for render)
    double steadyFillFrames = 0;           // mean slow fill over the last quarter of the run
    double steadySwingFrames = 0;          // peak-to-peak of the slow fill over the last quarter
    double settleSeconds = -1;             // from then on the slow fill stays within N/4 of its steady range; -1: never
    double maxErrorAfterSettleFrames = 0;  // largest distance of the slow fill from the target after settling
    uint64_t trimsAfterSettle = 0;
    uint64_t underrunsAfterSettle = 0;
    uint64_t trims = 0;            // whole run, once audio has started to flow
    uint64_t underruns = 0;        // whole run, once audio has started to flow
    uint64_t dropOuts = 0;         // consumer periods with a trim or an underrun once audio has started to flow
    double lastEventSeconds = -1;  // when the last trim or underrun happened; -1: none
    // Drop-outs the driver itself counted (microphone only: the clock's gather counts them). Must equal dropOuts.
    uint64_t driverDropOuts = 0;
    float minRatio = 1.0f;  // the converter's extremes over the run
    float maxRatio = 1.0f;
    double jitterSdPpm = 0;          // the steered ratio over the last quarter: standard deviation
    double jitterPeakToPeakPpm = 0;  // and peak to peak
    double meanRatio = 1.0;          // its mean over the last quarter
    // The true latency through the FIFO, in frames: for a microphone, from the capture of the sample the tick
    // delivers first to the tick; for the output, from the tick that pushed a sample to the packet that takes it.
    // Measured with the true (not the late) times, at every consumer period without a trim; averaged per second.
    double steadyLatencyFrames = 0;  // mean over the last quarter
    double latencySwingFrames = 0;   // peak to peak of the per-second means over the last quarter
    std::vector<double> latencyPerSecond;  // the per-second means over the whole run (NaN: none that second)
    uint64_t consumerPeriods = 0;
    uint64_t producerPeriods = 0;
};

Result Run(const Config& config);

}  // namespace drift
