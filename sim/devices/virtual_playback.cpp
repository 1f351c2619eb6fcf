#include "sim/devices/virtual_playback.h"

#include <algorithm>

namespace sim::devices {
namespace {
KsDeviceSetup RenderSetup(const PlaybackSpec& spec) {
    KsDeviceSetup setup;
    setup.capture = false;
    setup.formats = spec.formats;
    setup.streaming = spec.streaming;
    setup.writePacketSupport = spec.writePacketSupport;
    setup.offsetPpm = spec.offsetPpm;
    setup.bufferGranularityFrames = spec.bufferGranularityFrames;
    return setup;
}
}  // namespace

VirtualPlayback::VirtualPlayback(const PlaybackSpec& spec, DeviceIdentity identity)
    : KsAudioDevice(RenderSetup(spec)), spec_(spec), identity_(std::move(identity)) {
    volume_ = std::make_shared<EndpointVolume>(spec_.volume, spec_.formats.channels);
    endpoint_ = std::make_shared<SystemEndpoint>(Widen(identity_.endpointId), eRender, Widen(spec_.name),
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
    if (!source) frames = static_cast<ULONG>(std::min<size_t>(frames, spec_.recordFrames));
    size_t samples = static_cast<size_t>(frames) * format.channels;
    for (size_t i = 0; i < samples; ++i)
        recording_.push_back(source ? DecodeSample(format, source + i * format.containerBytes) : 0.0f);
    size_t limit = spec_.recordFrames * format.channels;
    if (recording_.size() > limit) recording_.erase(recording_.begin(), recording_.end() - static_cast<long>(limit));
}

}  // namespace sim::devices
