#include "sim/devices/virtual_microphone.h"

namespace sim::devices {
namespace {
KsDeviceSetup CaptureSetup(const MicrophoneSpec& spec) {
    KsDeviceSetup setup;
    setup.capture = true;
    setup.formats = spec.formats;
    setup.streaming = spec.streaming;
    setup.offsetPpm = spec.offsetPpm;
    setup.bufferGranularityFrames = spec.bufferGranularityFrames;
    return setup;
}
}  // namespace

VirtualMicrophone::VirtualMicrophone(const MicrophoneSpec& spec, DeviceIdentity identity)
    : KsAudioDevice(CaptureSetup(spec)), spec_(spec), identity_(std::move(identity)) {
    if (spec_.hid) {
        // The command switches the stream that is open; a microphone without a stream has nothing to switch.
        hid_ = std::make_shared<HidDevice>(spec_.hidSetup, [this] {
            if (PinOpen()) floatSamples_.store(true);
        });
    }
    volume_ = std::make_shared<EndpointVolume>(spec_.volume, spec_.formats.channels);
    endpoint_ = std::make_shared<SystemEndpoint>(Widen(identity_.endpointId), eCapture, Widen(spec_.name),
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
    for (ULONG i = 0; i < frames; ++i) {
        double value = spec_.signal.At(signalFrame + i, format.rate);
        BYTE* frame = destination + static_cast<size_t>(i) * format.blockAlign;
        for (WORD channel = 0; channel < format.channels; ++channel)
            EncodeSample(format, value, asFloat, frame + channel * format.containerBytes);
    }
}

}  // namespace sim::devices
