// The one clock source, and the future selectors.
#include <cstring>

#include "driver/asio_driver.h"

ASIOError CAsioDriver::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
    // The count carries the host's capacity in: a null array or no room for the one record is refused.
    if (!clocks || !numSources || *numSources < 1) return ASE_InvalidParameter;
    std::memset(&clocks[0], 0, sizeof(clocks[0]));
    clocks[0].index = 0;
    clocks[0].associatedChannel = -1;
    clocks[0].associatedGroup = -1;
    clocks[0].isCurrentSource = ASIOTrue;
    std::strcpy(clocks[0].name, "Internal");
    *numSources = 1;
    return ASE_OK;
}

// Selecting the one source is a change the host hears of at the next time-info buffer switch.
ASIOError CAsioDriver::setClockSource(int32_t reference) {
    if (reference != 0) return ASE_NotPresent;
    pendingTimeFlags |= kClockSourceChanged;
    return ASE_OK;
}

ASIOError CAsioDriver::future(int32_t selector, void*) {
    switch (selector) {
        case kAsioEnableTimeCodeRead:
        case kAsioDisableTimeCodeRead:
        case kAsioSetInputMonitor:  // accepted, though nothing is monitored
        case kAsioCanInputMonitor:
        case kAsioCanTimeInfo:
        case kAsioCanTimeCode:
            return ASE_SUCCESS;
        default:
            return ASE_NotPresent;
    }
}
