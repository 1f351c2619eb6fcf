#include "sim/devices/system_endpoint.h"

#include <cmath>

namespace sim::devices {

EndpointVolume::EndpointVolume(VolumeSetup setup, UINT channels)
    : setup_(setup.hardware ? setup : VolumeSetup{false, -96.0f, 0.0f, 1.0f, 0.0f}),
      channels_(channels),
      levelDb_(setup_.levelDb) {}

DWORD EndpointVolume::HardwareSupport() const {
    return setup_.hardware ? ENDPOINT_HARDWARE_SUPPORT_VOLUME | ENDPOINT_HARDWARE_SUPPORT_MUTE : 0;
}

void EndpointVolume::Range(float& minDb, float& maxDb, float& stepDb) const {
    minDb = setup_.minDb;
    maxDb = setup_.maxDb;
    stepDb = setup_.stepDb;
}

float EndpointVolume::LevelDb() const {
    std::lock_guard<std::mutex> guard(lock_);
    return levelDb_;
}

HRESULT EndpointVolume::SetLevelDb(float levelDb) {
    if (!(levelDb >= setup_.minDb && levelDb <= setup_.maxDb)) return E_INVALIDARG;
    float steps = std::round((levelDb - setup_.minDb) / setup_.stepDb);
    std::lock_guard<std::mutex> guard(lock_);
    levelDb_ = std::fmin(setup_.maxDb, setup_.minDb + steps * setup_.stepDb);
    return S_OK;
}

bool EndpointVolume::Muted() const {
    std::lock_guard<std::mutex> guard(lock_);
    return muted_;
}

void EndpointVolume::SetMuted(bool muted) {
    std::lock_guard<std::mutex> guard(lock_);
    muted_ = muted;
}

SystemEndpoint::SystemEndpoint(std::u16string id, EDataFlow flow, std::u16string name, std::u16string connectedTo,
                               std::shared_ptr<EndpointVolume> volume)
    : id_(std::move(id)),
      flow_(flow),
      name_(std::move(name)),
      connectedTo_(std::move(connectedTo)),
      volume_(std::move(volume)) {}

bool SystemEndpoint::IsEndpoint(EDataFlow& flow) const {
    flow = flow_;
    return true;
}

bool AdapterDevice::ContainerId(GUID& id) const {
    id = containerId_;
    return true;
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace sim::devices
