#include "tests/support/drift_harness.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "sync/device_fifo.h"

namespace drift {

namespace {

// Per simulated second: the slow fill's extremes and the events, so that the settling time can be found after
// the run, once the steady fill is known.
struct Second {
    float minSlowFill = 1e30f;
    float maxSlowFill = -1e30f;
    uint32_t trims = 0;
    uint32_t underruns = 0;
};

class Recorder {
public:
    explicit Recorder(const Config& config)
        : seconds(static_cast<size_t>(std::ceil(config.seconds)) + 1), tailStart(0.75 * config.seconds) {}

    void ConsumerPeriod(double time, float slowFill, bool trimmed, bool underrun, bool flowing, Result* result) {
        Second& s = seconds[std::min(seconds.size() - 1, static_cast<size_t>(time))];
        s.minSlowFill = std::min(s.minSlowFill, slowFill);
        s.maxSlowFill = std::max(s.maxSlowFill, slowFill);
        s.trims += trimmed;
        s.underruns += underrun;
        result->trims += trimmed;
        result->underruns += underrun;
        result->dropOuts += flowing && (trimmed || underrun);
        ++result->consumerPeriods;
        if (time >= tailStart) {
            tailSum += slowFill;
            ++tailCount;
            tailMin = std::min(tailMin, slowFill);
            tailMax = std::max(tailMax, slowFill);
        }
    }

    void Finish(uint32_t bufferFrames, Result* result) const {
        result->steadyFillFrames = tailCount ? tailSum / static_cast<double>(tailCount) : 0.0;
        result->steadySwingFrames = tailCount ? static_cast<double>(tailMax - tailMin) : 0.0;
        // The steady state need not be a point: when the device's packets beat slowly against the ticks, the
        // fill seen at a tick is a sawtooth, and the loop answers it with a limit cycle. Settled means inside the
        // range the slow fill keeps in the last quarter of the run, widened by a quarter buffer on each side.
        const double band = bufferFrames / 4.0;
        const double low = tailMin - band;
        const double high = tailMax + band;
        size_t settled = 0;
        for (size_t i = 0; i < seconds.size(); ++i) {
            const Second& s = seconds[i];
            if (s.maxSlowFill < s.minSlowFill) continue;  // no consumer period in this second
            if (s.minSlowFill < low || s.maxSlowFill > high) settled = i + 1;
        }
        // Still moving in the last quarter: call it unsettled and count the events of that quarter instead.
        const bool never = static_cast<double>(settled) > tailStart;
        result->settleSeconds = never ? -1.0 : static_cast<double>(settled);
        const size_t from = never ? static_cast<size_t>(tailStart) : settled;
        for (size_t i = from; i < seconds.size(); ++i) {
            result->trimsAfterSettle += seconds[i].trims;
            result->underrunsAfterSettle += seconds[i].underruns;
        }
    }

private:
    std::vector<Second> seconds;
    double tailStart;
    double tailSum = 0;
    uint64_t tailCount = 0;
    float tailMin = 1e30f;
    float tailMax = -1e30f;
};

void TrackRatio(const DeviceFifo& fifo, Result* result) {
    result->minRatio = std::min(result->minRatio, fifo.Ratio());
    result->maxRatio = std::max(result->maxRatio, fifo.Ratio());
}

}  // namespace

Result Run(const Config& config) {
    Result result;
    const uint32_t n = config.bufferFrames;
    const uint32_t p = config.devicePeriodFrames ? config.devicePeriodFrames : n;
    const double masterRate = config.sampleRateHz;
    const double deviceRate = config.sampleRateHz * (1.0 + config.crystalPpm * 1e-6);
    const bool capture = config.direction == Direction::Capture;
    const double offsetFrames = 30.0 * masterRate * config.crystalPpm * 1e-6;
    result.predictedErrorFrames = capture ? offsetFrames : -offsetFrames;

    auto fifo = std::make_unique<DeviceFifo>();
    fifo->channels = capture ? 1 : 2;
    fifo->Configure(static_cast<float>(masterRate), n);
    fifo->SetHostBufferFrames(n);
    result.targetFrames = (capture ? 2.5 : 3.5) * n;

    // The signal does not matter to the counts; silence keeps the run cheap and exact.
    std::vector<float> silence(std::max(n, p) * 2, 0.0f);
    std::vector<float> out(std::max(n, p) * 2, 0.0f);
    Recorder recorder(config);

    // Event k of a clock happens at (k + phase) × period / rate. Times are computed from the event number, not
    // accumulated, so rounding cannot drift over hours.
    uint64_t deviceEvent = 0;
    uint64_t clockEvent = 0;
    bool flowing = false;
    for (;;) {
        const double deviceTime = (static_cast<double>(deviceEvent) + config.devicePhase) * p / deviceRate;
        const double clockTime = static_cast<double>(clockEvent + 1) * n / masterRate;
        const double now = std::min(deviceTime, clockTime);
        if (now > config.seconds) break;

        if (capture && deviceTime <= clockTime) {
            // Capture stream thread: one microphone packet.
            OnCaptureData(silence.data(), p, 1, 1.0, fifo.get());
            TrackRatio(*fifo, &result);
            ++result.producerPeriods;
            ++deviceEvent;
        } else if (capture) {
            // Clock tick: the gather of one input.
            uint32_t fill = 0;
            const bool trimmed = fifo->Trim(n, &fill);
            if (config.trace) config.trace(config.traceContext, now, fill, fifo->SlowFill(), fifo->Ratio());
            const bool delivered = fifo->ReadBuffer(out.data(), n);
            const bool underrun = flowing && !delivered;
            flowing = flowing || delivered;
            recorder.ConsumerPeriod(now, fifo->SlowFill(), trimmed, underrun, flowing, &result);
            ++clockEvent;
        } else if (clockTime <= deviceTime) {
            // Clock tick: the output push.
            fifo->SteerRatio(static_cast<float>(result.targetFrames));
            fifo->PushConvertedStereo(silence.data(), silence.data() + n, n);
            TrackRatio(*fifo, &result);
            ++result.producerPeriods;
            ++clockEvent;
        } else {
            // Render stream thread: one playback packet. Nothing else runs meanwhile, so the trim and the
            // underrun can be read off the fill before the call.
            const uint32_t fill = fifo->FillFrames();
            const bool trimmed = fill >= 7 * n;
            const uint32_t afterTrim = trimmed ? 3 * n : fill;
            const bool underrun = flowing && afterTrim < p;
            if (config.trace) config.trace(config.traceContext, now, fill, fifo->SlowFill(), fifo->Ratio());
            OnRenderData(out.data(), 2 * p, 2, 1.0, fifo.get());
            flowing = flowing || !fifo->FadeInPending();
            recorder.ConsumerPeriod(now, fifo->SlowFill(), trimmed, underrun, flowing, &result);
            ++deviceEvent;
        }
    }
    recorder.Finish(n, &result);
    return result;
}

}  // namespace drift
