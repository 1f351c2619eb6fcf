#include "driver/asio_driver.h"

ASIOError CAsioDriver::start() { return ASE_NotPresent; }

ASIOError CAsioDriver::stop() {
    if (started) StopClock();
    started = false;
    return ASE_OK;
}

bool CAsioDriver::StartClock() { return false; }
void CAsioDriver::StopClock() { clockRunning = false; }

ASIOError CAsioDriver::getSamplePosition(ASIOSamples* position, ASIOTimeStamp* timeStamp) {
    if (!position || !timeStamp) return ASE_InvalidParameter;
    return ASE_SPNotAdvancing;
}

ASIOError CAsioDriver::outputReady() { return ASE_NotPresent; }
