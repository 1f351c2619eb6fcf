#include <chrono>
#include <cstdlib>

#include "machine.h"

bool ParseOffsets(const std::string& text, std::vector<double>* offsets) {
    offsets->clear();
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(at, comma - at);
        char* end = nullptr;
        const double value = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || value < -10000.0 || value > 10000.0) return false;
        offsets->push_back(value);
        at = comma + 1;
    }
    return !offsets->empty();
}

int64_t SteadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
