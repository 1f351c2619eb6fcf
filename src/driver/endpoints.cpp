// Where the clock and the buffer set-up reach the endpoints' streams, through the device manager: every endpoint
// starts when the clock starts ticking and stops when it ends, and an endpoint's packets are rebuilt for a new
// period. The manager acts only on endpoints it holds.
#include "driver/asio_driver.h"

// Clock thread, before the first tick.
void CAsioDriver::StartEndpoints() {
    deviceManager.StartAll();
    for (int32_t i = 0; i < kMaxInputs; ++i) {
        overrunsSeen[i] = inputFifos[i].Overruns();
        resuming[i] = false;
    }
    outputOverrunsSeen = outputFifo.Overruns();
}

// Clock thread, after the last tick.
void CAsioDriver::StopEndpoints() { deviceManager.StopAll(); }

// Host's thread, with the clock stopped.
void CAsioDriver::ResizeEndpoint(CKSDevice* endpoint, uint32_t frames) { deviceManager.ResizeDevice(endpoint, frames); }
