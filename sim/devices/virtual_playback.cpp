#include "sim/devices/virtual_playback.h"

#include <algorithm>

namespace sim::devices {
namespace {
KsDeviceSetup RenderSetup(const PlaybackConfig& config) {
    KsDeviceSetup setup;
    setup.capture = false;
    setup.formats = config.formats;
    setup.streaming = config.streaming;
    setup.writePacketSupport = config.writePacketSupport;
    setup.offsetPpm = config.offsetPpm;
    setup.bufferGranularityFrames = config.bufferGranularityFrames;
    return setup;
}
}  // namespace

VirtualPlayback::VirtualPlayback(const PlaybackConfig& config, DeviceIdentity identity)
    : KsAudioDevice(RenderSetup(config)), config_(config), identity_(std::move(identity)) {
    volume_ = std::make_shared<EndpointVolume>(config_.volume, config_.formats.channels);
    endpoint_ = std::make_shared<SystemEndpoint>(Widen(identity_.endpointId), eRender, Widen(config_.name),
                                                 Widen(identity_.adapterId), volume_);
    adapter_ = std::make_shared<AdapterDevice>(Widen(identity_.adapterId), identity_.containerId);
}

VirtualPlayback::~VirtualPlayback() { Shutdown(); }

std::vector<float> VirtualPlayback::TakeRecording() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<float> taken;
    taken.swap(recording_);
    return taken;
}

uint64_t VirtualPlayback::Underruns() const {
    std::lock_guard<std::mutex> guard(lock_);
    return underruns_;
}

void VirtualPlayback::Render(const StreamFormat& format, const BYTE* source, ULONG frames) {
    if (!source) ++underruns_;
    // A long silence needs no more of it recorded than the record keeps.
    if (!source) frames = static_cast<ULONG>(std::min<size_t>(frames, config_.recordFrames));
    size_t samples = static_cast<size_t>(frames) * format.channels;
    for (size_t i = 0; i < samples; ++i)
        recording_.push_back(source ? DecodeSample(format, source + i * format.containerBytes) : 0.0f);
    size_t limit = config_.recordFrames * format.channels;
    if (recording_.size() > limit) recording_.erase(recording_.begin(), recording_.end() - static_cast<long>(limit));
}

}  // namespace sim::devices
