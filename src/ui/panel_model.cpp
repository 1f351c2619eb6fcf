#include "ui/panel_model.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace panel {

const char kNoOutputItem[] = "No Output Selected";
const char kPanelTitle[] = "Tessel Control Panel";
// A neutral placeholder page of the maker; the link's text is the address itself.
const char kCompanionAppUrl[] = "https://www.example.com/korvel/hub";

int BufferSizeSelection(uint32_t preferredSize) {
    int below = 0;
    for (uint32_t size : kOfferedBufferSizes)
        if (size < preferredSize) ++below;
    // Past the largest offer there is no list entry to point at; the largest is the nearest.
    return below < (int)kOfferedBufferSizes.size() ? below : (int)kOfferedBufferSizes.size() - 1;
}

uint32_t BufferSizeAt(int index) {
    if (index < 0 || index >= (int)kOfferedBufferSizes.size()) return 0;
    return kOfferedBufferSizes[index];
}

std::vector<std::string> OutputListItems(const std::vector<std::string>& deviceNames) {
    std::vector<std::string> items;
    items.reserve(deviceNames.size() + 1);
    items.emplace_back(kNoOutputItem);
    items.insert(items.end(), deviceNames.begin(), deviceNames.end());
    return items;
}

int OutputSelection(const std::vector<std::string>& deviceNames, const std::string& chosenName) {
    int selection = 0;
    for (size_t i = 0; i < deviceNames.size(); ++i)
        if (deviceNames[i] == chosenName) selection = (int)i + 1;
    return selection;
}

std::string OutputNameAt(const std::vector<std::string>& deviceNames, int index) {
    if (index < 1 || index > (int)deviceNames.size()) return std::string();
    return deviceNames[index - 1];
}

namespace {
// Whole steps in a span, or -1 when the span is no number of steps a slider could show.
long long WholeSteps(double span, double step) {
    const double steps = span / step;
    if (!std::isfinite(steps) || steps < 0 || steps > kMaxGainSteps) return -1;
    return (long long)steps;  // truncated towards zero
}
}  // namespace

bool HasGainScale(const GainRange& range) {
    if (!(range.stepDb > 0) || !std::isfinite(range.minDb) || !std::isfinite(range.maxDb)) return false;
    return WholeSteps((double)range.maxDb - range.minDb, range.stepDb) >= 0;
}

int GainSteps(const GainRange& range) {
    if (!HasGainScale(range)) return 0;
    return (int)WholeSteps((double)range.maxDb - range.minDb, range.stepDb);
}

int GainPosition(const GainRange& range, float gainDb) {
    const int steps = GainSteps(range);
    if (steps == 0) return 0;
    // A device may report a gain outside its own range, or none at all: the slider stays at its nearest end.
    if (!std::isfinite(gainDb)) return steps;
    const double above = ((double)gainDb - range.minDb) / range.stepDb;
    if (above <= 0) return steps;
    if (above >= steps) return 0;
    return steps - (int)above;
}

float GainAtPosition(const GainRange& range, int position) {
    const int steps = GainSteps(range);
    if (steps == 0) return range.minDb;
    if (position < 0) position = 0;
    if (position > steps) position = steps;
    return (float)((double)(steps - position) * range.stepDb + range.minDb);
}

std::string GainLabel(float gainDb) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0fdB", (double)gainDb);
    if (std::string(text) == "-0dB") return "0dB";
    return text;
}

std::string MetricsLine(uint32_t dropOuts, uint32_t latencyFrames, double sampleRate) {
    const double ms = sampleRate > 0 && std::isfinite(sampleRate) ? latencyFrames * 1000.0 / sampleRate : 0.0;
    char text[96];
    std::snprintf(text, sizeof text, "DropOut:%u | Latency:%u (%.1fms)", dropOuts, latencyFrames, ms);
    return text;
}

std::string VersionLine(bool known, uint32_t fileVersionMs, uint32_t fileVersionLs) {
    if (!known) return "Version: ";
    char text[64];
    std::snprintf(text, sizeof text, "Version: %u.%u.%u.%u", fileVersionMs >> 16, fileVersionMs & 0xFFFF,
                  fileVersionLs >> 16, fileVersionLs & 0xFFFF);
    return text;
}

bool ReadFileVersion(const void* resource, size_t size, uint32_t* fileVersionMs, uint32_t* fileVersionLs) {
    // wLength, wValueLength, wType, then "VS_VERSION_INFO" in 16-bit characters with its terminator, padded to a
    // 32-bit boundary: the fixed record starts 40 bytes in.
    constexpr size_t kFixedOffset = 40;
    constexpr size_t kFixedSize = 52;
    constexpr uint32_t kSignature = 0xFEEF04BD;
    if (!resource || size < kFixedOffset + kFixedSize) return false;
    const auto* bytes = static_cast<const unsigned char*>(resource);
    uint16_t valueLength = 0;
    std::memcpy(&valueLength, bytes + 2, sizeof valueLength);
    uint32_t fields[4];
    std::memcpy(fields, bytes + kFixedOffset, sizeof fields);
    if (valueLength < kFixedSize || fields[0] != kSignature) return false;
    *fileVersionMs = fields[2];
    *fileVersionLs = fields[3];
    return true;
}

const char* VariantName(bool isFloat) { return isFloat ? "Korvel Tessel Float" : "Korvel Tessel"; }

}  // namespace panel
