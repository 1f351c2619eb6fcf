// The latencies the host is told: how long a sample really takes between a device and the host's buffer, in
// frames of the driver's rate. Hosts read them once (to place recordings and to compensate plug-in delay), so
// they follow from the configuration only, never from the momentary state of a running stream.
//
// Input: a microphone's FIFO is read from its steered fill (the first read is primed to exactly that fill), and
// a sample waits in its device for the rest of its packet before it reaches the FIFO, half a packet on average.
// Because the packets and the ticks drift past each other, the fill seen at a tick jumps by a packet exactly
// when that wait wraps around: their sum, the latency, stays put. The converter adds one frame of delay.
//
// Output: the half the host fills at a switch is read two ticks later (the next tick with the same index),
// then waits in the output FIFO at its steered fill, and finally in the playback device's packet ring: the packet
// the render thread fills while the device plays the one before it.
#include "driver/asio_driver.h"

namespace {
constexpr uint32_t kConverterDelayFrames = 1;
constexpr uint32_t kOutputHalvesQueued = 2;
}  // namespace

void CAsioDriver::UpdateLatencies() {
    const uint32_t n = static_cast<uint32_t>(bufferSize);
    const uint32_t capturePacketFrames = n;  // the microphones' packets are one host buffer long
    inputLatency = CaptureFillTargetFrames(n) + capturePacketFrames / 2 + kConverterDelayFrames;
    // The playback path runs at a whole fraction of the driver's rate; in driver frames its packet is a buffer.
    const uint32_t renderPacketFrames = n;
    outputLatency = kOutputHalvesQueued * n + RenderFillTargetFrames(n) + renderPacketFrames + kConverterDelayFrames;
}
