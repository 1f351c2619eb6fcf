// DeviceFifo: the ring of float samples between one device's stream thread and the driver's clock thread, with
// the sample-rate converter through which the producer writes and the fill bookkeeping that steers it.
//
// Ownership and lifecycle: the driver holds nine of these inline (eight microphones, one output) and never
// allocates them. The driver's own calls (open, createBuffers, close) run Reset, Configure and SetHostBufferFrames
// while neither audio thread touches the FIFO.
//
// Threads: single producer, single consumer.
//   - A microphone FIFO is fed by its capture stream thread (OnCaptureData) and drained by the clock thread.
//   - The output FIFO is fed by the clock thread and drained by the render stream thread (OnRenderData).
//   The producer owns writeIndex, the converter and the scratch arrays; the consumer owns readIndex. Each index is
//   published with release semantics and read by the other side with acquire semantics, so a stale read only
//   understates the fill (consumer) or the free space (producer). slowFill is written by the consumer and read by
//   the producer, always under `lock`, the only lock the audio path ever takes.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"
#include "sync/selectable_converter.h"

class CKSDevice;
class CAsioDriver;

class DeviceFifo {
public:
    // Ring length in samples. A power of two, so indices wrap with a mask.
    static constexpr uint32_t kRingSamples = 32768;
    static constexpr uint32_t kMask = kRingSamples - 1;
    // One slot always stays free, so that a full ring is never mistaken for an empty one.
    static constexpr uint32_t kCapacitySamples = kRingSamples - 1;
    // Converter output of one push, per channel.
    static constexpr uint32_t kScratchSamples = 16384;
    // Largest input one converter pass takes before its output is flushed to the ring: at the highest ratio
    // (1.01) plus one carried phase this yields at most 16161 outputs, inside the scratch arrays.
    static constexpr uint32_t kConvertChunkSamples = 16000;

    // Not explicit, so that the driver can hand itself to an array of FIFOs in one braced initialiser.
    DeviceFifo(CAsioDriver* ownerDriver = nullptr);
    ~DeviceFifo();
    DeviceFifo(const DeviceFifo&) = delete;
    DeviceFifo& operator=(const DeviceFifo&) = delete;

    // --- Configuration: the driver's thread, with both audio threads idle. ---
    // Detaches the device, empties and silences the ring, returns the converter to ratio 1.0 with a silent
    // history and arms the fade-in of the first buffer read afterwards.
    void Reset();
    // Consumer rate in Hz and consumer period in frames; the smoothing coefficients follow from them.
    void Configure(float sampleRateHz, uint32_t periodFrames);
    // The ASIO buffer size in frames: the unit of the trim thresholds and of the capture fill target.
    void SetHostBufferFrames(uint32_t frames) { hostBufferFrames = frames; }
    // Which converter the producer pushes through from now on; it starts afresh at the present ratio. Reset keeps
    // the choice.
    void SetConverterQuality(ConverterQuality quality) { converter.Select(quality); }
    ConverterQuality GetConverterQuality() const { return converter.Quality(); }

    // --- Audio path from here on. No allocation, no lock but `lock`, no printing. ---

    // Consumer side. `nowCounter` is the consumer's performance-counter time of this period (the clock's tick, or
    // the playback device's packet); 0 leaves the packet phase out (see PhaseCorrectionFrames).
    void UpdateFillEstimate(int64_t nowCounter = 0);
    // Copies n samples out, padding with silence what the ring does not hold.
    void Pull(float* dst, uint32_t n);
    // Drops the oldest `frames`. The slow fill average starts again: from `settledFill`, the fill the steering is
    // to read from now on, when the caller knows it, else from the next reading alone.
    void Skip(uint32_t frames, float settledFill = 0.0f);
    // Once per consumer period, before reading: updates the slow fill and, when seven buffers or more have piled
    // up, drops the oldest audio down to three buffers. Returns whether it dropped anything; fillFramesBefore, if
    // given, receives the fill it measured before dropping.
    bool Trim(uint32_t bufferFrames, uint32_t* fillFramesBefore = nullptr, int64_t nowCounter = 0);
    // The fill seen now is short of the latency by what the producer has gathered since its last push and not yet
    // pushed: it jumps by a whole push when a push lands and sags between pushes, and where the pushes fall between
    // the consumer's periods drifts with the crystals. Adding the frames the producer owes at `nowCounter` (its
    // rate times the time since the last push's counter stamp, at most one push; negative before the stamp), less
    // half a push so that the average is the plain fill's, gives a fill that tracks the latency itself;
    // UpdateFillEstimate averages that with at most one push owed, so that a late wake does not move the steering.
    // It is counted as of the last stamped push, so that a push the producer has written but not yet stamped is
    // not counted twice. The plain fill while there is no stamp, with the correction switched off, or for a
    // `nowCounter` of 0. Consumer thread.
    float PhaseCorrectedFill(int64_t nowCounter);
    // The same, counting every push owed up to where ProducerBehind begins: the latency of a stream that resumes
    // now, whose thread, a little behind, has captured audio still to push. Consumer thread.
    float LatencyFill(int64_t nowCounter);
    // Whether the producer is behind its own schedule at `nowCounter`: more than two pushes owed since its last
    // stamped push, so that pushes of audio already captured are still to come, more than LatencyFill counts.
    // False while there is no stamp or the correction is switched off. Consumer thread.
    bool ProducerBehind(int64_t nowCounter);
    // Pulls one buffer of `frames` frames if the ring holds that much, ramping it in from silence if it is the
    // first since a Reset. Returns false, consuming nothing and leaving dst alone, when less is there.
    bool ReadBuffer(float* dst, uint32_t frames);
    // Drops one buffer if the ring holds that much, so a FIFO nobody reads drains at the consumer's pace.
    void DiscardBuffer(uint32_t frames);

    // Producer side, after a push: the performance-counter time that push stands for (the packet's completion,
    // or the clock's tick). Recorded with the write index it belongs to, under `lock`, so that the consumer never
    // pairs a fresh push with the previous push's time.
    void StampPush(int64_t counter);
    // Producer side. Each push computes the free space once, writes what fits, drops the rest (the newest
    // samples) and then publishes the write index.
    void PushRaw(const float* src, uint32_t n);
    void PushPlanarStereo(const float* left, const float* right, uint32_t frames);
    void PushConverted(const float* src, uint32_t n);
    void PushConvertedStereo(const float* left, const float* right, uint32_t frames);
    // Moves the converter ratio one smoothing step towards the ratio that brings slowFill to targetFrames: the
    // balance ratio the device's measured rate calls for, corrected by the fill error and its integral.
    void SteerRatio(float targetFrames);
    // Takes the rate ratio the endpoint measured (samples of all channels per nominal frame) as the converter ratio
    // at which the fill would hold still. deviceProduces: the device feeds this FIFO (a microphone) rather than
    // drains it (the output). A reading that is not plausible for a running crystal (the endpoint reports 1.0
    // before its first measurement, whatever its channel count) leaves the balance at 1.0. Either audio thread.
    void NoteMeasuredRate(double rateRatio, uint16_t channelCount, bool deviceProduces);

    // --- Queries, safe from either audio thread. ---
    uint32_t FillSamples() const {
        return (writeIndex.load(std::memory_order_acquire) - readIndex.load(std::memory_order_acquire)) & kMask;
    }
    uint32_t FillFrames() const { return FillSamples() / channels; }
    float SlowFill();
    float Ratio() const { return converter.Ratio(); }         // producer thread only
    double SteeredRatio() const { return steeredRatio; }      // producer thread only
    double Integral() const { return integralFrameSeconds; }  // producer thread only
    double BalanceRatio() const { return balanceRatio.load(std::memory_order_relaxed); }
    uint32_t HostBufferFrames() const { return hostBufferFrames; }
    float SampleRate() const { return sampleRate; }
    uint32_t PeriodFrames() const { return periodFrames; }
    double SteerCoefficient() const { return steerCoefficient; }
    float SlowCoefficient() const { return slowCoefficient; }
    double MinRatio() const { return minRatio; }
    double MaxRatio() const { return maxRatio; }
    bool FadeInPending() const { return fadeInPending; }
    void ClearFadeIn() { fadeInPending = false; }

    // Counts per second of the performance counter the stamps come from (queried on construction).
    void SetCounterFrequency(int64_t countsPerSecond) { counterFrequency = countsPerSecond > 0 ? countsPerSecond : 0; }
    // Whether the steering corrects the fill by the packet phase (on unless a test compares with the plain fill).
    void SetPhaseCorrection(bool on) { phaseCorrection.store(on, std::memory_order_relaxed); }

    // Set by the driver while the FIFO is idle; read by the audio threads.
    CKSDevice* device = nullptr;  // the endpoint feeding or draining this FIFO, null while none
    // The device endpoint's packet counter (its stream thread's reading at the packet now handed over), null while
    // none: the producer's stamp for a microphone, the consumer's time for the output.
    const std::atomic<int64_t>* deviceCounter = nullptr;
    // The endpoint's count of packets its stream thread came too late for, null while none.
    const std::atomic<uint64_t>* deviceOverruns = nullptr;
    uint64_t Overruns() const { return deviceOverruns ? deviceOverruns->load(std::memory_order_relaxed) : 0; }
    uint32_t channels = 1;         // samples per frame: 1 for a microphone, 2 for the output
    CAsioDriver* owner = nullptr;  // the driver embedding this FIFO, handed back to the data callbacks

private:
    void EnterLock();
    void LeaveLock();
    uint32_t FreeSamples() const {
        return kCapacitySamples -
               ((writeIndex.load(std::memory_order_relaxed) - readIndex.load(std::memory_order_acquire)) & kMask);
    }
    // Copies n samples to the ring at *position (masked), advancing it; the caller publishes.
    void WriteRing(const float* src, uint32_t n, uint32_t* position);
    void WriteRingStereo(const float* left, const float* right, uint32_t frames, uint32_t* position);
    void PublishWrite(uint32_t position) { writeIndex.store(position & kMask, std::memory_order_release); }
    void ComputeCoefficients();
    // Under `lock`: the frames the producer owes at nowCounter since its last stamped push (at most maxPushes
    // pushes), less half that push; false when there is nothing to correct by.
    bool OwedFrames(int64_t nowCounter, double maxPushes, float* owedLessHalfPush) const;
    // Under `lock`: the frames owed, uncapped, and the last push's frames; false without a usable stamp.
    bool OwedFrames(int64_t nowCounter, double* owed, double* push) const;
    // Under `lock`: the fill as of the last stamped push plus OwedFrames; false when there is no usable stamp.
    bool StampedFill(int64_t nowCounter, double maxPushes, float* fill) const;
    // Takes `lock`: the stamped fill with at most maxPushes owed, or the plain fill where there is no usable stamp.
    float CorrectedFill(int64_t nowCounter, double maxPushes);
    // Adds the last steering step's fill error times the duration of the input just pushed to the integral.
    void IntegrateSteeringError(uint32_t inputFrames);

    static void ScratchSinkMono(void* context, const float* sample);
    static void ScratchSinkStereo(void* context, const float* left, const float* right);

    // Ratio limits: the single-precision values of 0.99 and 1.01, widened, since the steering compares in double.
    const double minRatio = static_cast<double>(0.99f);
    const double maxRatio = static_cast<double>(1.01f);
    std::atomic<uint32_t> writeIndex{0};  // producer's: next slot to write, always masked
    std::atomic<uint32_t> readIndex{0};   // consumer's: next slot to read, always masked
    float ring[kRingSamples];
    float scratchLeft[kScratchSamples];   // converter output of the current push: mono, or the left channel
    float scratchRight[kScratchSamples];  // the right channel of a stereo push
    SelectableConverter converter;
    uint32_t scratchCount = 0;        // frames collected in scratch by the current pass
    float sampleRate = 48000.0f;      // consumer rate, Hz
    uint32_t periodFrames = 96;       // consumer period: one fill update per period
    uint32_t hostBufferFrames = 288;  // ASIO buffer size, frames
    float slowFill = 0.0f;            // slow average of the fill, frames; under `lock`
    double steerCoefficient = 0.0;    // per-step smoothing of the ratio, about one second long
    // The steering's state, the producer's alone. Kept in double: near 1.0 one smoothing step at high rates and
    // small buffers is below half a float step, so a float state would never move. The converter gets it rounded.
    double steeredRatio = 1.0;
    double integralFrameSeconds = 0.0;  // the fill error integrated over time, frames x seconds
    double pendingErrorFrames = 0.0;    // the error of the last steering step, integrated by the push that follows
    // The feed-forward: the ratio the device's measured rate calls for. Written by whichever stream thread receives
    // the measurement, read by the producer.
    std::atomic<double> balanceRatio{1.0};
    float slowCoefficient = 0.0f;  // per-update smoothing of slowFill, about twenty seconds long
    // The last push's stamp, under `lock`: its counter time, the write index right after it and its frames.
    int64_t stampCounter = 0;
    uint32_t stampWriteIndex = 0;
    uint32_t stampFrames = 0;
    bool stampValid = false;
    int64_t counterFrequency = 0;
    std::atomic<bool> phaseCorrection{true};
    CRITICAL_SECTION lock;
    uint32_t lockDepth = 0;     // goes up after entering, down before leaving: shows a held lock
    bool fadeInPending = true;  // the first read after Reset ramps in from silence
};

// Data callbacks that the endpoints call on their stream threads, one per device period; the context is the
// DeviceFifo. Their shape is the endpoints' data-callback type: (interleaved samples, sample count of all channels,
// channel count, measured rate ratio, context). The measured ratio feeds the steering's feed-forward term.
void OnCaptureData(float* samples, uint32_t count, uint16_t channelCount, double rateRatio, void* context);
void OnRenderData(float* samples, uint32_t count, uint16_t channelCount, double rateRatio, void* context);
// Render stream thread: takes out unplayed the audio of a period the playback device played again.
void OnRenderSkipped(float* samples, uint32_t count, uint16_t channelCount, double rateRatio, void* context);
