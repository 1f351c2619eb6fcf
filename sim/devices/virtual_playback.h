// A virtual playback device: a kernel-streaming render device on its own crystal with a system render endpoint,
// which keeps a record of what it played (as floats, interleaved) so that tests can check the output path.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/ks_device.h"
#include "sim/devices/system_endpoint.h"
#include "sim/devices/virtual_microphone.h"

namespace sim::devices {

struct PlaybackConfig {
    std::string name = "Speakers";
    double offsetPpm = 0.0;
    FormatSupport formats{{SampleKind::Int16, SampleKind::Int24In32}, {44100, 48000, 96000, 192000}, 2};
    Streaming streaming = Streaming::WaveRt;
    bool writePacketSupport = true;
    ULONG bufferGranularityFrames = 1;
    VolumeSetup volume{true, -65.25f, 0.0f, 0.75f, 0.0f};
    // The record keeps the latest this many frames.
    size_t recordFrames = 48000 * 60;
};

// When the frames of a record were played: each span is a run of frames played back to back on the crystal.
struct PlayedSpan {
    size_t firstFrame = 0;  // frames of the record (not samples)
    Clock::time_point firstFrameTime;
    double frameRate = 0.0;  // the crystal's real rate for the stream's format
    bool underrun = false;   // silence played because the client fell behind
};
struct PlayedRecord {
    std::vector<float> samples;  // interleaved
    unsigned channels = 0;
    std::vector<PlayedSpan> spans;
    // When frame `frame` of the record sounded; nullopt outside every span.
    std::optional<Clock::time_point> TimeOf(size_t frame) const;
};

class VirtualPlayback : public KsAudioDevice {
public:
    VirtualPlayback(const PlaybackConfig& config, DeviceIdentity identity);
    ~VirtualPlayback() override;

    const PlaybackConfig& config() const { return config_; }
    const DeviceIdentity& identity() const { return identity_; }
    std::shared_ptr<EndpointVolume> volume() const { return volume_; }
    std::shared_ptr<SystemEndpoint> endpoint() const { return endpoint_; }
    std::shared_ptr<AdapterDevice> adapter() const { return adapter_; }

    // What was played since the last call, interleaved; silence where nothing was announced in time.
    std::vector<float> TakeRecording();
    // The same, with when each frame was played (against the monotonic clock the performance counter runs on).
    PlayedRecord TakePlayed();
    // Silences played because the client fell behind: WaveRT packets it had not announced, or stretches of
    // standard streaming in which no write request was waiting.
    uint64_t Underruns() const;

protected:
    void Render(const StreamFormat& format, const BYTE* source, ULONG frames,
                Clock::time_point firstFrameTime) override;

private:
    PlaybackConfig config_;
    DeviceIdentity identity_;
    std::vector<float> recording_;   // guarded by the device lock, as are the two below
    std::vector<PlayedSpan> spans_;  // firstFrame counted from the start of recording_
    unsigned channels_ = 0;
    uint64_t underruns_ = 0;
    std::shared_ptr<EndpointVolume> volume_;
    std::shared_ptr<SystemEndpoint> endpoint_;
    std::shared_ptr<AdapterDevice> adapter_;
};

}  // namespace sim::devices
