// The microphones' gains as the panel sees them: the system volume of the endpoint attached to each microphone
// FIFO. Panel thread. The device manager answers for an endpoint it no longer holds (or none) as for a
// microphone without hardware volume, so a slot whose microphone went away in a reopen reads 0 dB and changes
// nothing.
#include "driver/asio_driver.h"
#include "ui/panel_state.h"

namespace {

CKSDevice* SlotEndpoint(CAsioDriver& driver, int slot) {
    if (slot < 0 || slot >= CAsioDriver::kMaxInputs) return nullptr;
    return driver.inputFifos[slot].device;
}

}  // namespace

panel::GainRange DriverGains::Range(int slot) {
    panel::GainRange range;
    driver.deviceManager.GetVolumeRange(SlotEndpoint(driver, slot), &range.minDb, &range.maxDb, &range.stepDb);
    return range;
}

float DriverGains::GainDb(int slot) { return driver.deviceManager.GetGainDb(SlotEndpoint(driver, slot)); }

void DriverGains::SetGainDb(int slot, float gainDb) {
    driver.deviceManager.SetGainDb(SlotEndpoint(driver, slot), gainDb);
}
