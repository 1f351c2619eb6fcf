#include "driver/asio_driver.h"

ASIOError CAsioDriver::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
    if (!clocks || !numSources) return ASE_InvalidParameter;
    return ASE_NotPresent;
}

ASIOError CAsioDriver::setClockSource(int32_t) { return ASE_NotPresent; }
ASIOError CAsioDriver::future(int32_t, void*) { return ASE_NotPresent; }
