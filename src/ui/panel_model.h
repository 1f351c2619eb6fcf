// The control panel's contents and mappings, apart from any window: the buffer-size and output lists with their
// selections, the gain slider's scale in both directions, and the lines of text the panel shows. Pure functions,
// callable from any thread; the dialog code of each platform turns them into controls.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace panel {

constexpr int kSlots = 8;  // one gain strip per microphone slot

// The preferred buffer sizes offered, in list order.
constexpr std::array<uint32_t, 8> kOfferedBufferSizes = {144, 288, 432, 576, 720, 864, 1008, 1152};

// List index shown for a stored preferred size: the number of offered sizes strictly below it, so a size between
// two offers shows the next larger one (200 shows 288). A size above the largest offer shows the largest.
int BufferSizeSelection(uint32_t preferredSize);
// The offered size at a list index; 0 for an index outside the list.
uint32_t BufferSizeAt(int index);

// The output list: "No Output Selected" first, then every playback device by name, in the driver's order.
extern const char kNoOutputItem[];
std::vector<std::string> OutputListItems(const std::vector<std::string>& deviceNames);
// 1 + the index of the last device whose name equals the chosen name byte for byte; 0 when none does.
int OutputSelection(const std::vector<std::string>& deviceNames, const std::string& chosenName);
// The name a list index stands for: empty for "No Output Selected" and for an index outside the list.
std::string OutputNameAt(const std::vector<std::string>& deviceNames, int index);

// A microphone's volume range in dB, as its endpoint reports it (all zero without hardware volume).
struct GainRange {
    float minDb = 0;
    float maxDb = 0;
    float stepDb = 0;
};

// The slider counts whole steps down from the top: position 0 is the highest reachable gain, position
// GainSteps() is the minimum. A range that yields no usable scale (no step, a step or span that is not a finite
// number, a maximum below the minimum, or more steps than a slider can hold) has 0 steps and no scale.
constexpr int kMaxGainSteps = 10000;
bool HasGainScale(const GainRange& range);
int GainSteps(const GainRange& range);
// Slider position of a gain: whole steps above the minimum, counted from the top and kept inside the slider.
int GainPosition(const GainRange& range, float gainDb);
// Gain of a slider position: the minimum plus the steps above the bottom; the minimum without a scale.
float GainAtPosition(const GainRange& range, int position);

// "%.0fdB" of the gain; a value that rounds to zero reads "0dB", never "-0dB".
std::string GainLabel(float gainDb);
// "DropOut:%u | Latency:%u (%.1fms)"; the milliseconds are 0.0 when the rate is not a positive number.
std::string MetricsLine(uint32_t dropOuts, uint32_t latencyFrames, double sampleRate);

// The module's file version as the version line shows it: "Version: 1.0.2.0", or "Version: " alone when the
// version resource could not be read (known false).
std::string VersionLine(bool known, uint32_t fileVersionMs, uint32_t fileVersionLs);

// Finds the fixed file information in a version resource as the module carries it (VS_VERSIONINFO: a header, the
// key "VS_VERSION_INFO", then the fixed record with its signature) and returns its file version. False for data
// that is too short or carries no signed fixed record.
bool ReadFileVersion(const void* resource, size_t size, uint32_t* fileVersionMs, uint32_t* fileVersionLs);

// The variant line: which of the two driver classes the host loaded.
const char* VariantName(bool isFloat);

// Gain strip controls of slot k (0-based): trackbar 1020 + 3k, dB label 1021 + 3k, number label 1022 + 3k.
constexpr int TrackbarId(int slot) { return 1020 + 3 * slot; }
constexpr int GainLabelId(int slot) { return 1021 + 3 * slot; }
constexpr int SlotNumberId(int slot) { return 1022 + 3 * slot; }

// Where the firmware notice sends the user: the companion application's page, shown as its own address.
extern const char kCompanionAppUrl[];

// Window title of the panel and of the firmware notice.
extern const char kPanelTitle[];

}  // namespace panel
