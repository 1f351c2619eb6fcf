// How Windows presents a virtual audio device to Core Audio: a system endpoint (its ID, name and volume), whose
// topology connector leads to the device behind it, which carries the physical device's container ID.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "sim/os/audio_graph.h"

namespace sim::devices {

struct VolumeSetup {
    bool hardware = true;  // a hardware volume control; otherwise Windows' software volume
    float minDb = -10.0f;
    float maxDb = 30.0f;
    float stepDb = 0.5f;
    float levelDb = 0.0f;
};

// An endpoint's volume: the level in dB within the range, on the range's steps.
class EndpointVolume : public sim::os::EndpointVolumeControl {
public:
    EndpointVolume(VolumeSetup setup, UINT channels);
    DWORD HardwareSupport() const override;
    void Range(float& minDb, float& maxDb, float& stepDb) const override;
    float LevelDb() const override;
    HRESULT SetLevelDb(float levelDb) override;
    bool Muted() const override;
    void SetMuted(bool muted) override;
    UINT Channels() const override { return channels_; }

private:
    const VolumeSetup setup_;
    const UINT channels_;
    mutable std::mutex lock_;
    float levelDb_;
    bool muted_ = false;
};

class SystemEndpoint : public sim::os::AudioDevice {
public:
    SystemEndpoint(std::u16string id, EDataFlow flow, std::u16string name, std::u16string connectedTo,
                   std::shared_ptr<EndpointVolume> volume);
    std::u16string Id() const override { return id_; }
    bool IsEndpoint(EDataFlow& flow) const override;
    std::u16string FriendlyName() const override { return name_; }
    std::u16string ConnectedDeviceId() const override { return connectedTo_; }
    std::shared_ptr<sim::os::EndpointVolumeControl> Volume() override { return volume_; }

private:
    std::u16string id_;
    EDataFlow flow_;
    std::u16string name_;
    std::u16string connectedTo_;
    std::shared_ptr<EndpointVolume> volume_;
};

// The device an endpoint's connector leads to: the adapter side, which knows the physical device.
class AdapterDevice : public sim::os::AudioDevice {
public:
    AdapterDevice(std::u16string id, GUID containerId) : id_(std::move(id)), containerId_(containerId) {}
    std::u16string Id() const override { return id_; }
    bool IsEndpoint(EDataFlow&) const override { return false; }
    bool ContainerId(GUID& id) const override;

private:
    std::u16string id_;
    GUID containerId_;
};

std::u16string Widen(const std::string& text);

}  // namespace sim::devices
