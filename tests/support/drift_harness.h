// A deterministic, single-threaded, virtual-time model of one FIFO between a device on its own crystal and the
// driver's clock. It drives the real DeviceFifo, converter and steering exactly as the stream thread and the clock
// thread do, but on two simulated clocks, so an hour of audio runs in about a second and every run with the same
// settings gives the same numbers. Shared by the unit tests (which assert its invariants) and by the drift-table
// program in bench/.
#pragma once

#include <cstdint>

namespace drift {

enum class Direction {
    Capture,  // a microphone pushes packets, the clock's ticks pull ASIO buffers
    Render,   // the clock's ticks push ASIO buffers, a playback device pulls packets
};

struct Config {
    Direction direction = Direction::Capture;
    double sampleRateHz = 48000.0;    // the driver's rate, and the device's nominal rate
    uint32_t bufferFrames = 288;      // ASIO buffer size N
    uint32_t devicePeriodFrames = 0;  // the device's packet size; 0 means N (how the driver opens a microphone)
    double crystalPpm = 0.0;          // the device crystal's offset: its true rate is nominal × (1 + ppm × 1e-6)
    double seconds = 3600.0;          // simulated duration
    double devicePhase = 0.37;        // where in its first period the device starts, as a fraction of a period
    // Optional: called at every consumer period with the fill seen before the read, the slow fill and the ratio.
    void (*trace)(void* context, double seconds, uint32_t fillFrames, float slowFill, float ratio) = nullptr;
    void* traceContext = nullptr;
};

struct Result {
    double targetFrames = 0;          // the steering target (2.5 N for capture, 3.5 N for render)
    double steadyFillFrames = 0;      // mean slow fill over the last quarter of the run
    double steadySwingFrames = 0;     // peak-to-peak of the slow fill over the last quarter (a limit cycle, if any)
    double predictedErrorFrames = 0;  // what the proportional law predicts: 30 s × rate × offset
    double settleSeconds = -1;        // from then on the slow fill stays within N/4 of its steady range; -1: never
    uint64_t trimsAfterSettle = 0;
    uint64_t underrunsAfterSettle = 0;
    uint64_t trims = 0;      // whole run
    uint64_t underruns = 0;  // whole run, once audio has started to flow
    uint64_t dropOuts = 0;   // consumer periods with a trim or an underrun once audio has started to flow
    float minRatio = 1.0f;   // the converter's extremes over the run
    float maxRatio = 1.0f;
    uint64_t consumerPeriods = 0;
    uint64_t producerPeriods = 0;
};

Result Run(const Config& config);

}  // namespace drift
