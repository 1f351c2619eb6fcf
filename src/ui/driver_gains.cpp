// The microphones' gains as the panel sees them: the system volume of the endpoint attached to each microphone
// FIFO. Panel thread. The host's thread may reopen the devices meanwhile (a new rate, a reset, disposeBuffers):
// the slot's endpoint is read and used under the driver's device-state lock, which the reopen holds while it
// destroys endpoints and attaches new ones, so the panel never acts on an endpoint that is being destroyed nor on
// a new one that happens to reuse a destroyed one's address. A slot without an endpoint (none, or between a
// close and an open) reads as a microphone without hardware volume: 0 dB, and nothing to set.
#include <mutex>

#include "driver/asio_driver.h"
#include "ui/panel_state.h"

namespace {

// Calls `use` with the slot's endpoint (null for none) while the devices cannot be reopened.
template <class Use>
void WithSlotEndpoint(CAsioDriver& driver, int slot, Use use) {
    std::lock_guard<std::mutex> hold(driver.deviceStateLock);
    use(slot >= 0 && slot < CAsioDriver::kMaxInputs ? driver.inputFifos[slot].device : nullptr);
}

}  // namespace

panel::GainRange DriverGains::Range(int slot) {
    panel::GainRange range;
    WithSlotEndpoint(driver, slot, [&](CKSDevice* endpoint) {
        driver.deviceManager.GetVolumeRange(endpoint, &range.minDb, &range.maxDb, &range.stepDb);
    });
    return range;
}

float DriverGains::GainDb(int slot) {
    float gainDb = 0;
    WithSlotEndpoint(driver, slot, [&](CKSDevice* endpoint) { gainDb = driver.deviceManager.GetGainDb(endpoint); });
    return gainDb;
}

void DriverGains::SetGainDb(int slot, float gainDb) {
    WithSlotEndpoint(driver, slot, [&](CKSDevice* endpoint) { driver.deviceManager.SetGainDb(endpoint, gainDb); });
}
