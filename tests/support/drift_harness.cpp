#include "tests/support/drift_harness.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <vector>

#include "device/packet_stamp.h"
#include "device/rate_measurement.h"
#include "driver/asio_driver.h"

namespace drift {

namespace {

constexpr double kCounterFrequency = 10'000'000.0;  // the performance counter, counts per second
// The endpoint hands nothing to its callback for this many packets after a start (its start-up skip).
constexpr uint64_t kStartupSkipPackets = 32;

// Per simulated second: the slow fill's extremes and the events, so that the settling time can be found after
// the run, once the steady fill is known.
struct Second {
    float minSlowFill = 1e30f;
    float maxSlowFill = -1e30f;
    uint32_t trims = 0;
    uint32_t underruns = 0;
    double latencySum = 0;
    uint32_t latencyCount = 0;
};

class Recorder {
public:
    explicit Recorder(const Config& config)
        : seconds(static_cast<size_t>(std::ceil(config.seconds)) + 1), tailStart(0.75 * config.seconds) {}

    void ConsumerPeriod(double time, float slowFill, bool trimmed, bool underrun, Result* result) {
        Second& s = seconds[std::min(seconds.size() - 1, static_cast<size_t>(time))];
        s.minSlowFill = std::min(s.minSlowFill, slowFill);
        s.maxSlowFill = std::max(s.maxSlowFill, slowFill);
        s.trims += trimmed;
        s.underruns += underrun;
        result->trims += trimmed;
        result->underruns += underrun;
        result->dropOuts += trimmed || underrun;
        if (trimmed || underrun) result->lastEventSeconds = time;
        ++result->consumerPeriods;
        if (time >= tailStart) {
            tailSum += slowFill;
            ++tailCount;
            tailMin = std::min(tailMin, slowFill);
            tailMax = std::max(tailMax, slowFill);
        }
    }

    void Latency(double time, double frames) {
        Second& s = seconds[std::min(seconds.size() - 1, static_cast<size_t>(time))];
        s.latencySum += frames;
        ++s.latencyCount;
    }

    void ProducerPeriod(double time, double ratio, float appliedRatio, Result* result) {
        result->minRatio = std::min(result->minRatio, appliedRatio);
        result->maxRatio = std::max(result->maxRatio, appliedRatio);
        ++result->producerPeriods;
        if (time < tailStart) return;
        const double ppm = (ratio - 1.0) * 1e6;
        ++ratioCount;
        const double delta = ppm - ratioMean;
        ratioMean += delta / static_cast<double>(ratioCount);
        ratioSquares += delta * (ppm - ratioMean);
        ratioMin = std::min(ratioMin, ppm);
        ratioMax = std::max(ratioMax, ppm);
    }

    void Finish(uint32_t bufferFrames, Result* result) const {
        result->steadyFillFrames = tailCount ? tailSum / static_cast<double>(tailCount) : 0.0;
        result->steadySwingFrames = tailCount ? static_cast<double>(tailMax - tailMin) : 0.0;
        if (ratioCount) {
            result->meanRatio = 1.0 + ratioMean * 1e-6;
            result->jitterSdPpm = std::sqrt(ratioSquares / static_cast<double>(ratioCount));
            result->jitterPeakToPeakPpm = ratioMax - ratioMin;
        }
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
        double latencyLow = 1e300;
        double latencyHigh = -1e300;
        double latencySum = 0;
        uint64_t latencyCount = 0;
        for (size_t i = static_cast<size_t>(std::ceil(tailStart)); i < seconds.size(); ++i) {
            const Second& s = seconds[i];
            if (!s.latencyCount) continue;
            const double mean = s.latencySum / s.latencyCount;
            latencyLow = std::min(latencyLow, mean);
            latencyHigh = std::max(latencyHigh, mean);
            latencySum += s.latencySum;
            latencyCount += s.latencyCount;
        }
        for (const Second& s : seconds)
            result->latencyPerSecond.push_back(s.latencyCount ? s.latencySum / s.latencyCount : std::nan(""));
        if (latencyCount) {
            result->steadyLatencyFrames = latencySum / static_cast<double>(latencyCount);
            result->latencySwingFrames = latencyHigh - latencyLow;
        }
        // Still moving in the last quarter: call it unsettled and count the events of that quarter instead.
        const bool never = static_cast<double>(settled) > tailStart;
        result->settleSeconds = never ? -1.0 : static_cast<double>(settled);
        const size_t from = never ? static_cast<size_t>(tailStart) : settled;
        for (size_t i = from; i < seconds.size(); ++i) {
            const Second& s = seconds[i];
            result->trimsAfterSettle += s.trims;
            result->underrunsAfterSettle += s.underruns;
            if (s.maxSlowFill < s.minSlowFill) continue;
            result->maxErrorAfterSettleFrames =
                std::max({result->maxErrorAfterSettleFrames, std::fabs(s.minSlowFill - result->targetFrames),
                          std::fabs(s.maxSlowFill - result->targetFrames)});
        }
    }

private:
    std::vector<Second> seconds;
    double tailStart;
    double tailSum = 0;
    uint64_t tailCount = 0;
    float tailMin = 1e30f;
    float tailMax = -1e30f;
    uint64_t ratioCount = 0;
    double ratioMean = 0;  // ppm
    double ratioSquares = 0;
    double ratioMin = 1e30;
    double ratioMax = -1e30;
};

// The host: takes its buffer switches and leaves its output halves silent.
void OnBufferSwitch(int32_t, ASIOBool) {}
int32_t OnAsioMessage(int32_t, int32_t, void*, double*) { return 0; }
ASIOCallbacks hostCallbacks = {&OnBufferSwitch, nullptr, &OnAsioMessage, nullptr};

// A driver set up as its open sequence and createBuffers leave it for one device: one microphone on input 1, or
// the playback device behind both outputs. The FIFO's device is a stand-in that is never called: the harness is
// the endpoint.
class Driver {
public:
    Driver(const Config& config, uint32_t devicePeriodFrames) {
        HRESULT hr = S_OK;
        driver = new CAsioDriver(nullptr, &hr, true);
        driver->NonDelegatingAddRef();
        driver->sampleRate = config.sampleRateHz;
        driver->numOutputs = CAsioDriver::kNumOutputs;
        const float rate = static_cast<float>(config.sampleRateHz);
        std::vector<ASIOBufferInfo> entries;
        if (config.direction == Direction::Capture) {
            driver->numInputs = 1;
            fifo = &driver->inputFifos[0];
            fifo->channels = 1;
            fifo->Configure(rate, config.bufferFrames);
            entries.push_back(ASIOBufferInfo{ASIOTrue, 0, {nullptr, nullptr}});
        } else {
            driver->numInputs = 0;
            fifo = &driver->outputFifo;
            fifo->channels = 2;
            fifo->Configure(rate, devicePeriodFrames);
            entries.push_back(ASIOBufferInfo{ASIOFalse, 0, {nullptr, nullptr}});
            entries.push_back(ASIOBufferInfo{ASIOFalse, 1, {nullptr, nullptr}});
        }
        fifo->device = reinterpret_cast<CKSDevice*>(fifo);
        fifo->deviceCounter = &deviceCounter;
        fifo->SetCounterFrequency(static_cast<int64_t>(kCounterFrequency));
        fifo->SetPhaseCorrection(config.phaseCorrection);
        created = driver->createBuffers(entries.data(), static_cast<int32_t>(entries.size()),
                                        static_cast<int32_t>(config.bufferFrames), &hostCallbacks) == ASE_OK;
    }
    ~Driver() {
        fifo->device = nullptr;
        driver->NonDelegatingRelease();
    }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    CAsioDriver* driver = nullptr;
    DeviceFifo* fifo = nullptr;
    bool created = false;
    std::atomic<int64_t> deviceCounter{0};  // the endpoint's packet counter, as its stream thread sets it
};

}  // namespace

Result Run(const Config& config) {
    Result result;
    const uint32_t n = config.bufferFrames;
    const uint32_t p = config.devicePeriodFrames ? config.devicePeriodFrames : n;
    const double masterRate = config.sampleRateHz;
    const double deviceRate = config.sampleRateHz * (1.0 + config.crystalPpm * 1e-6);
    const bool capture = config.direction == Direction::Capture;
    const uint16_t deviceChannels = capture ? 1 : 2;
    result.targetFrames = (capture ? 2.5 : 3.5) * n;

    Driver setup(config, p);
    if (!setup.created) return result;
    CAsioDriver& driver = *setup.driver;
    DeviceFifo& fifo = *setup.fifo;

    // The endpoint's own measurement, restarted as the clock's start does, fed with each packet's counter reading.
    RateMeasurement measurement;
    measurement.SetCounterFrequency(static_cast<int64_t>(kCounterFrequency));
    measurement.SetNominalRate(masterRate);
    measurement.Restart();
    std::mt19937_64 random(config.seed);
    std::uniform_real_distribution<double> lateness(0.0, config.counterLatenessMs * 1e-3);
    int64_t lastReading = 0;
    PacketStamp stamp;  // as the endpoint stamps its packets
    const double exactRatio = deviceChannels * deviceRate / masterRate;
    auto measuredRatio = [&] {
        switch (config.measurement) {
            case Measurement::Exact:
                return exactRatio;
            case Measurement::None:
                return 1.0;
            default:
                return measurement.rateRatio;
        }
    };

    // The signal does not matter to the counts; silence keeps the run cheap and exact.
    std::vector<float> packet(static_cast<size_t>(p) * deviceChannels, 0.0f);
    Recorder recorder(config);

    // Event k of a clock happens at (k + phase) × period / rate. Times are computed from the event number, not
    // accumulated, so rounding cannot drift over hours.
    uint64_t deviceEvent = 0;
    uint64_t clockEvent = 0;
    bool flowing = false;
    double lastPacketTime = -1;  // true completion time of the last packet pushed (microphone)
    double lastPushTime = -1;    // time of the last tick's push (output)
    for (;;) {
        const double deviceTime = (static_cast<double>(deviceEvent) + config.devicePhase) * p / deviceRate;
        const double clockTime = static_cast<double>(clockEvent + 1) * n / masterRate;
        const double now = std::min(deviceTime, clockTime);
        if (now > config.seconds) break;

        if (deviceTime <= clockTime) {
            // The stream thread: it wakes on the packet, reads the counter (late, and never before its previous
            // reading), transfers the packet through the data callback once the start-up packets are past, and
            // takes the measurement step.
            const int64_t reading = static_cast<int64_t>((deviceTime + lateness(random)) * kCounterFrequency);
            lastReading = std::max(lastReading, reading);
            const bool delivers = deviceEvent >= kStartupSkipPackets;
            setup.deviceCounter.store(
                stamp.Step(lastReading, p * deviceChannels, measurement.CountsPerSample(deviceChannels)));
            if (capture && delivers) {
                lastPacketTime = deviceTime;
                OnCaptureData(packet.data(), p, 1, measuredRatio(), &fifo);
                recorder.ProducerPeriod(now, fifo.SteeredRatio(), fifo.Ratio(), &result);
            } else if (delivers) {
                // Nothing else runs meanwhile, so the trim and the underrun can be read off the fill before the
                // call.
                const uint32_t fill = fifo.FillFrames();
                const bool trimmed = fill >= 7 * n;
                const bool underrun = (trimmed ? 3 * n : fill) < p;
                if (flowing && !trimmed && lastPushTime >= 0)
                    recorder.Latency(now, fill + masterRate * (deviceTime - lastPushTime));
                OnRenderData(packet.data(), 2 * p, 2, measuredRatio(), &fifo);
                recorder.ConsumerPeriod(now, fifo.SlowFill(), flowing && trimmed, flowing && underrun, &result);
                flowing = flowing || !fifo.FadeInPending();
            }
            measurement.Step(setup.deviceCounter.load(), p * deviceChannels);
            ++deviceEvent;
        } else {
            // The clock thread's tick, the driver's own.
            uint32_t fill = fifo.FillFrames();
            const uint32_t dropOutsBefore = driver.dropOutCount;
            if (capture) {
                const bool trimmed = fill >= 7 * n;
                const bool delivered = (trimmed ? 3 * n : fill) >= n;
                // The sample the tick delivers first is the fill's oldest: captured `fill` frames before the end of
                // the last packet.
                if (flowing && !trimmed && lastPacketTime >= 0)
                    recorder.Latency(now, fill + masterRate * (clockTime - lastPacketTime));
                driver.tickCounter = static_cast<int64_t>(clockTime * kCounterFrequency);
                driver.Tick();
                const bool wasFlowing = flowing;
                flowing = flowing || delivered;
                recorder.ConsumerPeriod(now, fifo.SlowFill(), flowing && trimmed, wasFlowing && !delivered, &result);
                result.driverDropOuts += driver.dropOutCount - dropOutsBefore;
            } else {
                driver.tickCounter = static_cast<int64_t>(clockTime * kCounterFrequency);
                driver.Tick();
                lastPushTime = clockTime;
                recorder.ProducerPeriod(now, fifo.SteeredRatio(), fifo.Ratio(), &result);
            }
            ++clockEvent;
        }
    }
    recorder.Finish(n, &result);
    return result;
}

}  // namespace drift
