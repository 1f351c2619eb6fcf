// How an endpoint hands each period of samples to its consumer, on the endpoint's stream thread: the samples
// (32-bit floats, interleaved), the count of samples of all channels, the channel count, the device's measured
// rate ratio and the consumer's context. A capture endpoint passes what it captured; a render endpoint passes its
// packet's float area, which the callback fills with the samples to play.
#pragma once

#include <cstdint>

typedef void (*DataCallback)(float* samples, uint32_t sampleCount, uint16_t channelCount, double rateRatio,
                             void* context);
