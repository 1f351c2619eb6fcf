// The system's audio graph as the simulated Core Audio presents it (sim/os/core_audio_sim.h): endpoints with
// their volume, properties and topology, and the devices their connectors lead to. The installed virtual kernel
// lists these devices (VirtualKernel::AudioDevices); their state lives with the virtual hardware. Simulation only.
#pragma once

#include <memory>
#include <string>

#include "platform/win32.h"

namespace sim::os {

// The volume control of one endpoint. Thread-safe: Core Audio calls it from any thread.
class EndpointVolumeControl {
public:
    virtual ~EndpointVolumeControl() = default;
    virtual DWORD HardwareSupport() const = 0;  // ENDPOINT_HARDWARE_SUPPORT_* bits
    virtual void Range(float& minDb, float& maxDb, float& stepDb) const = 0;
    virtual float LevelDb() const = 0;
    // E_INVALIDARG outside the range; a level between two steps goes to the nearer one.
    virtual HRESULT SetLevelDb(float levelDb) = 0;
    virtual bool Muted() const = 0;
    virtual void SetMuted(bool muted) = 0;
    virtual UINT Channels() const = 0;
};

class AudioDevice {
public:
    virtual ~AudioDevice() = default;
    virtual std::u16string Id() const = 0;
    // Endpoints have a data flow (eRender or eCapture); the devices behind their connectors have none.
    virtual bool IsEndpoint(EDataFlow& flow) const = 0;
    virtual DWORD State() const { return DEVICE_STATE_ACTIVE; }
    virtual std::u16string FriendlyName() const { return {}; }
    // PKEY_Device_ContainerId; false when the device has none.
    virtual bool ContainerId(GUID& /*id*/) const { return false; }
    // The device that connector 0 of this device's topology leads to; empty when it leads nowhere.
    virtual std::u16string ConnectedDeviceId() const { return {}; }
    // Endpoints have a volume (in software when the hardware has none); other devices return null.
    virtual std::shared_ptr<EndpointVolumeControl> Volume() { return nullptr; }
};

// Writes the registration of Core Audio's device enumerator into the registry, as every Windows installation
// has it. The simulated registry starts empty, so whoever sets up a machine with audio devices calls this.
void RegisterCoreAudio();

}  // namespace sim::os
