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

namespace {
class Hardware : public Machine {
public:
    bool CrystalFrame(size_t, int64_t, double, int64_t*) override { return false; }
    std::string Signal(size_t) override { return std::string(); }
    void Tick(double) override {}
    MicrophoneMetrics Metrics(IASIO*, size_t) override { return {}; }
    uint32_t DriverDropOuts(IASIO*) override { return 0; }
    bool HearsOutputs() override { return false; }
    std::vector<int64_t> OutputEdges(float) override { return {}; }
};
}  // namespace

std::unique_ptr<Machine> RealMachine() { return std::make_unique<Hardware>(); }
