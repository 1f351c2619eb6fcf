// Where the clock and the buffer set-up reach the endpoints' streams. The device manager takes this over: it
// starts every endpoint's stream when the clock starts ticking, stops them when it ends, and rebuilds an
// endpoint's packets for a new period. Until an endpoint layer is attached, the producers that feed the FIFOs
// run on their own and there is nothing to start, stop or resize.
#include "driver/asio_driver.h"

void CAsioDriver::StartEndpoints() {}

void CAsioDriver::StopEndpoints() {}

void CAsioDriver::ResizeEndpoint(CKSDevice*, uint32_t) {}
