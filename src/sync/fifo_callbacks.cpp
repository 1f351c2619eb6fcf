// The two data callbacks through which the endpoints' stream threads meet the FIFOs.
// Audio path: stream threads, once per device period. No allocation, no lock but the FIFO's, no printing.
#include <algorithm>

#include "sync/device_fifo.h"

// Capture stream thread: steer towards two and a half ASIO buffers, then push the period. Multi-channel data
// bypasses the converter (microphones are opened mono, so this is only a safety net).
void OnCaptureData(float* samples, uint32_t count, uint16_t channelCount, double rateRatio, void* context) {
    DeviceFifo* fifo = static_cast<DeviceFifo*>(context);
    if (!fifo || !samples) return;
    fifo->NoteMeasuredRate(rateRatio, channelCount, true);
    fifo->SteerRatio(2.5f * static_cast<float>(fifo->HostBufferFrames()));
    if (channelCount == 1)
        fifo->PushConverted(samples, count);
    else
        fifo->PushRaw(samples, count);
    // The packet's samples stand for the time up to its completion, which the stream thread has just read.
    if (fifo->deviceCounter) fifo->StampPush(fifo->deviceCounter->load(std::memory_order_relaxed));
}

// A stream that has not begun owes nothing: taking audio out then would start it short of its latency.
void OnRenderSkipped(float* samples, uint32_t count, uint16_t channelCount, double, void* context) {
    DeviceFifo* fifo = static_cast<DeviceFifo*>(context);
    if (!fifo || !samples || channelCount != fifo->channels || fifo->FadeInPending()) return;
    fifo->Pull(samples, count);
}

// Render stream thread: fill the device's packet of `count` samples from the output FIFO. After a reset the
// output stays silent until three ASIO buffers have gathered, then starts from exactly three and ramps in over
// the packet. The measured rate is handed over to the clock thread, whose output push steers this FIFO's converter.
void OnRenderData(float* samples, uint32_t count, uint16_t channelCount, double rateRatio, void* context) {
    DeviceFifo* fifo = static_cast<DeviceFifo*>(context);
    if (!fifo || !samples) return;
    fifo->NoteMeasuredRate(rateRatio, channelCount, false);
    const uint32_t bufferFrames = fifo->HostBufferFrames();
    uint32_t fillFramesBefore = 0;
    const int64_t packetCounter = fifo->deviceCounter ? fifo->deviceCounter->load(std::memory_order_relaxed) : 0;
    fifo->Trim(bufferFrames, &fillFramesBefore, packetCounter);
    // A packet we cannot fill in step with the ring is played as silence: leaving it untouched would replay
    // whatever the previous period left in the device's buffer.
    if (channelCount == 0 || channelCount != fifo->channels) {
        std::fill(samples, samples + count, 0.0f);
        return;
    }
    if (!fifo->FadeInPending()) {
        fifo->Pull(samples, count);
        return;
    }
    if (fillFramesBefore < 3 * bufferFrames) {
        std::fill(samples, samples + count, 0.0f);
        return;
    }
    // Start from exactly three buffers: a render thread that woke late, or host buffers that arrived in a burst,
    // would otherwise start the stream a buffer or more behind the latency getLatencies reports, and the slow
    // steering would keep it there for minutes. Nothing of it has been heard yet.
    const uint32_t fill = fifo->FillFrames();  // after the trim, which may have dropped some already
    if (fill > 3 * bufferFrames) fifo->Skip(fill - 3 * bufferFrames);
    fifo->ClearFadeIn();
    fifo->Pull(samples, count);
    const uint32_t frames = count / channelCount;
    const float step = 1.0f / static_cast<float>(frames);
    for (uint32_t k = 0; k < frames; ++k)
        for (uint32_t c = 0; c < channelCount; ++c) samples[k * channelCount + c] *= static_cast<float>(k) * step;
}
