// What the clock thread's wait costs and how punctually it ticks: the clock's schedule (one deadline per period,
// catch-up when late, ticks dropped after four periods) driven by the driver's ClockWait, once with the older
// sleep-and-yield rule and once with the high-resolution timer, at the configurations where the older rule spins
// most. For each it reports the thread's CPU time per second of audio (the wait alone: the ticks here do no
// work) and each tick's lateness behind its deadline: median, 99th percentile and worst, where a drop of the
// ticks due after four late periods counts once with the lateness it had reached.
//
//   clock_bench [--seconds S]     seconds of audio per row (default 4; six rows)
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/clock_wait.h"
#include "platform/win32.h"

namespace {

struct Row {
    const char* rule;
    double cpuPercent;
    double medianUs;
    double p99Us;
    double worstUs;
    int dropped;
    double guardUs;
};

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int64_t Counter() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// The clock thread's loop as the driver runs it, with an empty tick.
Row Run(double rate, int frames, bool useTimer, double seconds) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    const int64_t period = static_cast<int64_t>(frames) * frequency.QuadPart / static_cast<int64_t>(rate);
    const int64_t ticks = static_cast<int64_t>(seconds * rate / frames);
    ClockWait wait;
    wait.Open(frequency.QuadPart, period, useTimer);
    std::vector<double> lateUs;
    lateUs.reserve(static_cast<size_t>(ticks));
    int dropped = 0;
    const double cpuStart = ThreadCpuSeconds();
    int64_t last = Counter();
    while (static_cast<int64_t>(lateUs.size()) < ticks) {
        const int64_t now = Counter();
        const int64_t elapsed = now - last;
        if (elapsed >= 4 * period) {
            // The ticks due are dropped; the first of them counts with the lateness it had reached, so that a
            // rule that falls this far behind cannot look punctual by leaving its worst ticks out.
            lateUs.push_back(static_cast<double>(elapsed - period) * 1e6 / static_cast<double>(frequency.QuadPart));
            last = now;
            ++dropped;
        } else if (elapsed >= period) {
            lateUs.push_back(static_cast<double>(elapsed - period) * 1e6 / static_cast<double>(frequency.QuadPart));
            last += period;
        } else {
            wait.Wait(period - elapsed);
        }
    }
    const double cpu = ThreadCpuSeconds() - cpuStart;
    const double audioSeconds = static_cast<double>(ticks) * frames / rate;
    std::sort(lateUs.begin(), lateUs.end());
    Row row{};
    row.rule = useTimer && wait.UsesTimer() ? "timer" : "sleep/spin";
    row.cpuPercent = 100.0 * cpu / audioSeconds;
    row.medianUs = lateUs[lateUs.size() / 2];
    row.p99Us = lateUs[std::min(lateUs.size() - 1, lateUs.size() * 99 / 100)];
    row.worstUs = lateUs.back();
    row.dropped = dropped;
    row.guardUs = wait.UsesTimer() ? static_cast<double>(wait.GuardCounts()) * 1e6 / frequency.QuadPart : 0.0;
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 4.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds S]\n", argv[0]);
            return 2;
        }
    }
    if (!(seconds > 0.0 && seconds <= 600.0)) {
        std::fprintf(stderr, "--seconds must be above 0 and at most 600\n");
        return 2;
    }
    struct Config {
        double rate;
        int frames;
    };
    const Config configs[] = {{48000, 288}, {96000, 144}, {192000, 144}};
    std::printf("Clock thread wait, %.1f s of audio per row (lateness behind each tick's deadline)\n", seconds);
    std::printf("%-12s %-11s %9s %12s %12s %12s %8s %10s\n", "config", "rule", "CPU %", "median us", "p99 us",
                "worst us", "dropped", "guard us");
    for (const Config& config : configs) {
        for (bool timer : {false, true}) {
            const Row row = Run(config.rate, config.frames, timer, seconds);
            char name[32];
            std::snprintf(name, sizeof name, "%d/%d", static_cast<int>(config.rate), config.frames);
            std::printf("%-12s %-11s %9.2f %12.1f %12.1f %12.1f %8d %10.1f\n", name, row.rule, row.cpuPercent,
                        row.medianUs, row.p99Us, row.worstUs, row.dropped, row.guardUs);
        }
    }
    return 0;
}
