#include "ks/ks_trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// Read once: the first trace call fixes the threshold from the environment. A malformed value counts as 0.
std::atomic<int>& Threshold() {
    static std::atomic<int> threshold{[] {
        const char* text = std::getenv("TESSEL_KS_TRACE");
        if (!text) return 0;
        char* end = nullptr;
        long level = std::strtol(text, &end, 10);
        return (end != text && level > 0 && level < 100) ? static_cast<int>(level) : 0;
    }()};
    return threshold;
}

}  // namespace

int KsTraceThreshold() { return Threshold().load(std::memory_order_relaxed); }

int SetKsTraceThreshold(int level) { return Threshold().exchange(level); }

void TraceKs(int level, const char* format, ...) {
    if (level > KsTraceThreshold()) return;
    // The message part is limited to 260 characters; a longer one is cut, never overflowed.
    char line[6 + 260 + 1] = "\n[KS]:";
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + 6, sizeof line - 6, format, args);
    va_end(args);
    OutputDebugStringA(line);
}
