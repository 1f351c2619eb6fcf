// Speed of one stream period per sample coding: what an endpoint's stream thread does with one packet apart from
// the device itself. Capture: decode the packet into floats (each coding; for a 24-in-32 stream that may carry
// floats also the inspection of its samples) and hand it to the FIFO's capture callback (steering plus the
// converter's push). Render: the FIFO's render callback fills the packet, then the converter of the device's
// coding. A 288-frame period at 48000 Hz, mono for capture, stereo for render. The consumer side drains the FIFO
// between periods (outside the timing) so that every period does the full work.
//
//   device_bench [Google Benchmark flags]     reports ns per sample in the "ns/sample" column
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "device/sample_convert.h"
#include "sync/device_fifo.h"

namespace {

constexpr uint32_t kFrames = 288;

enum Coding { k16, k24, k24In32, k24In32Judged, k32, kFloat };
const char* const kNames[] = {"pcm16", "pcm24", "pcm24in32", "pcm24in32_judged", "pcm32", "float"};

// A packet as the device delivers it: a 1 kHz sine in the coding.
std::vector<unsigned char> DevicePacket(Coding coding, uint32_t n) {
    std::vector<unsigned char> bytes(static_cast<size_t>(n) * 4);
    for (uint32_t i = 0; i < n; ++i) {
        const double x = 0.5 * std::sin(2.0 * M_PI * 1000.0 * i / 48000.0);
        if (coding == k16) {
            const int16_t v = static_cast<int16_t>(std::lround(x * 32767));
            std::memcpy(&bytes[2 * i], &v, 2);
        } else if (coding == k24) {
            const int32_t v = static_cast<int32_t>(std::lround(x * 8388607));
            std::memcpy(&bytes[3 * i], &v, 3);
        } else if (coding == kFloat) {
            const float v = static_cast<float>(x);
            std::memcpy(&bytes[4 * i], &v, 4);
        } else {
            const int32_t v = static_cast<int32_t>(std::lround(x * 8388607)) * (coding == k32 ? 1 : 256);
            std::memcpy(&bytes[4 * i], &v, 4);
        }
    }
    return bytes;
}

void CapturePeriod(benchmark::State& state) {
    const Coding coding = static_cast<Coding>(state.range(0));
    state.SetLabel(kNames[coding]);
    auto fifo = std::make_unique<DeviceFifo>();
    fifo->Configure(48000.0f, kFrames);
    fifo->SetHostBufferFrames(kFrames);
    const std::vector<unsigned char> device = DevicePacket(coding, kFrames);
    std::vector<float> floats(kFrames);
    CodingJudge judge;
    for (auto _ : state) {
        switch (coding) {
            case k16:
                Pcm16ToFloat(device.data(), floats.data(), kFrames);
                break;
            case k24:
                Pcm24ToFloat(device.data(), floats.data(), kFrames);
                break;
            case k24In32:
            case k32:
                Pcm32ToFloat(device.data(), floats.data(), kFrames);
                break;
            case k24In32Judged:
                if (judge.Judge(InspectInt24In32OrFloat(device.data(), kFrames), kFrames))
                    std::memcpy(floats.data(), device.data(), kFrames * 4);
                else
                    Pcm32ToFloat(device.data(), floats.data(), kFrames);
                break;
            case kFloat:
                std::memcpy(floats.data(), device.data(), kFrames * 4);
                break;
        }
        OnCaptureData(floats.data(), kFrames, 1, 1.0, fifo.get());
        state.PauseTiming();
        fifo->UpdateFillEstimate();
        while (fifo->ReadBuffer(floats.data(), kFrames)) {
        }
        state.ResumeTiming();
    }
    state.counters["ns/sample"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void RenderPeriod(benchmark::State& state) {
    const Coding coding = static_cast<Coding>(state.range(0));
    state.SetLabel(kNames[coding]);
    auto fifo = std::make_unique<DeviceFifo>();
    fifo->Configure(48000.0f, kFrames);
    fifo->SetHostBufferFrames(kFrames);
    std::vector<float> left(kFrames, 0.25f), right(kFrames, -0.25f);
    std::vector<float> packet(2 * kFrames);
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 4; ++i) fifo->PushConvertedStereo(left.data(), right.data(), kFrames);
        state.ResumeTiming();
        OnRenderData(packet.data(), 2 * kFrames, 2, 1.0, fifo.get());
        switch (coding) {
            case k16:
                FloatToPcm16(packet.data(), 2 * kFrames);
                break;
            case k24:
                FloatToPcm24(packet.data(), 2 * kFrames);
                break;
            case k24In32:
                FloatToPcm24In32(packet.data(), 2 * kFrames);
                break;
            default:
                FloatToPcm32(packet.data(), 2 * kFrames);
                break;
        }
        benchmark::DoNotOptimize(packet.data());
        state.PauseTiming();
        fifo->Reset();
        fifo->Configure(48000.0f, kFrames);
        fifo->SetHostBufferFrames(kFrames);
        state.ResumeTiming();
    }
    state.counters["ns/sample"] = benchmark::Counter(static_cast<double>(state.iterations()) * 2 * kFrames,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(CapturePeriod)->DenseRange(k16, kFloat);
BENCHMARK(RenderPeriod)->Arg(k16)->Arg(k24)->Arg(k24In32)->Arg(k32);
BENCHMARK_MAIN();
