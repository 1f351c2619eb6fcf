#include "sync/device_fifo.h"

#include <algorithm>
#include <cmath>
#include <cstring>

DeviceFifo::DeviceFifo(CAsioDriver* ownerDriver) : owner(ownerDriver) {
    InitializeCriticalSection(&lock);
    LARGE_INTEGER frequency{};
    if (QueryPerformanceFrequency(&frequency)) SetCounterFrequency(frequency.QuadPart);
    std::memset(scratchLeft, 0, sizeof(scratchLeft));
    std::memset(scratchRight, 0, sizeof(scratchRight));
    converter.SetRatio(1.0f);
    ComputeCoefficients();
    Reset();
}

DeviceFifo::~DeviceFifo() { DeleteCriticalSection(&lock); }

void DeviceFifo::Reset() {
    device = nullptr;
    deviceCounter = nullptr;
    deviceOverruns = nullptr;
    stampCounter = 0;
    stampWriteIndex = 0;
    stampFrames = 0;
    stampValid = false;
    writeIndex.store(0, std::memory_order_relaxed);
    readIndex.store(0, std::memory_order_relaxed);
    slowFill = 0.0f;
    std::memset(ring, 0, sizeof(ring));
    converter.SetRatio(1.0f);
    steeredRatio = 1.0;
    integralFrameSeconds = 0.0;
    pendingErrorFrames = 0.0;
    balanceRatio.store(1.0, std::memory_order_relaxed);
    fadeInPending = true;
}

void DeviceFifo::Configure(float sampleRateHz, uint32_t framesPerPeriod) {
    sampleRate = sampleRateHz;
    periodFrames = framesPerPeriod;
    slowFill = 0.0f;
    // The integral is counted in frames of the old rate; the steering rebuilds it from the fresh fill.
    integralFrameSeconds = 0.0;
    pendingErrorFrames = 0.0;
    ComputeCoefficients();
}

// Both coefficients are per-update factors: the steering one decays to 0.1 after one second of consumer periods,
// the fill average's after twenty. With 48000 Hz and 96 frames that is 500 and 10000 updates.
void DeviceFifo::ComputeCoefficients() {
    const float updatesPerSecond = sampleRate / static_cast<float>(periodFrames);
    steerCoefficient = updatesPerSecond > 0.0f ? static_cast<double>(std::pow(0.1f, 1.0f / updatesPerSecond)) : 0.0;
    const float updatesPer20Seconds = sampleRate * 20.0f / static_cast<float>(periodFrames);
    slowCoefficient = updatesPer20Seconds > 0.0f ? std::pow(0.1f, 1.0f / updatesPer20Seconds) : 0.0f;
}

// Audio path from here on: no allocation, no lock but `lock`, no printing.

void DeviceFifo::EnterLock() {
    EnterCriticalSection(&lock);
    ++lockDepth;
}

void DeviceFifo::LeaveLock() {
    --lockDepth;
    LeaveCriticalSection(&lock);
}

float DeviceFifo::SlowFill() {
    EnterLock();
    const float value = slowFill;
    LeaveLock();
    return value;
}

void DeviceFifo::UpdateFillEstimate(int64_t nowCounter) {
    EnterLock();
    float fill = static_cast<float>(FillFrames());
    float stamped = 0.0f;
    if (StampedFill(nowCounter, 1.0, &stamped)) fill = stamped;
    // A slow fill at (or near) zero means the average was just cleared by Reset, Skip or Configure: snap to the
    // present fill instead of creeping up from zero for twenty seconds.
    if (slowFill > 1.0f)
        slowFill = (1.0f - slowCoefficient) * fill + slowCoefficient * slowFill;
    else
        slowFill = fill;
    LeaveLock();
}

void DeviceFifo::Pull(float* dst, uint32_t n) {
    const uint32_t read = readIndex.load(std::memory_order_relaxed);
    const uint32_t available = (writeIndex.load(std::memory_order_acquire) - read) & kMask;
    const uint32_t m = std::min(n, available);
    const uint32_t first = std::min(m, kRingSamples - read);
    std::memcpy(dst, ring + read, first * sizeof(float));
    std::memcpy(dst + first, ring, (m - first) * sizeof(float));
    std::fill(dst + m, dst + n, 0.0f);
    readIndex.store((read + m) & kMask, std::memory_order_release);
}

void DeviceFifo::Skip(uint32_t frames, float settledFill) {
    const uint32_t read = readIndex.load(std::memory_order_relaxed);
    readIndex.store((read + channels * frames) & kMask, std::memory_order_release);
    EnterLock();
    slowFill = settledFill;
    LeaveLock();
}

bool DeviceFifo::Trim(uint32_t bufferFrames, uint32_t* fillFramesBefore, int64_t nowCounter) {
    UpdateFillEstimate(nowCounter);
    const uint32_t fillFrames = FillFrames();
    if (fillFramesBefore) *fillFramesBefore = fillFrames;
    if (fillFrames < 7 * bufferFrames) return false;
    // Drop the oldest audio and keep three buffers: enough to ride out jitter, little enough to keep latency down.
    Skip(fillFrames - 3 * bufferFrames);
    return true;
}

bool DeviceFifo::ReadBuffer(float* dst, uint32_t frames) {
    if (FillFrames() < frames) return false;
    const uint32_t samples = frames * channels;
    Pull(dst, samples);
    if (fadeInPending) {
        // Ramp in from exact silence so that a device joining mid-stream does not start with a click.
        const float step = 1.0f / static_cast<float>(frames);
        for (uint32_t k = 0; k < frames; ++k)
            for (uint32_t c = 0; c < channels; ++c) dst[k * channels + c] *= static_cast<float>(k) * step;
        fadeInPending = false;
    }
    return true;
}

void DeviceFifo::DiscardBuffer(uint32_t frames) {
    if (FillFrames() < frames) return;
    const uint32_t read = readIndex.load(std::memory_order_relaxed);
    readIndex.store((read + channels * frames) & kMask, std::memory_order_release);
}

void DeviceFifo::WriteRing(const float* src, uint32_t n, uint32_t* position) {
    const uint32_t at = *position & kMask;
    const uint32_t first = std::min(n, kRingSamples - at);
    std::memcpy(ring + at, src, first * sizeof(float));
    std::memcpy(ring, src + first, (n - first) * sizeof(float));
    *position = (at + n) & kMask;
}

void DeviceFifo::WriteRingStereo(const float* left, const float* right, uint32_t frames, uint32_t* position) {
    uint32_t at = *position;
    for (uint32_t i = 0; i < frames; ++i) {
        ring[at] = left[i];
        ring[(at + 1) & kMask] = right[i];
        at = (at + 2) & kMask;
    }
    *position = at;
}

void DeviceFifo::PushRaw(const float* src, uint32_t n) {
    // Whole frames only, so that an overrun cannot leave the ring out of step with its channels.
    uint32_t m = std::min(n, FreeSamples());
    m -= m % channels;
    uint32_t position = writeIndex.load(std::memory_order_relaxed);
    WriteRing(src, m, &position);
    PublishWrite(position);
}

void DeviceFifo::PushPlanarStereo(const float* left, const float* right, uint32_t frames) {
    // A stereo frame takes two slots whatever `channels` says, so the room is counted in pairs.
    const uint32_t m = std::min(frames, FreeSamples() / 2);
    uint32_t position = writeIndex.load(std::memory_order_relaxed);
    WriteRingStereo(left, right, m, &position);
    PublishWrite(position);
}

void DeviceFifo::ScratchSinkMono(void* context, const float* sample) {
    DeviceFifo* fifo = static_cast<DeviceFifo*>(context);
    if (fifo->scratchCount < kScratchSamples) fifo->scratchLeft[fifo->scratchCount++] = *sample;
}

void DeviceFifo::ScratchSinkStereo(void* context, const float* left, const float* right) {
    DeviceFifo* fifo = static_cast<DeviceFifo*>(context);
    if (fifo->scratchCount < kScratchSamples) {
        fifo->scratchLeft[fifo->scratchCount] = *left;
        fifo->scratchRight[fifo->scratchCount] = *right;
        ++fifo->scratchCount;
    }
}

// Every input sample goes through the converter, also those whose output no longer fits, so that phase and
// history stay continuous across an overrun. Input beyond one scratch's worth is converted in chunks.
void DeviceFifo::PushConverted(const float* src, uint32_t n) {
    uint32_t freeSamples = FreeSamples();
    uint32_t position = writeIndex.load(std::memory_order_relaxed);
    for (uint32_t done = 0; done < n;) {
        const uint32_t chunk = std::min(n - done, kConvertChunkSamples);
        scratchCount = 0;
        converter.PushMonoRun(&ScratchSinkMono, this, src + done, chunk);
        const uint32_t m = std::min(scratchCount, freeSamples);
        WriteRing(scratchLeft, m, &position);
        freeSamples -= m;
        done += chunk;
    }
    PublishWrite(position);
    IntegrateSteeringError(n);
}

void DeviceFifo::PushConvertedStereo(const float* left, const float* right, uint32_t frames) {
    uint32_t freeFrames = FreeSamples() / 2;
    uint32_t position = writeIndex.load(std::memory_order_relaxed);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t chunk = std::min(frames - done, kConvertChunkSamples);
        scratchCount = 0;
        converter.PushStereoRun(&ScratchSinkStereo, this, left + done, right + done, chunk);
        const uint32_t m = std::min(scratchCount, freeFrames);
        WriteRingStereo(scratchLeft, scratchRight, m, &position);
        freeFrames -= m;
        done += chunk;
    }
    PublishWrite(position);
    IntegrateSteeringError(frames);
}
