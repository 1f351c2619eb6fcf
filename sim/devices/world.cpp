#include "sim/devices/world.h"

#include <cstdio>

#include "sim/os/hid_class.h"

namespace sim::devices {
namespace {

// DEVPKEY_Device_BusRelations: the devices enumerated by this one (for an audio device, its endpoints).
constexpr DEVPROPKEY kBusRelations = {{0x4340A6C5, 0x93FA, 0x4706, {0x97, 0x2C, 0x7B, 0x64, 0x80, 0x08, 0xA5, 0xA7}},
                                      7};

std::string GuidText(const GUID& guid, bool lower) {
    char text[40];
    std::snprintf(text, sizeof text,
                  lower ? "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}"
                        : "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

GUID NumberedGuid(uint32_t kind, int serial) {
    GUID guid = {kind, 0x5E2D, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
    guid.Data4[6] = static_cast<uint8_t>(serial >> 8);
    guid.Data4[7] = static_cast<uint8_t>(serial);
    return guid;
}

std::vector<BYTE> WideList(const std::string& text) {
    std::vector<BYTE> bytes;
    for (char c : text) {
        bytes.push_back(static_cast<BYTE>(c));
        bytes.push_back(0);
    }
    for (int i = 0; i < 4; ++i) bytes.push_back(0);  // the string's and the list's terminators
    return bytes;
}

std::vector<BYTE> GuidBytes(const GUID& guid) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&guid);
    return std::vector<BYTE>(p, p + sizeof guid);
}

sim::os::DeviceInterface Interface(const GUID& category, const std::string& path, const std::string& instanceId,
                                   const std::string& friendlyName) {
    sim::os::DeviceInterface item;
    item.category = category;
    item.path = path;
    item.deviceInstanceId = instanceId;
    item.referenceString = "global";
    if (!friendlyName.empty()) item.registryValues.push_back({"FriendlyName", friendlyName});
    return item;
}

}  // namespace

std::shared_ptr<World> World::Create(const WorldConfig& config) {
    std::shared_ptr<World> world(new World);
    world->room_ = std::make_shared<Room>(config.room, Clock::now());
    for (int i = 0; i < config.otherHidDevices; ++i) world->AddOtherHidDevice();
    for (const auto& microphone : config.microphones) world->AddMicrophone(microphone);
    for (const auto& playback : config.playbacks) world->AddPlayback(playback);
    return world;
}

World::~World() { Uninstall(); }

DeviceIdentity World::NewIdentity(bool capture, const std::string& hardware) {
    int serial = ++serial_;
    char instance[32];
    std::snprintf(instance, sizeof instance, "7&%08x&0&0000", 0x2A5C1E00u + static_cast<unsigned>(serial));
    DeviceIdentity identity;
    std::string base = "\\\\?\\" + hardware + "#" + instance + "#";
    identity.audioPath = base + GuidText(KSCATEGORY_AUDIO, true) + "\\global";
    identity.categoryPath = base + GuidText(capture ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER, true) + "\\global";
    std::string upper = hardware;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : upper)
        if (c == '#') c = '\\';
    identity.instanceId = upper + "\\" + instance;
    for (char& c : identity.instanceId) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    identity.endpointId = std::string(capture ? "{0.0.1.00000000}." : "{0.0.0.00000000}.") +
                          GuidText(NumberedGuid(0xE0D00000u, serial), false);
    identity.adapterId = "{2}." + identity.audioPath;
    identity.containerId = NumberedGuid(0xC0A70000u, serial);
    return identity;
}

std::shared_ptr<VirtualMicrophone> World::AddMicrophone(const MicrophoneConfig& config) {
    std::lock_guard<std::mutex> guard(lock_);
    const char* product = config.needsFirmware ? "0101" : "0102";
    DeviceIdentity identity = NewIdentity(true, std::string("usb#vid_5e2d&pid_") + product + "&mi_00");
    char hidInstance[32];
    std::snprintf(hidInstance, sizeof hidInstance, "8&%08x&0&0000", 0x1F3A0000u + static_cast<unsigned>(serial_));
    identity.hidPath = std::string("\\\\?\\hid#vid_5e2d&pid_") + product + "&mi_03#" + hidInstance + "#" +
                       GuidText(sim::os::kHidInterfaceClass, true);
    identity.hidInstanceId = std::string("HID\\VID_5E2D&PID_") + product + "&MI_03\\" + hidInstance;
    for (char& c : identity.hidInstanceId) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    MicrophoneConfig withRoom = config;
    if (!withRoom.room) withRoom.room = room_;
    auto microphone = std::make_shared<VirtualMicrophone>(withRoom, identity);
    microphones_.push_back(microphone);
    return microphone;
}

std::shared_ptr<VirtualPlayback> World::AddPlayback(const PlaybackConfig& config) {
    std::lock_guard<std::mutex> guard(lock_);
    char hardware[48];
    std::snprintf(hardware, sizeof hardware, "hdaudio#func_01&ven_10ec&dev_%04x", 0x0200 + serial_ + 1);
    auto playback = std::make_shared<VirtualPlayback>(config, NewIdentity(false, hardware));
    playbacks_.push_back(playback);
    return playback;
}

void World::AddOtherHidDevice() {
    std::lock_guard<std::mutex> guard(lock_);
    int serial = ++serial_;
    char instance[32];
    std::snprintf(instance, sizeof instance, "9&%08x&0&0000", 0x3C4D0000u + static_cast<unsigned>(serial));
    OtherHid other;
    other.path = std::string("\\\\?\\hid#vid_046d&pid_c31c&mi_00#") + instance + "#" +
                 GuidText(sim::os::kHidInterfaceClass, true);
    other.instanceId = std::string("HID\\VID_046D&PID_C31C&MI_00\\") + instance;
    other.containerId = NumberedGuid(0xC0A70000u, serial);
    HidSetup setup;
    setup.inputReportBytes = 9;
    setup.outputReportBytes = 2;
    setup.refuseOpen = true;
    other.device = std::make_shared<HidDevice>(setup, nullptr);
    otherHid_.push_back(other);
}

void World::Install() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        installed_ = true;
    }
    sim::os::RegisterCoreAudio();
    sim::os::InstallVirtualKernel(shared_from_this());
}

void World::Uninstall() {
    std::vector<std::shared_ptr<VirtualMicrophone>> microphones;
    std::vector<std::shared_ptr<VirtualPlayback>> playbacks;
    std::vector<OtherHid> others;
    bool wasInstalled;
    {
        std::lock_guard<std::mutex> guard(lock_);
        wasInstalled = installed_;
        installed_ = false;
        microphones = microphones_;
        playbacks = playbacks_;
        others = otherHid_;
    }
    if (wasInstalled && sim::os::InstalledVirtualKernel().get() == this) sim::os::InstallVirtualKernel(nullptr);
    for (auto& microphone : microphones) {
        microphone->Shutdown();
        if (microphone->hid()) microphone->hid()->Shutdown();
    }
    for (auto& playback : playbacks) playback->Shutdown();
    for (auto& other : others) other.device->Shutdown();
}

std::vector<std::shared_ptr<VirtualMicrophone>> World::Microphones() const {
    std::lock_guard<std::mutex> guard(lock_);
    return microphones_;
}

std::vector<std::shared_ptr<VirtualPlayback>> World::Playbacks() const {
    std::lock_guard<std::mutex> guard(lock_);
    return playbacks_;
}

std::vector<sim::os::DeviceInterface> World::Interfaces(const GUID& category) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<sim::os::DeviceInterface> found;
    if (category == sim::os::kHidInterfaceClass) {
        for (const auto& other : otherHid_) found.push_back(Interface(category, other.path, other.instanceId, ""));
        for (const auto& microphone : microphones_)
            if (microphone->hid())
                found.push_back(
                    Interface(category, microphone->identity().hidPath, microphone->identity().hidInstanceId, ""));
        return found;
    }
    for (const auto& microphone : microphones_) {
        const DeviceIdentity& id = microphone->identity();
        if (category == KSCATEGORY_AUDIO)
            found.push_back(Interface(category, id.audioPath, id.instanceId, microphone->config().name));
        else if (category == KSCATEGORY_CAPTURE)
            found.push_back(Interface(category, id.categoryPath, id.instanceId, microphone->config().name));
    }
    for (const auto& playback : playbacks_) {
        const DeviceIdentity& id = playback->identity();
        if (category == KSCATEGORY_AUDIO)
            found.push_back(Interface(category, id.audioPath, id.instanceId, playback->config().name));
        else if (category == KSCATEGORY_RENDER)
            found.push_back(Interface(category, id.categoryPath, id.instanceId, playback->config().name));
    }
    return found;
}

DWORD World::Open(const std::string& path, DWORD access, std::shared_ptr<sim::os::KernelFile>& file) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& microphone : microphones_) {
        const DeviceIdentity& id = microphone->identity();
        if (path == id.audioPath || path == id.categoryPath) {
            file = microphone->OpenFilter();
            return ERROR_SUCCESS;
        }
        if (microphone->hid() && path == id.hidPath) return microphone->hid()->Open(access, file);
    }
    for (const auto& playback : playbacks_) {
        const DeviceIdentity& id = playback->identity();
        if (path == id.audioPath || path == id.categoryPath) {
            file = playback->OpenFilter();
            return ERROR_SUCCESS;
        }
    }
    for (const auto& other : otherHid_)
        if (path == other.path) return other.device->Open(access, file);
    return ERROR_FILE_NOT_FOUND;
}

bool World::DeviceProperty(const std::string& instanceId, const DEVPROPKEY& key, DEVPROPTYPE& type,
                           std::vector<BYTE>& value) {
    std::lock_guard<std::mutex> guard(lock_);
    bool busRelations = key.fmtid == kBusRelations.fmtid && key.pid == kBusRelations.pid;
    bool baseContainer =
        key.fmtid == DEVPKEY_Device_BaseContainerId.fmtid && key.pid == DEVPKEY_Device_BaseContainerId.pid;
    auto answer = [&](const DeviceIdentity& id) {
        if (busRelations && id.instanceId == instanceId) {
            // An audio device enumerates its endpoint as a software device.
            type = DEVPROP_TYPE_STRING_LIST;
            value = WideList("SWD\\MMDEVAPI\\" + id.endpointId);
            return true;
        }
        if (baseContainer &&
            (id.instanceId == instanceId || (!id.hidInstanceId.empty() && id.hidInstanceId == instanceId))) {
            type = DEVPROP_TYPE_GUID;
            value = GuidBytes(id.containerId);
            return true;
        }
        return false;
    };
    for (const auto& microphone : microphones_)
        if (answer(microphone->identity())) return true;
    for (const auto& playback : playbacks_)
        if (answer(playback->identity())) return true;
    for (const auto& other : otherHid_) {
        if (baseContainer && other.instanceId == instanceId) {
            type = DEVPROP_TYPE_GUID;
            value = GuidBytes(other.containerId);
            return true;
        }
    }
    return false;
}

std::vector<std::shared_ptr<sim::os::AudioDevice>> World::AudioDevices() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::shared_ptr<sim::os::AudioDevice>> devices;
    for (const auto& microphone : microphones_) {
        devices.push_back(microphone->endpoint());
        devices.push_back(microphone->adapter());
    }
    for (const auto& playback : playbacks_) {
        devices.push_back(playback->endpoint());
        devices.push_back(playback->adapter());
    }
    return devices;
}

ScopedWorld::ScopedWorld(const WorldConfig& config) : world_(World::Create(config)) { world_->Install(); }

ScopedWorld::~ScopedWorld() { world_->Uninstall(); }

}  // namespace sim::devices
