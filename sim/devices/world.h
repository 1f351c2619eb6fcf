// A machine's worth of virtual hardware: microphones, playback devices and other HID devices, installed as the
// simulated platform's kernel. Build one for a test or a tool, install it, and uninstall it (which unplugs every
// device) when done:
//
//     sim::devices::ScopedWorld world(sim::devices::Machine({mic50ppm, micMinus20ppm}, {speakers}));
//
// Devices are listed in the order they were added, as the system would report them.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/devices/virtual_microphone.h"
#include "sim/devices/virtual_playback.h"
#include "sim/os/virtual_kernel.h"

namespace sim::devices {

struct WorldConfig {
    std::vector<MicrophoneConfig> microphones;
    std::vector<PlaybackConfig> playbacks;
    // HID devices of other kinds (a keyboard, a mouse) listed before the microphones' ones, each in its own
    // container; the system keeps them open for itself.
    int otherHidDevices = 0;
    // The events every microphone hears (a quiet room by default); its clock starts when the world is built.
    RoomConfig room;
};

inline WorldConfig Machine(std::vector<MicrophoneConfig> microphones, std::vector<PlaybackConfig> playbacks = {},
                           int otherHidDevices = 0) {
    WorldConfig config;
    config.microphones = std::move(microphones);
    config.playbacks = std::move(playbacks);
    config.otherHidDevices = otherHidDevices;
    return config;
}

class World : public sim::os::VirtualKernel, public std::enable_shared_from_this<World> {
public:
    static std::shared_ptr<World> Create(const WorldConfig& config = {});
    ~World() override;

    std::shared_ptr<VirtualMicrophone> AddMicrophone(const MicrophoneConfig& config = {});
    std::shared_ptr<const Room> room() const { return room_; }
    std::shared_ptr<VirtualPlayback> AddPlayback(const PlaybackConfig& config = {});
    void AddOtherHidDevice();

    // From now on the simulated platform's devices are these; Core Audio's registration is written too.
    void Install();
    // Unplugs every device and leaves the platform without devices.
    void Uninstall();

    std::vector<std::shared_ptr<VirtualMicrophone>> Microphones() const;
    std::vector<std::shared_ptr<VirtualPlayback>> Playbacks() const;

    // sim::os::VirtualKernel
    std::vector<sim::os::DeviceInterface> Interfaces(const GUID& category) override;
    DWORD Open(const std::string& path, DWORD access, std::shared_ptr<sim::os::KernelFile>& file) override;
    bool DeviceProperty(const std::string& instanceId, const DEVPROPKEY& key, DEVPROPTYPE& type,
                        std::vector<BYTE>& value) override;
    std::vector<std::shared_ptr<sim::os::AudioDevice>> AudioDevices() override;

private:
    World() = default;
    struct OtherHid {
        std::string path;
        std::string instanceId;
        GUID containerId;
        std::shared_ptr<HidDevice> device;
    };
    DeviceIdentity NewIdentity(bool capture, const std::string& productId);

    std::shared_ptr<const Room> room_ = std::make_shared<Room>(RoomConfig{}, Clock::now());
    mutable std::mutex lock_;
    int serial_ = 0;
    std::vector<std::shared_ptr<VirtualMicrophone>> microphones_;
    std::vector<std::shared_ptr<VirtualPlayback>> playbacks_;
    std::vector<OtherHid> otherHid_;
    // Interfaces in the order devices were added: (category, path, instance, owner index) as listed.
    bool installed_ = false;
};

// Builds and installs a world for the life of the object.
class ScopedWorld {
public:
    explicit ScopedWorld(const WorldConfig& config = {});
    ~ScopedWorld();
    ScopedWorld(const ScopedWorld&) = delete;
    ScopedWorld& operator=(const ScopedWorld&) = delete;
    World* operator->() const { return world_.get(); }
    World& operator*() const { return *world_; }
    std::shared_ptr<VirtualMicrophone> microphone(size_t index) const { return world_->Microphones().at(index); }
    std::shared_ptr<VirtualPlayback> playback(size_t index) const { return world_->Playbacks().at(index); }

private:
    std::shared_ptr<World> world_;
};

}  // namespace sim::devices
