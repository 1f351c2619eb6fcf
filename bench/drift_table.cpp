// Prints how the drift compensation behaves over sample rates, buffer sizes and crystal offsets, from the
// virtual-time harness: one simulated run per row, deterministic, spread over the machine's cores.
//
//   drift_table [--minutes M] [--render] [--rates 48000,96000] [--sizes 144,288] [--ppm -100,0,100]
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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
    std::vector<double> offsets = {-400, -200, -100, -50, 0, 50, 100, 200, 400};
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--minutes") && hasValue)
            minutes = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--render"))
            direction = drift::Direction::Render;
        else if (!std::strcmp(argv[i], "--rates") && hasValue)
            rates = ParseList(argv[++i]);
        else if (!std::strcmp(argv[i], "--sizes") && hasValue)
            sizes = ParseList(argv[++i]);
        else if (!std::strcmp(argv[i], "--ppm") && hasValue)
            offsets = ParseList(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--minutes M] [--render] [--rates a,b] [--sizes a,b] [--ppm a,b]\n",
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
                configs.push_back(config);
            }

    std::vector<drift::Result> results(configs.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (size_t i = next++; i < configs.size(); i = next++) results[i] = drift::Run(configs[i]);
        });
    for (std::thread& w : workers) w.join();

    std::printf("%s FIFO, %.0f simulated minutes per row. Fill in frames; 'after' counts from the settling time on.\n",
                direction == drift::Direction::Capture ? "Microphone" : "Output", minutes);
    std::printf("settle: seconds until the slow fill stays within N/4 of its steady range; swing: that range.\n\n");
    std::printf("%7s %5s %5s | %7s %8s %7s %8s %8s %6s | %6s %6s %6s %6s %6s | %9s %9s\n", "rate", "N", "ppm", "settle",
                "steady", "swing", "error", "predict", "target", "trimA", "undA", "trims", "unds", "drops", "minRatio",
                "maxRatio");
    for (size_t i = 0; i < configs.size(); ++i) {
        const drift::Config& c = configs[i];
        const drift::Result& r = results[i];
        std::printf(
            "%7.0f %5u %+5.0f | %7.0f %8.1f %7.1f %+8.1f %+8.1f %6.0f | %6llu %6llu %6llu %6llu %6llu | "
            "%9.6f %9.6f\n",
            c.sampleRateHz, c.bufferFrames, c.crystalPpm, r.settleSeconds, r.steadyFillFrames, r.steadySwingFrames,
            r.steadyFillFrames - r.targetFrames, r.predictedErrorFrames, r.targetFrames,
            static_cast<unsigned long long>(r.trimsAfterSettle),
            static_cast<unsigned long long>(r.underrunsAfterSettle), static_cast<unsigned long long>(r.trims),
            static_cast<unsigned long long>(r.underruns), static_cast<unsigned long long>(r.dropOuts), r.minRatio,
            r.maxRatio);
    }
    return 0;
}
