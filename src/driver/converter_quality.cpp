// The converter choice of the settings, applied to the FIFOs when the devices open.
#include "driver/asio_driver.h"

// Runs on the host's thread inside the open sequence, after the close has stopped the clock and the endpoints, so
// that no producer is pushing through a converter while it changes.
void CAsioDriver::ApplyConverterQuality() {
    for (auto& fifo : inputFifos) fifo.SetConverterQuality(converterQuality);
    outputFifo.SetConverterQuality(converterQuality);
}
