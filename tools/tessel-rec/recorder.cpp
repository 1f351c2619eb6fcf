#include "recorder.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "alignment.h"
#include "asio_registry.h"
#include "verdict.h"

namespace {

constexpr int kMaxInputs = 8;
constexpr size_t kRingBlocks = 512;  // about three seconds at 48000 Hz and 288 frames: the main thread drains it
                                     // every 20 ms

// The host side of one recording. The callbacks are plain functions, so the one active recording is global.
struct Session {
    IASIO* driver = nullptr;
    bool floatSamples = false;
    int32_t inputs = 0;
    int32_t frames = 0;
    std::vector<ASIOBufferInfo> buffers;  // inputs first, then the outputs
    // Ring of blocks: each holds one switch's input halves as floats, interleaved, and when it was handed over.
    std::vector<float> ring;
    std::vector<int64_t> blockTimes;
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> read{0};
    std::atomic<uint32_t> overruns{0};
    std::atomic<uint32_t> switches{0};
    bool running = false;  // set once start returned: blocks before that are the driver's start-up ticks
    // On a machine that hears its outputs, a pulse at the start of every pulsePeriod output frames, so that the
    // output latency can be measured; silence otherwise.
    bool outputPulses = false;
    int64_t pulsePeriod = 0;
    uint64_t outputFrame = 0;                 // clock thread only
    std::vector<uint64_t> blockOutputFrames;  // the output frame each ring block's switch began with
};
constexpr int64_t kPulseWidth = 32;  // output frames: wide enough to survive decimation and the converter
constexpr float kPulseLevel = 0.5f;
Session* session = nullptr;

// Clock thread: copy the input halves of this switch into the next free block. No allocation, no lock.
void TakeBuffers(int32_t index) {
    Session& s = *session;
    s.switches.fetch_add(1, std::memory_order_relaxed);
    // The outputs first: they are due whether or not the ring has room for the inputs.
    const uint64_t firstOutputFrame = s.outputFrame;
    for (size_t k = static_cast<size_t>(s.inputs); k < s.buffers.size(); ++k) {
        int32_t* half = static_cast<int32_t*>(s.buffers[k].buffers[index]);
        if (!s.outputPulses) {
            std::memset(half, 0, static_cast<size_t>(s.frames) * sizeof(int32_t));
            continue;
        }
        for (int32_t i = 0; i < s.frames; ++i) {
            const bool on = static_cast<int64_t>((firstOutputFrame + static_cast<uint64_t>(i)) %
                                                 static_cast<uint64_t>(s.pulsePeriod)) < kPulseWidth;
            const float x = on ? kPulseLevel : 0.0f;
            half[i] = s.floatSamples ? std::bit_cast<int32_t>(x) : static_cast<int32_t>(x * 2147483647.0f);
        }
    }
    s.outputFrame = firstOutputFrame + static_cast<uint64_t>(s.frames);
    const uint64_t w = s.written.load(std::memory_order_relaxed);
    if (w - s.read.load(std::memory_order_acquire) >= kRingBlocks) {
        s.overruns.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const size_t block = static_cast<size_t>(w % kRingBlocks);
    s.blockOutputFrames[block] = firstOutputFrame;
    float* out = s.ring.data() + block * static_cast<size_t>(s.frames * s.inputs);
    for (int32_t k = 0; k < s.inputs; ++k) {
        const int32_t* half = static_cast<const int32_t*>(s.buffers[static_cast<size_t>(k)].buffers[index]);
        for (int32_t i = 0; i < s.frames; ++i)
            out[i * s.inputs + k] =
                s.floatSamples ? std::bit_cast<float>(half[i]) : static_cast<float>(half[i]) * (1.0f / 2147483648.0f);
    }
    s.blockTimes[block] = SteadyNanoseconds();
    s.written.store(w + 1, std::memory_order_release);
}

void OnSwitch(int32_t index, ASIOBool) { TakeBuffers(index); }
ASIOTime* OnSwitchTimeInfo(ASIOTime* time, int32_t index, ASIOBool) {
    TakeBuffers(index);
    return time;
}
void OnRateChange(ASIOSampleRate) {}
int32_t OnMessage(int32_t selector, int32_t value, void*, double*) {
    switch (selector) {
        case kAsioSelectorSupported:
            return value == kAsioSupportsTimeInfo || value == kAsioEngineVersion ? 1 : 0;
        case kAsioEngineVersion:
            return 2;
        case kAsioSupportsTimeInfo:
            return 1;
        default:
            return 0;
    }
}
ASIOCallbacks callbacks = {&OnSwitch, &OnRateChange, &OnMessage, &OnSwitchTimeInfo};

double Decibels(double value) { return value > 0 ? 20.0 * std::log10(value) : -200.0; }

// What a received block says about one channel: levels, drop-outs, and the latency where the signal tells which
// crystal frame each sample is.
class ChannelWatch {
public:
    ChannelWatch(ChannelReport* report, const std::string& signal, int32_t frames) : report_(report), frames_(frames) {
        if (signal == "ramp") kind_ = Kind::Ramp;
        // Silence carries only the room's events, if any: a silent buffer is the signal, not a loss.
        if (signal == "silence") kind_ = Kind::Sparse;
        if (signal.rfind("impulses:", 0) == 0) {
            kind_ = Kind::Impulses;
            impulsePeriod_ = std::atoll(signal.c_str() + 9);
        }
    }

    // `crystalFrame` is the microphone's frame count when block number `blockIndex` was handed over, or -1 if
    // unknown.
    void Take(const float* block, int32_t stride, int64_t crystalFrame, uint64_t blockIndex) {
        blockIndex_ = blockIndex;
        bool silent = true;
        for (int32_t i = 0; i < frames_; ++i) silent = silent && block[i * stride] == 0.0f;
        if (!report_->started) {
            if (silent) return;
            report_->started = true;
            fadingIn_ = true;  // the first buffer ramps in from silence: its levels count, its shape does not
        } else if (silent) {
            // Flowing before and nothing now: the driver had no audio of this microphone for that buffer (unless
            // the signal itself is mostly silence, as an impulse train is).
            if (kind_ != Kind::Impulses && kind_ != Kind::Sparse) ++report_->dropOuts;
            havePrevious_ = false;
            return;
        }
        float peak = 0.0f;
        for (int32_t i = 0; i < frames_; ++i) {
            const float x = block[i * stride];
            peak = std::max(peak, std::fabs(x));
            report_->sumSquares += static_cast<double>(x) * x;
        }
        report_->peak = std::max(report_->peak, peak);
        report_->frames += static_cast<uint64_t>(frames_);
        blockPeak_ = std::max(blockPeak_, peak);
        if (fadingIn_) {
            fadingIn_ = false;
            return;
        }
        if (kind_ == Kind::Ramp) TakeRamp(block, stride, crystalFrame);
        if (kind_ == Kind::Impulses) TakeImpulses(block, stride, crystalFrame);
    }
    // The loudest sample since the last call, for the meter.
    float TakeMeter() {
        const float peak = blockPeak_;
        blockPeak_ = 0.0f;
        return peak;
    }

private:
    enum class Kind { Other, Ramp, Impulses, Sparse };
    static constexpr int64_t kRampPeriod = 32768;  // the virtual microphones' ramp: frame n is (n mod 32768) / 32768

    static int64_t Step(float x) { return static_cast<int64_t>(std::llround(static_cast<double>(x) * kRampPeriod)); }

    // A ramp advances one step per frame. The converter resamples by a few ppm, so now and then a step repeats or
    // two are taken at once; anything else is lost or repeated audio. The wrap from the top back to zero is
    // interpolated across, so a sample or two near it is not judged.
    void TakeRamp(const float* block, int32_t stride, int64_t crystalFrame) {
        for (int32_t i = 0; i < frames_; ++i) {
            const int64_t step = Step(block[i * stride]);
            const bool nearWrap = step < 4 || step > kRampPeriod - 4;
            if (havePrevious_ && !nearWrap && !previousNearWrap_) {
                const int64_t delta = step - previous_;
                if (delta < 0 || delta > 2) ++report_->dropOuts;
            }
            previous_ = step;
            previousNearWrap_ = nearWrap;
            havePrevious_ = true;
        }
        // The latency of the middle sample: the crystal frame it was recorded at is its step (mod the ramp's
        // period); the host received it `crystalFrame - frame + i` frames later, counting its place in the buffer.
        const int32_t i = frames_ / 2;
        const int64_t step = Step(block[i * stride]);
        if (crystalFrame >= 0 && step > 4 && step < kRampPeriod - 4)
            AddLatency(((crystalFrame - step + i) % kRampPeriod + kRampPeriod) % kRampPeriod);
    }

    // An impulse every `impulsePeriod_` frames: frame numbers that are multiples of the period. The converter
    // spreads it over two or three samples; the loudest one marks it.
    void TakeImpulses(const float* block, int32_t stride, int64_t crystalFrame) {
        if (crystalFrame < 0 || impulsePeriod_ <= 0) return;
        int32_t loudest = -1;
        float level = 0.0f;
        for (int32_t i = 0; i < frames_; ++i)
            if (std::fabs(block[i * stride]) > level) {
                level = std::fabs(block[i * stride]);
                loudest = i;
            }
        if (loudest < 0 || level < 0.1f) return;
        AddLatency(((crystalFrame + loudest) % impulsePeriod_ + impulsePeriod_) % impulsePeriod_);
    }

    void AddLatency(int64_t frames) { rawLatencies_.push_back({blockIndex_, frames}); }

public:
    // The latencies measured against the time each block arrived, corrected by how late it arrived:
    // `latenessFrames[r]` is how far block r came after the driver's schedule, in frames.
    void FinishLatency(const std::vector<double>& latenessFrames) {
        for (const auto& [block, raw] : rawLatencies_) {
            const int64_t frames = raw - std::llround(block < latenessFrames.size() ? latenessFrames[block] : 0.0);
            if (report_->latencyCount == 0 || frames < report_->latencyMin) report_->latencyMin = frames;
            if (report_->latencyCount == 0 || frames > report_->latencyMax) report_->latencyMax = frames;
            report_->latencySum += static_cast<double>(frames);
            ++report_->latencyCount;
        }
    }

private:
    ChannelReport* report_;
    int32_t frames_;
    Kind kind_ = Kind::Other;
    int64_t impulsePeriod_ = 0;
    bool fadingIn_ = false;
    bool havePrevious_ = false;
    bool previousNearWrap_ = false;
    int64_t previous_ = 0;
    float blockPeak_ = 0.0f;
    uint64_t blockIndex_ = 0;
    std::vector<std::pair<uint64_t, int64_t>> rawLatencies_;
};

std::string Meter(float peak) {
    // 24 cells over 60 dB.
    const double db = Decibels(peak);
    const int cells = std::clamp(static_cast<int>((db + 60.0) / 2.5), 0, 24);
    return std::string(static_cast<size_t>(cells), '#') + std::string(static_cast<size_t>(24 - cells), '.');
}

// The room's events as each channel heard them: how far apart the microphones are, and how far each moves.
void PrintAlignment(const alignment::Report& report, const RecordResult& result, const RecordOptions& options) {
    const double ms = 1000.0 / result.sampleRate;
    std::printf("alignment over %zu events (from %.0f s on, one every %.3g s):\n", report.events, options.settleSeconds,
                options.eventIntervalSeconds);
    if (!report.events) {
        std::printf("  no event was heard by every input\n");
        return;
    }
    std::printf("  spread between inputs: max %.1f frames (%.3f ms), mean %.1f frames (%.3f ms)\n",
                report.maxSpreadFrames, report.maxSpreadFrames * ms, report.meanSpreadFrames,
                report.meanSpreadFrames * ms);
    for (size_t c = 0; c < report.wanderFrames.size(); ++c)
        std::printf("  input %zu: wander %.1f frames (%.3f ms), %+.1f frames from input 1\n", c + 1,
                    report.wanderFrames[c], report.wanderFrames[c] * ms, report.offsetFrames[c]);
    std::printf("  reported input latency: %d frames (%.3f ms)\n", static_cast<int>(result.inputLatency),
                result.inputLatency * ms);
}

void PrintSummary(const RecordResult& result, const RecordOptions& options) {
    std::printf("\n%s: %llu frames, %d channel(s), %.0f Hz, buffer %d frames, %s\n", options.outputPath.c_str(),
                static_cast<unsigned long long>(result.framesWritten), static_cast<int>(result.channels.size()),
                result.sampleRate, static_cast<int>(result.bufferSize),
                options.format == WavWriter::Format::Float32 ? "32-bit float" : "24-bit PCM");
    std::printf("%-9s %8s %8s %9s %5s %10s %12s %10s %20s\n", "input", "peak", "RMS", "drop-outs", "late", "offset",
                "conv. ratio", "FIFO fill", "latency rep./meas.");
    for (const ChannelReport& c : result.channels) {
        char peak[16], rms[16], late[24] = "-", offset[16] = "-", ratio[16] = "-", fill[16] = "-", latency[32];
        if (c.deviceLateKnown)
            std::snprintf(late, sizeof late, "%llu", static_cast<unsigned long long>(c.deviceLatePackets));
        std::snprintf(peak, sizeof peak, "%.1f", Decibels(c.peak));
        std::snprintf(rms, sizeof rms, "%.1f",
                      c.frames ? Decibels(std::sqrt(c.sumSquares / static_cast<double>(c.frames))) : -200.0);
        if (c.metrics.known) {
            if (c.metrics.offsetKnown) std::snprintf(offset, sizeof offset, "%+.1f ppm", c.metrics.offsetPpm);
            std::snprintf(ratio, sizeof ratio, "%.7f", c.metrics.converterRatio);
            std::snprintf(fill, sizeof fill, "%.0f", c.metrics.slowFillFrames);
        }
        if (c.latencyCount)
            std::snprintf(latency, sizeof latency, "%d / %.0f (%lld..%lld)", static_cast<int>(result.inputLatency),
                          c.latencySum / c.latencyCount, static_cast<long long>(c.latencyMin),
                          static_cast<long long>(c.latencyMax));
        else
            std::snprintf(latency, sizeof latency, "%d / -", static_cast<int>(result.inputLatency));
        std::printf("%-9s %8s %8s %9u %5s %10s %12s %10s %20s\n", c.name.c_str(), peak, rms, c.dropOuts, late, offset,
                    ratio, fill, latency);
    }
    std::printf(
        "levels in dBFS; late: packets the device itself completed over a packet late (virtual machines); "
        "latencies in frames (input reported by the driver / measured: mean, range)\n");
    if (result.outputLatencyCount)
        std::printf("output latency rep./meas.: %d / %.0f (%.0f..%.0f, %u pulses)\n",
                    static_cast<int>(result.outputLatency), result.outputLatencySum / result.outputLatencyCount,
                    result.outputLatencyMin, result.outputLatencyMax, result.outputLatencyCount);
    else
        std::printf("output latency rep./meas.: %d / -\n", static_cast<int>(result.outputLatency));
    if (result.driverDropOutsKnown) std::printf("drop-outs counted by the driver: %u\n", result.driverDropOuts);
    if (result.hostOverruns) std::printf("tessel-rec could not keep up: %u buffers lost\n", result.hostOverruns);
}

}  // namespace

RecordResult Record(const RecordOptions& options, Machine& machine) {
    RecordResult result;
    IASIO* driver = CreateRegisteredDriver(options.driverFilter);
    if (!driver) return result;
    machine.Attach(driver);

    Session s;
    s.driver = driver;
    session = &s;
    auto finish = [&](const char* failure) {
        if (failure) std::fprintf(stderr, "tessel-rec: %s\n", failure);
        driver->disposeBuffers();
        driver->Release();
        session = nullptr;
    };

    if (!driver->init(nullptr)) {
        char message[128] = {};
        driver->getErrorMessage(message);
        std::fprintf(stderr, "tessel-rec: init failed: %s\n", message);
        finish(nullptr);
        return result;
    }
    if (driver->canSampleRate(options.sampleRate) != ASE_OK || driver->setSampleRate(options.sampleRate) != ASE_OK) {
        finish("the driver cannot run at that sample rate");
        return result;
    }
    int32_t inputs = 0, outputs = 0, minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    driver->getChannels(&inputs, &outputs);
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    inputs = std::min(inputs, kMaxInputs);
    if (inputs <= 0) {
        finish("the driver has no inputs");
        return result;
    }
    s.frames = options.bufferSize > 0 ? options.bufferSize : preferred;
    s.inputs = inputs;
    for (int32_t k = 0; k < inputs + outputs; ++k) {
        ASIOBufferInfo info{};
        info.isInput = k < inputs ? ASIOTrue : ASIOFalse;
        info.channelNum = k < inputs ? k : k - inputs;
        s.buffers.push_back(info);
    }
    ASIOChannelInfo channelInfo{};
    channelInfo.channel = 0;
    channelInfo.isInput = ASIOTrue;
    if (driver->getChannelInfo(&channelInfo) != ASE_OK) {
        finish("getChannelInfo failed");
        return result;
    }
    s.floatSamples = channelInfo.type == ASIOSTFloat32LSB;
    s.ring.assign(kRingBlocks * static_cast<size_t>(s.frames * inputs), 0.0f);
    s.blockTimes.assign(kRingBlocks, 0);
    s.blockOutputFrames.assign(kRingBlocks, 0);
    // Pulses far enough apart that the latency (some seven buffers) cannot mistake one for the next.
    s.outputPulses = machine.HearsOutputs() && outputs > 0;
    s.pulsePeriod = std::max<int64_t>(16384, 16 * static_cast<int64_t>(s.frames));
    const ASIOError created =
        driver->createBuffers(s.buffers.data(), static_cast<int32_t>(s.buffers.size()), s.frames, &callbacks);
    if (created != ASE_OK) {
        std::fprintf(stderr, "tessel-rec: createBuffers(%d frames) failed: %d\n", static_cast<int>(s.frames),
                     static_cast<int>(created));
        finish(nullptr);
        return result;
    }
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    driver->getLatencies(&result.inputLatency, &result.outputLatency);
    result.bufferSize = s.frames;
    result.sampleRate = rate;

    for (int32_t k = 0; k < inputs; ++k) {
        ChannelReport report;
        ASIOChannelInfo info{};
        info.channel = k;
        info.isInput = ASIOTrue;
        driver->getChannelInfo(&info);
        report.name = info.name;
        result.channels.push_back(report);
    }
    std::vector<alignment::EventFinder> finders;
    if (options.eventIntervalSeconds > 0.0) finders.assign(static_cast<size_t>(inputs), alignment::EventFinder(rate));
    std::vector<ChannelWatch> watches;
    for (int32_t k = 0; k < inputs; ++k)
        watches.emplace_back(&result.channels[static_cast<size_t>(k)], machine.Signal(static_cast<size_t>(k)),
                             s.frames);

    WavWriter wav;
    if (!wav.Open(options.outputPath, options.format, static_cast<uint32_t>(inputs), static_cast<uint32_t>(rate))) {
        finish("cannot write the output file");
        return result;
    }
    if (driver->start() != ASE_OK) {
        finish("start failed");
        return result;
    }
    // The switches that came before start returned are the driver's start-up ticks: dropped, not recorded.
    s.read.store(s.written.load());
    s.running = true;
    // The devices' lateness counts from here: what came before start returned cannot break the recording.
    std::vector<uint64_t> lateAtStart(static_cast<size_t>(inputs), 0);
    for (int32_t k = 0; k < inputs; ++k) {
        ChannelReport& report = result.channels[static_cast<size_t>(k)];
        report.deviceLateKnown =
            machine.DeviceLatePackets(static_cast<size_t>(k), &lateAtStart[static_cast<size_t>(k)]);
    }

    const uint64_t totalBlocks =
        static_cast<uint64_t>(std::ceil(options.seconds * rate / static_cast<double>(s.frames)));
    uint64_t blocksDone = 0;
    const int64_t begin = SteadyNanoseconds();
    int64_t lastPrint = begin;
    // A stream that stops delivering altogether (every device gone) ends the recording after two seconds.
    int64_t lastBlock = begin;
    std::vector<float> meters(static_cast<size_t>(inputs), 0.0f);
    const double periodNs = 1e9 * static_cast<double>(s.frames) / rate;
    std::vector<double> blockOffsets;
    struct Pulse {
        uint64_t block;  // among the blocks read
        int64_t offset;  // frame within the block
    };
    std::vector<Pulse> pulses;
    while (blocksDone < totalBlocks) {
        const int64_t now = SteadyNanoseconds();
        machine.Tick(static_cast<double>(now - begin) * 1e-9);
        const uint64_t available = s.written.load(std::memory_order_acquire);
        uint64_t r = s.read.load(std::memory_order_relaxed);
        if (r == available) {
            if (now - lastBlock > 2000000000LL) {
                std::fprintf(stderr, "\ntessel-rec: the driver stopped delivering buffers\n");
                ++result.hostOverruns;
                break;
            }
            Sleep(20);
        }
        for (; r < available && blocksDone < totalBlocks; ++r, ++blocksDone) {
            const size_t block = static_cast<size_t>(r % kRingBlocks);
            const float* data = s.ring.data() + block * static_cast<size_t>(s.frames * inputs);
            // Where the block stands against a schedule of one period per block; how late it came is known
            // once the later blocks are in (see below).
            blockOffsets.push_back(static_cast<double>(s.blockTimes[block]) -
                                   static_cast<double>(blocksDone) * periodNs);
            if (s.outputPulses) {
                const int64_t first = static_cast<int64_t>(s.blockOutputFrames[block]);
                const int64_t pulse = (first + s.pulsePeriod - 1) / s.pulsePeriod * s.pulsePeriod;
                if (pulse < first + s.frames) pulses.push_back({blocksDone, pulse - first});
            }
            for (int32_t k = 0; k < inputs; ++k) {
                int64_t crystal = -1;
                if (!machine.CrystalFrame(static_cast<size_t>(k), s.blockTimes[block], rate, &crystal)) crystal = -1;
                watches[static_cast<size_t>(k)].Take(data + k, inputs, crystal, blocksDone);
                if (!finders.empty())
                    finders[static_cast<size_t>(k)].Add(data + k, static_cast<size_t>(s.frames),
                                                        static_cast<size_t>(inputs));
            }
            wav.Write(data, static_cast<uint32_t>(s.frames));
            lastBlock = now;
        }
        s.read.store(r, std::memory_order_release);
        for (int32_t k = 0; k < inputs; ++k)
            meters[static_cast<size_t>(k)] =
                std::max(meters[static_cast<size_t>(k)], watches[static_cast<size_t>(k)].TakeMeter());
        if (options.progress && (now - lastPrint > 250000000LL || blocksDone >= totalBlocks)) {
            lastPrint = now;
            std::printf("\r%5.1f / %.1f s ", static_cast<double>(blocksDone) * s.frames / rate, options.seconds);
            for (int32_t k = 0; k < inputs; ++k) {
                const float peak = meters[static_cast<size_t>(k)];
                std::printf(" %d[%s]%4.0f", static_cast<int>(k + 1), Meter(peak).substr(0, 12).c_str(),
                            std::max(-99.0, Decibels(peak)));
                meters[static_cast<size_t>(k)] = 0.0f;
            }
            std::fflush(stdout);
        }
    }
    driver->stop();
    for (int32_t k = 0; k < inputs; ++k) {
        ChannelReport& report = result.channels[static_cast<size_t>(k)];
        uint64_t late = 0;
        report.deviceLateKnown = report.deviceLateKnown && machine.DeviceLatePackets(static_cast<size_t>(k), &late);
        if (report.deviceLateKnown) report.deviceLatePackets = late - lateAtStart[static_cast<size_t>(k)];
    }
    if (options.progress) std::printf("\n");
    // The buffer switches keep the driver's schedule even when the clock thread runs late on a busy machine, and
    // a clock that fell far behind restarts its schedule later. So the schedule a block belongs to is marked by
    // the earliest offset among it and the blocks after it (lateness only ever adds); what the block has beyond
    // that is lateness, not latency.
    std::vector<double> latenessFrames(blockOffsets.size());
    double earliest = 1e300;
    for (size_t r = blockOffsets.size(); r-- > 0;) {
        earliest = std::min(earliest, blockOffsets[r]);
        latenessFrames[r] = (blockOffsets[r] - earliest) * rate * 1e-9;
    }
    for (ChannelWatch& watch : watches) watch.FinishLatency(latenessFrames);
    // Each pulse that sounded, against the schedule of the switch that wrote it: the one written less than a
    // pulse period before it sounded.
    for (const int64_t edge : machine.OutputEdges(kPulseLevel)) {
        for (const Pulse& pulse : pulses) {
            const size_t b = static_cast<size_t>(pulse.block);
            const double scheduledNs =
                blockOffsets[b] - latenessFrames[b] * 1e9 / rate + static_cast<double>(b) * periodNs;
            const double frames =
                (static_cast<double>(edge) - scheduledNs) * rate * 1e-9 - static_cast<double>(pulse.offset);
            if (frames < 0 || frames >= static_cast<double>(s.pulsePeriod)) continue;
            if (result.outputLatencyCount == 0 || frames < result.outputLatencyMin) result.outputLatencyMin = frames;
            if (result.outputLatencyCount == 0 || frames > result.outputLatencyMax) result.outputLatencyMax = frames;
            result.outputLatencySum += frames;
            ++result.outputLatencyCount;
            break;
        }
    }
    result.hostOverruns += s.overruns.load();
    result.framesWritten = wav.FramesWritten();
    const bool fileWritten = wav.Close();
    for (int32_t k = 0; k < inputs; ++k)
        result.channels[static_cast<size_t>(k)].metrics = machine.Metrics(driver, static_cast<size_t>(k));
    result.driverDropOuts = machine.DriverDropOuts(driver);
    result.driverDropOutsKnown = result.channels.empty() ? false : result.channels[0].metrics.known;
    PrintSummary(result, options);
    if (!finders.empty()) {
        std::vector<std::vector<double>> arrivals;
        std::vector<int64_t> switchTimes(blockOffsets.size());
        for (size_t b = 0; b < blockOffsets.size(); ++b)
            switchTimes[b] = static_cast<int64_t>(blockOffsets[b] + static_cast<double>(b) * periodNs);
        const std::vector<double> schedule = alignment::ScheduleOfSwitches(switchTimes, periodNs);
        for (const alignment::EventFinder& finder : finders)
            arrivals.push_back(alignment::OnSchedule(finder.Events(), schedule, static_cast<size_t>(s.frames), rate));
        PrintAlignment(alignment::Compare(arrivals, rate, options.eventIntervalSeconds, options.settleSeconds), result,
                       options);
    }

    RecordingLoss loss;
    loss.seconds = static_cast<double>(blocksDone) * s.frames / rate;
    loss.fileWritten = fileWritten;
    loss.hostOverruns = result.hostOverruns;
    loss.driverDropOutsKnown = result.driverDropOutsKnown;
    loss.driverDropOuts = result.driverDropOuts;
    for (const ChannelReport& c : result.channels)
        loss.channels.push_back({c.started, c.dropOuts, c.deviceLateKnown, c.deviceLatePackets});
    std::string why;
    switch (Judge(loss, &why)) {
        case Verdict::NoLoss:
            std::printf("no audio was lost\n");
            result.exitCode = 0;
            break;
        case Verdict::LostWhereMachineStalled:
            std::printf("audio was lost only where the virtual machine held up its threads (%s)\n", why.c_str());
            result.exitCode = 4;
            break;
        case Verdict::Lost:
            std::printf("AUDIO WAS LOST in this recording%s%s%s\n", why.empty() ? "" : " (", why.c_str(),
                        why.empty() ? "" : ")");
            result.exitCode = 3;
            break;
    }
    finish(nullptr);
    return result;
}
