// A virtual playback device: a kernel-streaming render device on its own crystal with a system render endpoint,
// which keeps a record of what it played (as floats, interleaved) so that tests can check the output path.
#pragma once

#include <memory>
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
    // Silences played because the client fell behind: WaveRT packets it had not announced, or stretches of
    // standard streaming in which no write request was waiting.
    uint64_t Underruns() const;

protected:
    void Render(const StreamFormat& format, const BYTE* source, ULONG frames) override;

private:
    PlaybackConfig config_;
    DeviceIdentity identity_;
    std::vector<float> recording_;  // guarded by the device lock
    uint64_t underruns_ = 0;
    std::shared_ptr<EndpointVolume> volume_;
    std::shared_ptr<SystemEndpoint> endpoint_;
    std::shared_ptr<AdapterDevice> adapter_;
};

}  // namespace sim::devices
