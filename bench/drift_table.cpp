// Prints how the drift compensation behaves over sample rates, buffer sizes and crystal offsets, from the
// virtual-time harness: one simulated run per row, deterministic, spread over the machine's cores.
//
//   drift_table [--minutes M] [--render] [--rates 48000,96000] [--sizes 144,288] [--ppm -100,0,100]
//               [--measurement endpoint|exact|none] [--threads T] [--plain-fill]
//
// --plain-fill steers on the fill seen at each period, without the packet-phase correction, for comparison.
// Without options it covers the whole grid of one direction: every rate, every buffer size, offsets up to
// ±200 ppm, an hour each. It ends with the worst row of each figure.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/os/sim_control.h"
#include "tests/support/drift_harness.h"

namespace {

std::vector<double> ParseList(const char* text) {
    std::vector<double> values;
    for (const char* p = text; *p;) {
        char* end = nullptr;
        values.push_back(std::strtod(p, &end));
        if (end == p) break;
        p = *end == ',' ? end + 1 : end;
    }
    return values;
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 60.0;
    drift::Direction direction = drift::Direction::Capture;
    std::vector<double> rates = {48000, 96000, 192000};
    std::vector<double> sizes = {144, 288, 432, 576, 720, 864, 1008, 1152};
    std::vector<double> offsets = {-200, -100, -50, 0, 50, 100, 200};
    drift::Measurement measurement = drift::Measurement::Endpoint;
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    bool phaseCorrection = true;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--minutes") && hasValue)
            minutes = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--plain-fill"))
            phaseCorrection = false;
        else if (!std::strcmp(argv[i], "--render"))
            direction = drift::Direction::Render;
        else if (!std::strcmp(argv[i], "--rates") && hasValue)
            rates = ParseList(argv[++i]);
        else if (!std::strcmp(argv[i], "--sizes") && hasValue)
            sizes = ParseList(argv[++i]);
        else if (!std::strcmp(argv[i], "--ppm") && hasValue)
            offsets = ParseList(argv[++i]);
        else if (!std::strcmp(argv[i], "--threads") && hasValue)
            threads = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        else if (!std::strcmp(argv[i], "--measurement") && hasValue && !std::strcmp(argv[i + 1], "endpoint"))
            measurement = drift::Measurement::Endpoint, ++i;
        else if (!std::strcmp(argv[i], "--measurement") && hasValue && !std::strcmp(argv[i + 1], "exact"))
            measurement = drift::Measurement::Exact, ++i;
        else if (!std::strcmp(argv[i], "--measurement") && hasValue && !std::strcmp(argv[i + 1], "none"))
            measurement = drift::Measurement::None, ++i;
        else {
            std::fprintf(stderr,
                         "usage: %s [--minutes M] [--render] [--rates a,b] [--sizes a,b] [--ppm a,b]\n"
                         "          [--measurement endpoint|exact|none] [--threads T] [--plain-fill]\n",
                         argv[0]);
            return 2;
        }
    }

    std::vector<drift::Config> configs;
    for (double rate : rates)
        for (double size : sizes)
            for (double ppm : offsets) {
                drift::Config config;
                config.direction = direction;
                config.sampleRateHz = rate;
                config.bufferFrames = static_cast<uint32_t>(size);
                config.crystalPpm = ppm;
                config.seconds = minutes * 60.0;
                config.measurement = measurement;
                config.phaseCorrection = phaseCorrection;
                configs.push_back(config);
            }

    // The drivers the harness creates save their settings when they go: into a registry in memory, not the user's.
    sim::os::UseMemoryRegistry();
    std::vector<drift::Result> results(configs.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (size_t i = next++; i < configs.size(); i = next++) results[i] = drift::Run(configs[i]);
        });
    for (std::thread& w : workers) w.join();

    std::printf(
        "%s FIFO, %s, %.0f simulated minutes per row. Fill in frames; 'after' counts from the settling time on.\n",
        direction == drift::Direction::Capture ? "Microphone" : "Output",
        phaseCorrection ? "steered on latency" : "steered on the plain fill", minutes);
    std::printf(
        "settle: seconds until the slow fill stays within N/4 of its steady range; swing: that range;\n"
        "maxErr: largest |slow fill - target| after settling; trims/unds/last: all events once audio flows,\n"
        "and the time of the last; jitter: the ratio over the last quarter, ppm;\n"
        "latency: the true latency through the FIFO over the last quarter, mean (frames) and the peak to peak of\n"
        "its per-second means (frames, and in buffers N).\n\n");
    std::printf("%7s %5s %5s | %7s %8s %7s %8s %7s %6s | %5s %5s %6s %6s %7s | %8s %8s %9s %9s | %8s %7s %6s\n", "rate",
                "N", "ppm", "settle", "steady", "swing", "error", "maxErr", "target", "trimA", "undA", "trims", "unds",
                "last", "jitSD", "jitPP", "minRatio", "maxRatio", "latency", "latSw", "latSwN");
    for (size_t i = 0; i < configs.size(); ++i) {
        const drift::Config& c = configs[i];
        const drift::Result& r = results[i];
        std::printf(
            "%7.0f %5u %+5.0f | %7.0f %8.1f %7.1f %+8.1f %7.1f %6.0f | %5llu %5llu %6llu %6llu %7.1f | %8.2f %8.2f "
            "%9.6f %9.6f | %8.1f %7.2f %6.3f\n",
            c.sampleRateHz, c.bufferFrames, c.crystalPpm, r.settleSeconds, r.steadyFillFrames, r.steadySwingFrames,
            r.steadyFillFrames - r.targetFrames, r.maxErrorAfterSettleFrames, r.targetFrames,
            static_cast<unsigned long long>(r.trimsAfterSettle),
            static_cast<unsigned long long>(r.underrunsAfterSettle), static_cast<unsigned long long>(r.trims),
            static_cast<unsigned long long>(r.underruns), r.lastEventSeconds, r.jitterSdPpm, r.jitterPeakToPeakPpm,
            r.minRatio, r.maxRatio, r.steadyLatencyFrames, r.latencySwingFrames, r.latencySwingFrames / c.bufferFrames);
    }

    // The worst row of each figure, and how many rows lost audio after settling.
    size_t failing = 0;
    size_t withEvents = 0;
    unsigned long long eventsAfter = 0;
    unsigned long long events = 0;
    for (const drift::Result& r : results) {
        failing += r.trimsAfterSettle + r.underrunsAfterSettle > 0 || r.settleSeconds < 0;
        withEvents += r.trims + r.underruns > 0;
        eventsAfter += r.trimsAfterSettle + r.underrunsAfterSettle;
        events += r.trims + r.underruns;
    }
    std::printf(
        "\n%zu rows; %zu failing (events after settling, or never settled), %llu events after settling;\n"
        "%llu events in all in %zu rows.\n",
        results.size(), failing, eventsAfter, events, withEvents);
    auto worst = [&](const char* figure, auto value) {
        size_t at = 0;
        for (size_t i = 1; i < results.size(); ++i)
            if (value(results[i]) > value(results[at])) at = i;
        std::printf("worst %-26s %10.2f  at %6.0f Hz, N %4u, %+5.0f ppm\n", figure, value(results[at]),
                    configs[at].sampleRateHz, configs[at].bufferFrames, configs[at].crystalPpm);
    };
    if (!results.empty()) {
        worst("settling (s, never = 1e9)",
              [](const drift::Result& r) { return r.settleSeconds < 0 ? 1e9 : r.settleSeconds; });
        worst("|steady error| (frames)",
              [](const drift::Result& r) { return std::fabs(r.steadyFillFrames - r.targetFrames); });
        worst("|steady error| (buffers)", [&](const drift::Result& r) {
            return std::fabs(r.steadyFillFrames - r.targetFrames) /
                   (r.targetFrames / (direction == drift::Direction::Capture ? 2.5 : 3.5));
        });
        worst("swing (frames)", [](const drift::Result& r) { return r.steadySwingFrames; });
        worst("max error after settle (N)", [&](const drift::Result& r) {
            return r.maxErrorAfterSettleFrames /
                   (r.targetFrames / (direction == drift::Direction::Capture ? 2.5 : 3.5));
        });
        worst("jitter SD (ppm)", [](const drift::Result& r) { return r.jitterSdPpm; });
        worst("jitter peak to peak (ppm)", [](const drift::Result& r) { return r.jitterPeakToPeakPpm; });
        worst("last event (s)", [](const drift::Result& r) { return r.lastEventSeconds; });
        worst("latency swing (frames)", [](const drift::Result& r) { return r.latencySwingFrames; });
        std::vector<double> swings;
        for (size_t i = 0; i < results.size(); ++i)
            swings.push_back(results[i].latencySwingFrames / configs[i].bufferFrames);
        std::sort(swings.begin(), swings.end());
        std::printf("latency swing in buffers N: median %.3f, worst %.3f\n", swings[swings.size() / 2], swings.back());
    }
    return 0;
}
