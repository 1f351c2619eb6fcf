// The microphones' gains as the panel sees them: the system volume of the endpoint attached to each microphone
// FIFO. No endpoint layer is attached to the FIFOs yet, so every slot reads as a microphone without hardware
// volume and its slider changes nothing.
#include "driver/asio_driver.h"
#include "ui/panel_state.h"

panel::GainRange DriverGains::Range(int) { return panel::GainRange{}; }

float DriverGains::GainDb(int) { return 0.0f; }

void DriverGains::SetGainDb(int, float) {}
