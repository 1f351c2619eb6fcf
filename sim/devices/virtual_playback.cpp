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

std::optional<Clock::time_point> PlayedRecord::TimeOf(size_t frame) const {
    auto after = std::upper_bound(spans.begin(), spans.end(), frame,
                                  [](size_t f, const PlayedSpan& span) { return f < span.firstFrame; });
    if (after == spans.begin()) return std::nullopt;
    const PlayedSpan& span = *(after - 1);
    const size_t end = after == spans.end() ? (channels ? samples.size() / channels : 0) : after->firstFrame;
    if (frame >= end) return std::nullopt;
    const double seconds = static_cast<double>(frame - span.firstFrame) / span.frameRate;
    return span.firstFrameTime + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::vector<float> VirtualPlayback::TakeRecording() { return TakePlayed().samples; }

PlayedRecord VirtualPlayback::TakePlayed() {
    std::lock_guard<std::mutex> guard(lock_);
    PlayedRecord taken;
    taken.samples.swap(recording_);
    taken.spans.swap(spans_);
    taken.channels = channels_;
    return taken;
}

uint64_t VirtualPlayback::Underruns() const {
    std::lock_guard<std::mutex> guard(lock_);
    return underruns_;
}

void VirtualPlayback::Render(const StreamFormat& format, const BYTE* source, ULONG frames,
                             Clock::time_point firstFrameTime) {
    if (!source) ++underruns_;
    // A long silence needs no more of it recorded than the record keeps (its end is what was played last).
    if (!source && frames > config_.recordFrames) {
        const double skipped = static_cast<double>(frames - config_.recordFrames) / crystal().ActualRate(format.rate);
        firstFrameTime += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(skipped));
        frames = static_cast<ULONG>(config_.recordFrames);
    }
    // A new format starts a new record.
    if (channels_ != format.channels) {
        recording_.clear();
        spans_.clear();
        channels_ = format.channels;
    }
    spans_.push_back(
        {recording_.size() / format.channels, firstFrameTime, crystal().ActualRate(format.rate), source == nullptr});
    size_t samples = static_cast<size_t>(frames) * format.channels;
    for (size_t i = 0; i < samples; ++i)
        recording_.push_back(source ? DecodeSample(format, source + i * format.containerBytes) : 0.0f);
    size_t limit = config_.recordFrames * format.channels;
    if (recording_.size() > limit) {
        const size_t dropped = (recording_.size() - limit) / format.channels;
        recording_.erase(recording_.begin(), recording_.end() - static_cast<long>(limit));
        // Spans that ended before the kept part go; the one it starts in begins where the record now does.
        std::vector<PlayedSpan> kept;
        for (size_t i = 0; i < spans_.size(); ++i) {
            const size_t end = i + 1 < spans_.size() ? spans_[i + 1].firstFrame : SIZE_MAX;
            if (end <= dropped) continue;
            PlayedSpan span = spans_[i];
            if (span.firstFrame < dropped) {
                const double seconds = static_cast<double>(dropped - span.firstFrame) / span.frameRate;
                span.firstFrameTime +=
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
                span.firstFrame = dropped;
            }
            span.firstFrame -= dropped;
            kept.push_back(span);
        }
        spans_.swap(kept);
    }
}

}  // namespace sim::devices
