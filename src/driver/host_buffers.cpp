#include "driver/asio_driver.h"

ASIOError CAsioDriver::getChannelInfo(ASIOChannelInfo* info) {
    if (!info) return ASE_InvalidParameter;
    return ASE_InvalidParameter;
}

ASIOError CAsioDriver::createBuffers(ASIOBufferInfo*, int32_t, int32_t, ASIOCallbacks*) { return ASE_NotPresent; }

ASIOError CAsioDriver::disposeBuffers() {
    stop();
    callbacks = nullptr;
    return ASE_OK;
}
