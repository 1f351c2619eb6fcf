// Turning the devices present into the channel model: which microphones become inputs, where the outputs go.
#include <new>

#include "driver/asio_driver.h"

bool CAsioDriver::OpenDevices() {
    const bool clockWasRunning = clockRunning;
    CloseDevices();
    ApplyConverterQuality();  // after CloseDevices: no audio thread may be pushing while the converter changes
    apartmentAtOpen.reset(new (std::nothrow) ComApartmentGuard());
    firmwareUpdateRequired = false;

    // No device layer is attached yet: no microphone is found and no playback device is listed.
    numInputs = 0;
    outputDevices.clear();
    outputSampleRate = 48000.0;
    decimationFactor = 1;
    numOutputs = kNumOutputs;

    if (clockWasRunning) StartClock();
    return numInputs > 0;
}

void CAsioDriver::CloseDevices() {
    if (clockRunning) StopClock();
    // Detached, emptied and armed to fade in: the next buffers after a reopen start from silence.
    for (auto& fifo : inputFifos) fifo.Reset();
    outputFifo.Reset();
    apartmentAtOpen.reset();
    firmwareUpdateRequired = false;
}
