// The channel model as the host sees it, and the host's double buffers.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "driver/asio_driver.h"

namespace {

// The largest buffer the fixed stores can serve: the clock thread's scratch halves (and the silence source) hold
// 2304 samples, and a FIFO's ring must hold seven buffers before it trims (7 × 2304 stereo frames fit in 32767).
constexpr int32_t kLargestBufferFrames = CAsioDriver::kSilenceSamples;
static_assert(7 * 2 * kLargestBufferFrames <= static_cast<int32_t>(DeviceFifo::kCapacitySamples));
static_assert(kLargestBufferFrames <= static_cast<int32_t>(DeviceFifo::kConvertChunkSamples));

bool IsActive(int32_t channel, const int32_t* map, int32_t activeEntries) {
    for (int32_t k = 0; k < activeEntries; ++k)
        if (map[k] == channel) return true;
    return false;
}

}  // namespace

ASIOError CAsioDriver::getChannelInfo(ASIOChannelInfo* info) {
    if (!info) return ASE_InvalidParameter;
    const bool input = info->isInput != ASIOFalse;
    if (info->channel < 0 || info->channel >= (input ? numInputs : numOutputs)) return ASE_InvalidParameter;
    info->channelGroup = 0;
    info->type = isFloat ? ASIOSTFloat32LSB : ASIOSTInt32LSB;
    info->isActive = input ? IsActive(info->channel, inputChannelMap, numActiveInputs)
                           : IsActive(info->channel, outputChannelMap, numActiveOutputs);
    if (input)
        std::snprintf(info->name, sizeof(info->name), "Tessel-%d", static_cast<int>(info->channel) + 1);
    else
        std::snprintf(info->name, sizeof(info->name), "Output %s", info->channel == 0 ? "L" : "R");
    return ASE_OK;
}

// Host's thread. Replaces any earlier set of buffers; a running stream is stopped first.
ASIOError CAsioDriver::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t newBufferSize,
                                     ASIOCallbacks* hostCallbacks) {
    // Refused before anything changes: a size the fixed stores cannot serve would overflow them, and without
    // callbacks (or a list to fill) there is nothing a stream could be handed to.
    // A list longer than the channels cannot be valid (a channel may be listed once), and is refused before the
    // walk could read past the end of a host's shorter array.
    if (newBufferSize <= 0 || newBufferSize > kLargestBufferFrames || numChannels < 0 ||
        numChannels > numInputs + numOutputs || (numChannels > 0 && !bufferInfos) || !hostCallbacks)
        return ASE_InvalidParameter;

    disposeBuffers();

    const uint32_t frames = static_cast<uint32_t>(newBufferSize);
    if (newBufferSize != bufferSize) {
        for (int32_t i = 0; i < numInputs; ++i) {
            inputFifos[i].Configure(inputFifos[i].SampleRate(), frames);
            ResizeEndpoint(inputFifos[i].device, frames);
        }
        if (outputFifo.device && decimationFactor >= 1) {
            outputFifo.Configure(outputFifo.SampleRate(), frames / decimationFactor);
            ResizeEndpoint(outputFifo.device, frames / decimationFactor);
        }
    }
    // Trims and fill targets are counted in host buffers, each in its FIFO's own frames: a decimated output FIFO
    // holds one of the playback device's frames for every decimationFactor of the host's, and counting its buffer
    // in the host's frames would start and trim it at that many times the fill (and latency) it is steered to.
    for (DeviceFifo& fifo : inputFifos) fifo.SetHostBufferFrames(frames);
    outputFifo.SetHostBufferFrames(std::max(1u, frames / (decimationFactor > 1 ? decimationFactor : 1)));
    bufferSize = newBufferSize;
    UpdateLatencies();

    bool allocationFailed = false;
    for (int32_t i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& entry = bufferInfos[i];
        const bool input = entry.isInput != ASIOFalse;
        const int32_t channels = input ? numInputs : numOutputs;
        int32_t& active = input ? numActiveInputs : numActiveOutputs;
        int32_t* map = input ? inputChannelMap : outputChannelMap;
        // A channel listed twice would be drained twice per tick: half its audio to each buffer, and a drop-out
        // every tick.
        if (entry.channelNum < 0 || entry.channelNum >= channels || active >= channels ||
            IsActive(entry.channelNum, map, active)) {
            disposeBuffers();
            return ASE_InvalidParameter;
        }
        int32_t* allocation = new (std::nothrow) int32_t[2 * frames]();
        map[active] = entry.channelNum;
        (input ? inputBuffers : outputBuffers)[active] = allocation;
        ++active;
        entry.buffers[0] = allocation;
        entry.buffers[1] = allocation ? allocation + frames : nullptr;
        allocationFailed = allocationFailed || !allocation;
    }
    if (allocationFailed) {
        disposeBuffers();
        return ASE_NoMemory;
    }

    callbacks = hostCallbacks;
    timeInfoMode =
        hostCallbacks->asioMessage && hostCallbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0;
    if (timeInfoMode) {
        std::memset(&asioTime, 0, sizeof(asioTime));
        asioTime.timeInfo.speed = 1.0;
        asioTime.timeInfo.sampleRate = sampleRate;
        asioTime.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        asioTime.timeCode.speed = 1.0;
        asioTime.timeCode.flags = kTcValid | kTcRunning;
        pendingTimeFlags = 0;
    }
    return ASE_OK;
}

ASIOError CAsioDriver::disposeBuffers() {
    stop();
    callbacks = nullptr;
    for (int32_t k = 0; k < numActiveInputs; ++k) {
        delete[] inputBuffers[k];
        inputBuffers[k] = nullptr;
    }
    numActiveInputs = 0;
    for (int32_t k = 0; k < numActiveOutputs; ++k) {
        delete[] outputBuffers[k];
        outputBuffers[k] = nullptr;
    }
    numActiveOutputs = 0;
    return ASE_OK;
}
