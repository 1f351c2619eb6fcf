// The virtual Tessel microphone: a kernel-streaming capture device on its own crystal that records its signal,
// with a HID interface in the same container that takes the float-format command, and a system capture endpoint
// with a hardware volume whose topology leads to that container.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "sim/devices/hid_device.h"
#include "sim/devices/ks_device.h"
#include "sim/devices/room.h"
#include "sim/devices/signal.h"
#include "sim/devices/system_endpoint.h"

namespace sim::devices {

struct MicrophoneConfig {
    std::string name = "Tessel";
    double offsetPpm = 0.0;
    Signal signal = Signal::Sine(1000.0, 0.25);
    // The room whose events this microphone hears on top of its signal (the world's own unless set), and how long
    // the sound takes from an event to this microphone.
    std::shared_ptr<const Room> room;
    double acousticDelayMs = 0.0;
    // Found through product ID 0101: firmware the driver cannot record from.
    bool needsFirmware = false;
    FormatSupport formats{{SampleKind::Int24In32}, {48000, 96000, 192000}, 1};
    Streaming streaming = Streaming::WaveRt;
    ULONG bufferGranularityFrames = 1;
    bool hid = true;
    HidSetup hidSetup;
    VolumeSetup volume;
};

// The names under which the system knows one device (filled in by the world).
struct DeviceIdentity {
    std::string audioPath;     // the filter's interface path in KSCATEGORY_AUDIO
    std::string categoryPath;  // its alias in KSCATEGORY_CAPTURE or KSCATEGORY_RENDER
    std::string instanceId;    // the device instance
    std::string endpointId;    // the Core Audio endpoint ID
    std::string adapterId;     // the device the endpoint's connector leads to
    GUID containerId{};
    std::string hidPath;  // microphones: the HID interface path
    std::string hidInstanceId;
};

class VirtualMicrophone : public KsAudioDevice {
public:
    VirtualMicrophone(const MicrophoneConfig& config, DeviceIdentity identity);
    ~VirtualMicrophone() override;

    const MicrophoneConfig& config() const { return config_; }
    const DeviceIdentity& identity() const { return identity_; }
    // Null when the microphone has no HID interface.
    std::shared_ptr<HidDevice> hid() const { return hid_; }
    std::shared_ptr<EndpointVolume> volume() const { return volume_; }
    std::shared_ptr<SystemEndpoint> endpoint() const { return endpoint_; }
    std::shared_ptr<AdapterDevice> adapter() const { return adapter_; }
    // Whether the open stream carries IEEE floats (the float-format command was taken).
    bool FloatSamples() const { return floatSamples_.load(); }

protected:
    void Capture(const StreamFormat& format, int64_t signalFrame, BYTE* destination, ULONG frames) override;
    void StreamClosed() override { floatSamples_.store(false); }

private:
    MicrophoneConfig config_;
    DeviceIdentity identity_;
    std::atomic<bool> floatSamples_{false};
    std::shared_ptr<HidDevice> hid_;
    std::shared_ptr<EndpointVolume> volume_;
    std::shared_ptr<SystemEndpoint> endpoint_;
    std::shared_ptr<AdapterDevice> adapter_;
};

}  // namespace sim::devices
