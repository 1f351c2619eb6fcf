#include "sim/devices/virtual_microphone.h"

namespace sim::devices {
namespace {
KsDeviceSetup CaptureSetup(const MicrophoneConfig& config) {
    KsDeviceSetup setup;
    setup.capture = true;
    setup.formats = config.formats;
    setup.streaming = config.streaming;
    setup.offsetPpm = config.offsetPpm;
    setup.bufferGranularityFrames = config.bufferGranularityFrames;
    return setup;
}
}  // namespace

VirtualMicrophone::VirtualMicrophone(const MicrophoneConfig& config, DeviceIdentity identity)
    : KsAudioDevice(CaptureSetup(config)), config_(config), identity_(std::move(identity)) {
    if (config_.hid) {
        // The command switches the stream that is open; a microphone without a stream has nothing to switch.
        hid_ = std::make_shared<HidDevice>(config_.hidSetup, [this] {
            if (PinOpen()) floatSamples_.store(true);
        });
    }
    volume_ = std::make_shared<EndpointVolume>(config_.volume, config_.formats.channels);
    endpoint_ = std::make_shared<SystemEndpoint>(Widen(identity_.endpointId), eCapture, Widen(config_.name),
                                                 Widen(identity_.adapterId), volume_);
    adapter_ = std::make_shared<AdapterDevice>(Widen(identity_.adapterId), identity_.containerId);
}

VirtualMicrophone::~VirtualMicrophone() {
    // The device thread calls Capture, which this object's members serve: it ends before they go.
    Shutdown();
    if (hid_) hid_->Shutdown();
}

void VirtualMicrophone::Capture(const StreamFormat& format, int64_t signalFrame, BYTE* destination, ULONG frames) {
    bool asFloat = floatSamples_.load();
    const bool room = config_.room && !config_.room->Quiet();
    const double delaySeconds = config_.acousticDelayMs * 1e-3;
    for (ULONG i = 0; i < frames; ++i) {
        double value = config_.signal.At(signalFrame + i, format.rate);
        if (room) value += config_.room->At(SignalFrameTime(signalFrame + i), delaySeconds);
        BYTE* frame = destination + static_cast<size_t>(i) * format.blockAlign;
        for (WORD channel = 0; channel < format.channels; ++channel)
            EncodeSample(format, value, asFloat, frame + channel * format.containerBytes);
    }
}

}  // namespace sim::devices
