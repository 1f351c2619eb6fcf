// Changing the sample rate reopens every device at the new rate; a running stream carries on.
#include "driver/asio_driver.h"

ASIOError CAsioDriver::setSampleRate(ASIOSampleRate rate) {
    if (canSampleRate(rate) == ASE_NoClock) return ASE_NoClock;
    if (rate == sampleRate) return ASE_OK;
    asioTime.timeInfo.flags |= kSampleRateChanged;
    sampleRate = rate;
    asioTime.timeInfo.sampleRate = rate;
    OpenDevices();
    if (callbacks && callbacks->sampleRateDidChange) callbacks->sampleRateDidChange(sampleRate);
    return ASE_OK;
}

// The control panel is not part of this build yet.
ASIOError CAsioDriver::controlPanel() { return ASE_NotPresent; }
