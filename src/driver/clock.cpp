// The driver's master clock: a thread timed by the performance counter that ticks once per ASIO buffer, moving
// one buffer per microphone from the FIFOs to the host and the host's outputs to the output FIFO, then calling
// the host's buffer switch.
//
// Threads: start, stop, StartClock, StopClock and getSamplePosition run on the host's thread; everything from
// ClockThreadProc down runs on the clock thread. The host's thread changes buffers, sizes and devices only while
// the clock thread is stopped. The exceptions are the position and time stamp, which getSamplePosition may read
// at any time (through atomic views, so a read never tears a value but may pair two ticks), and `started`,
// which start sets while the first ticks already run.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>

#include "driver/asio_driver.h"
#include "driver/clock_wait.h"
#include "ui/control_panel.h"

namespace {

// Waits and limits of the clock thread.
constexpr uint32_t kStartupTicks = 2;  // start returns once the host has had two buffer switches
constexpr DWORD kStartupWaitMs = 1000;
constexpr DWORD kStartupPollMs = 10;
constexpr DWORD kClockEndWaitMs = 10000;
constexpr DWORD kIdlePollMs = 100;  // no microphone: nothing to time, just wait for the end
constexpr DWORD kTerminatedExitCode = 0xC0000194;
constexpr int64_t kLatePeriods = 4;  // this late, missed ticks are dropped instead of made up

constexpr double kTwoTo32 = 4294967296.0;

// Integer variant: clamp to full scale, scale by 2^31, truncate toward zero, saturate +1.0 at the largest value.
// A NaN, which has no integer value, becomes silence.
int32_t FloatToInt32(float sample) {
    if (sample != sample) return 0;
    const double clamped = std::clamp(static_cast<double>(sample), -1.0, 1.0) * 2147483648.0;
    return clamped >= 2147483647.0 ? 2147483647 : static_cast<int32_t>(clamped);
}

constexpr float kInt32ToFloat = 1.0f / 2147483648.0f;  // 2^-31, exact

template <class T>
std::atomic_ref<T> Shared(T& field) {
    return std::atomic_ref<T>(field);
}

// What a clock thread knows of itself: whose clock it is, and whether that driver let it go from inside a host
// callback. Once let go, the thread touches nothing of the driver (which may already be destroyed) and ends as
// soon as the callback returns.
struct ClockThreadState {
    const CAsioDriver* driver = nullptr;
    bool released = false;
};
thread_local ClockThreadState clockThreadState;

}  // namespace

bool CAsioDriver::OnOwnClockThread() const { return clockThreadState.driver == this && !clockThreadState.released; }

ASIOError CAsioDriver::start() {
    if (!callbacks) return ASE_NotPresent;
    // A second start stops the running clock before the position is reset, so that no tick of the old run
    // can land on the fresh position.
    if (clockRunning) StopClock();
    Shared(started).store(false);
    Shared(samplePosition).store(0.0);
    Shared(systemTimeHi).store(0u);
    Shared(systemTimeLo).store(0u);
    bufferIndex = 0;
    if (!StartClock()) return ASE_HWMalfunction;
    // A host may stop (or dispose) from inside one of the first switches, before start has returned: then it
    // stays stopped. Marked first and checked after, so a stop landing in between still has the last word.
    Shared(started).store(true);
    if (!clockRunning) {
        Shared(started).store(false);
        return ASE_OK;
    }
    if (autoOpenPanel) OpenControlPanel(*this, true);
    return ASE_OK;
}

ASIOError CAsioDriver::stop() {
    ClosePanel(*this);
    // The clock also runs while start still waits for the first switches, before `started` is set.
    if (Shared(started).load() || clockRunning) StopClock();
    Shared(started).store(false);
    return ASE_OK;
}

bool CAsioDriver::StartClock() {
    if (clockRunning) StopClock();
    clockRunning = true;
    tickCount = 0;
    clockExit = false;
    dropOutCount = 0;
    lateSkipCount = 0;
    latencyFrames = 0;
    if (clockThread == INVALID_HANDLE_VALUE) {
        // Created suspended: a host that stops from inside the very first switch makes the clock thread close
        // its own handle, which must be in place before that thread runs.
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, &CAsioDriver::ClockThreadProc, this, CREATE_SUSPENDED, &id);
        if (!thread) {
            clockRunning = false;
            return false;
        }
        clockThread = thread;
        clockThreadId = id;
        ResumeThread(thread);
    }
    const DWORD begin = timeGetTime();
    // A stop from inside one of those switches ends the wait too: the clock did start, and was stopped.
    while (clockRunning && tickCount < kStartupTicks && timeGetTime() - begin < kStartupWaitMs) Sleep(kStartupPollMs);
    if (!clockRunning) return true;
    // The inputs are silent while a microphone needs new firmware; the user is told while the clock runs.
    if (firmwareUpdateRequired) ShowFirmwareNotice(*this);
    if (tickCount >= kStartupTicks) return true;
    StopClock();
    return false;
}

void CAsioDriver::StopClock() {
    clockExit = true;
    if (OnOwnClockThread()) {
        // Called from inside the host's callback (hosts stop, dispose or release on an error path there): the
        // thread cannot wait for itself. It stops the endpoints as it would on its way out, lets go of the
        // driver, and ends once the callback returns.
        StopEndpoints();
        clockThreadState.released = true;
        CloseHandle(clockThread);
        clockThread = INVALID_HANDLE_VALUE;
        clockThreadId = 0;
        clockRunning = false;
        return;
    }
    if (clockThread != INVALID_HANDLE_VALUE) {
        if (WaitForSingleObject(clockThread, kClockEndWaitMs) == WAIT_TIMEOUT)
            TerminateThread(clockThread, kTerminatedExitCode);
        CloseHandle(clockThread);
        clockThread = INVALID_HANDLE_VALUE;
        clockThreadId = 0;
    }
    clockRunning = false;
}

ASIOError CAsioDriver::getSamplePosition(ASIOSamples* position, ASIOTimeStamp* timeStamp) {
    if (!position || !timeStamp) return ASE_InvalidParameter;
    timeStamp->hi = Shared(systemTimeHi).load(std::memory_order_relaxed);
    timeStamp->lo = Shared(systemTimeLo).load(std::memory_order_relaxed);
    const double frames = Shared(samplePosition).load(std::memory_order_relaxed);
    if (frames < kTwoTo32) {
        position->hi = 0;
        position->lo = static_cast<uint32_t>(frames);
    } else {
        position->hi = static_cast<uint32_t>(frames / kTwoTo32);
        position->lo = static_cast<uint32_t>(frames - position->hi * kTwoTo32);
    }
    return ASE_OK;
}

// The host's early output signal is not taken: outputs are collected at the next tick.
ASIOError CAsioDriver::outputReady() { return ASE_NotPresent; }

// Clock thread from here on. The tick path allocates nothing, takes no lock but the FIFOs' own, prints nothing.

DWORD WINAPI CAsioDriver::ClockThreadProc(LPVOID argument) {
    CAsioDriver* driver = static_cast<CAsioDriver*>(argument);
    clockThreadState = ClockThreadState{driver, false};
    const bool leaveApartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) != RPC_E_CHANGED_MODE;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    HANDLE mmcss = nullptr;
    if (driver->avSetMmThreadCharacteristics) {
        DWORD taskIndex = 0;
        mmcss = driver->avSetMmThreadCharacteristics("Pro Audio", &taskIndex);
    }
    driver->ClockLoop();
    // A thread let go from inside a callback leaves the task to end with it: the driver, and the function
    // pointer it holds, may be gone.
    if (!clockThreadState.released && mmcss && driver->avRevertMmThreadCharacteristics)
        driver->avRevertMmThreadCharacteristics(mmcss);
    if (leaveApartment) CoUninitialize();
    return 0;
}

void CAsioDriver::ClockLoop() {
    // Without a first microphone there is nothing to pace the host by: idle until told to end.
    if (!inputFifos[0].device) {
        while (!clockExit) Sleep(kIdlePollMs);
        return;
    }
    StartEndpoints();
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    const int64_t rate = std::max<int64_t>(1, static_cast<int64_t>(sampleRate));
    const int64_t period = std::max<int64_t>(1, static_cast<int64_t>(bufferSize) * frequency.QuadPart / rate);
    int64_t last = counter.QuadPart;
    ClockWait wait;
    wait.Open(frequency.QuadPart, period);
    for (;;) {
        QueryPerformanceCounter(&counter);
        const int64_t elapsed = counter.QuadPart - last;
        if (elapsed >= kLatePeriods * period) {
            last = counter.QuadPart;
            GiveUpMissedTicks(last);
        } else if (elapsed >= period) {
            // The tick's due time, not when this thread got to run: hosts place the buffers on the schedule of
            // sample positions, so that is what each microphone's latency is kept constant against.
            tickCounter = last + period;
            if (!Tick()) return;  // the host let go of the driver from inside its callback
            last += period;
        } else {
            wait.Wait(period - elapsed);
        }
        if (clockExit) {
            StopEndpoints();
            break;
        }
    }
}

// The audio of the buffers the host never got is still queued in every microphone's FIFO, and the output FIFO has
// run dry. Left so, every microphone would run that much later than reported until the steering took it back over
// minutes, and by a different amount each (a FIFO that piled up seven buffers is trimmed to a plain three, one
// just short of that keeps all of it): microphones milliseconds apart. The output would play its next buffers
// piecemeal as they came, a stretch of crackle at a fraction of its latency. So every microphone resumes from its
// steered fill, dropping the audio of the missed buffers as after any drop-out, and silence stands in on the
// output for the buffers the host never wrote, up to the fill it is steered to.
void CAsioDriver::GiveUpMissedTicks(int64_t now) {
    ++lateSkipCount;
    ++dropOutCount;
    for (int32_t i = 0; i < numInputs; ++i)
        if (inputFifos[i].device && !inputFifos[i].FadeInPending()) resuming[i] = true;
    if (!outputFifo.device || outputFifo.FadeInPending()) return;
    const uint32_t step = decimationFactor > 1 ? decimationFactor : 1;
    const uint32_t pushed = static_cast<uint32_t>(bufferSize) / step;
    const uint32_t target = RenderFillTargetFrames(pushed);
    for (float* channel : outputScratch) std::fill(channel, channel + pushed, 0.0f);
    for (uint32_t fill = outputFifo.FillFrames(); pushed > 0 && fill < target; fill += pushed)
        outputFifo.PushPlanarStereo(outputScratch[0], outputScratch[1], std::min(pushed, target - fill));
    outputFifo.StampPush(now);
}

// One buffer's work: the inputs into this tick's half, the outputs out of it, the host's buffer switch.
bool CAsioDriver::Tick() {
    const uint32_t frames = static_cast<uint32_t>(bufferSize);
    const uint32_t offset = frames * bufferIndex;
    GatherInputs(frames, offset);
    ScatterOutputs(frames, offset);
    SwitchBuffers();
    // A last Release from inside the callback has destroyed the driver: touch nothing of it any more.
    if (clockThreadState.released) return false;
    ++tickCount;
    return true;
}

void CAsioDriver::GatherInputs(uint32_t frames, uint32_t offset) {
    bool readThisTick[kMaxInputs] = {};
    bool trimmed[kMaxInputs] = {};
    bool dropOut = false;
    for (int32_t i = 0; i < numInputs; ++i) {
        DeviceFifo& fifo = inputFifos[i];
        trimmed[i] = fifo.Trim(frames, nullptr, tickCounter) && !fifo.FadeInPending() && !resuming[i];
        // The trim keeps a plain three buffers, which puts this microphone up to a packet off its place among the
        // others: the stream resumes from the fill it is steered to, as after any drop-out.
        if (trimmed[i]) resuming[i] = true;
    }

    for (int32_t k = 0; k < numActiveInputs; ++k) {
        const int32_t channel = inputChannelMap[k];
        int32_t* half = inputBuffers[k] + offset;
        // A channel the last reopen no longer has (fewer microphones) is silent, not its last audio replayed.
        if (channel < 0 || channel >= numInputs) {
            std::memset(half, 0, frames * sizeof(int32_t));
            continue;
        }
        DeviceFifo& fifo = inputFifos[channel];
        readThisTick[channel] = true;
        if (firmwareUpdateRequired || !fifo.device) {
            std::memset(half, 0, frames * sizeof(int32_t));
            continue;
        }
        const bool wasFlowing = !fifo.FadeInPending() && !resuming[channel];
        if (!wasFlowing && !PrimeInput(fifo, frames)) {
            std::memset(half, 0, frames * sizeof(int32_t));
            continue;
        }
        resuming[channel] = false;
        if (!fifo.ReadBuffer(inputScratch, frames)) {
            // Less than one buffer: the host gets silence, and the stream resumes as primed.
            std::memset(half, 0, frames * sizeof(int32_t));
            dropOut = dropOut || wasFlowing;
            if (!fifo.FadeInPending()) resuming[channel] = true;
            continue;
        }
        if (isFloat)
            for (uint32_t s = 0; s < frames; ++s) half[s] = std::bit_cast<int32_t>(inputScratch[s]);
        else
            for (uint32_t s = 0; s < frames; ++s) half[s] = FloatToInt32(inputScratch[s]);
    }

    // A microphone no host channel reads drains at the host's pace, so it is fresh when a channel picks it up.
    uint64_t fillSum = 0;
    uint32_t attached = 0;
    for (int32_t i = 0; i < numInputs; ++i) {
        DeviceFifo& fifo = inputFifos[i];
        if (!fifo.device) continue;
        if (!readThisTick[i]) fifo.DiscardBuffer(frames);
        // Audio the device wrote over before its stream thread could take it reached the FIFO as silence (a
        // stream that stalled: not at all): a drop-out in a stream the host is recording.
        const uint64_t overruns = fifo.Overruns();
        dropOut = dropOut || (readThisTick[i] && !fifo.FadeInPending() && !resuming[i] && overruns != overrunsSeen[i]);
        overrunsSeen[i] = overruns;
        dropOut = dropOut || trimmed[i];
        fillSum += fifo.FillFrames();
        ++attached;
    }
    if (dropOut) ++dropOutCount;
    // What a host really waits: the audio still queued behind the buffer it receives, plus that buffer.
    if (attached) latencyFrames = static_cast<uint32_t>(fillSum / attached) + frames;
}

// A microphone's first buffer after a reset, and its first after a drop-out, is read only once its FIFO holds the
// fill it is steered to, and from exactly that fill: the stream then runs with the latency getLatencies reports and
// its full margin against jitter. The fill aimed at is corrected by where this microphone's packets fall against
// the tick, so that every microphone runs at the same latency rather than up to a packet apart.
//
// After a drop-out that matters twice over. Audio that comes late (a stream thread or a device held up past the
// ticks its margin covers, its backlog arriving at once or a packet at a time as the thread catches up) belongs to
// buffers the host already got as silence; read as it comes, it would put this microphone a buffer or more behind
// the host's timeline and the other microphones, a comb filter on a source two of them hear, for the minutes the
// steering takes to bring it back. Audio really lost (a stream that stalled past the few packets its endpoint fills
// in with silence) would put it ahead as much, and with too little margin left to ride out the next hiccup. Waiting
// for the steered fill and dropping what lies above it keeps it at its place in both cases, at the price of a
// silence a few buffers longer in a stream already broken there. Audio a stream thread running behind has captured
// but not yet pushed counts towards the latency: the fill alone would put the stream late by it.
bool CAsioDriver::PrimeInput(DeviceFifo& fifo, uint32_t frames) {
    // A stream thread far behind has audio of this moment yet to push, more than can be told from its stamps.
    if (fifo.ProducerBehind(tickCounter)) return false;
    const float target = static_cast<float>(CaptureFillTargetFrames(frames));
    const float fill = fifo.LatencyFill(tickCounter);
    if (fill < target) return false;
    const uint32_t excess = static_cast<uint32_t>(std::lround(fill - target));
    // Audio captured but not yet pushed counts towards the latency, but a buffer must be there to read now.
    if (fifo.FillFrames() < excess + frames) return false;
    // Skipped even when nothing is in excess: a skip also restarts the slow fill average the steering reads. That
    // average has followed the fill while the stream gathered (its first packets, or again after a drop-out), a
    // buffer or more below the primed fill; kept, it would take its twenty seconds to forget them, and the
    // steering would stretch this microphone's audio all the while, moving it hundreds of frames later than the
    // others. A FIFO that reaches its target exactly, as one whose packet is due but not yet pushed does, primes
    // with nothing to skip.
    // It starts again from the fill just primed, not from the next reading alone: that one is often taken while
    // the stream thread still catches up after the drop-out, and reads up to a packet short; the average would
    // hold it for its first seconds, and the steering move this microphone tens of frames away from the others.
    fifo.Skip(excess, target);
    return true;
}

void CAsioDriver::ScatterOutputs(uint32_t frames, uint32_t offset) {
    if (!outputFifo.device) return;
    // A packet the playback device played again, its render thread too late to fill it, is a drop-out too.
    const uint64_t overruns = outputFifo.Overruns();
    if (overruns != outputOverrunsSeen && !outputFifo.FadeInPending()) ++dropOutCount;
    outputOverrunsSeen = overruns;
    const uint32_t step = decimationFactor > 1 ? decimationFactor : 1;
    const uint32_t pushed = frames / step;
    // An output the host did not activate reads the driver's silence source.
    const int32_t* half[kNumOutputs] = {silence, silence};
    const int32_t entries = std::min(numActiveOutputs, static_cast<int32_t>(kNumOutputs));
    for (int32_t k = 0; k < std::min(entries, numOutputs); ++k) {
        const int32_t channel = outputChannelMap[k];
        if (channel >= 0 && channel < kNumOutputs) half[channel] = outputBuffers[k] + offset;
    }
    for (int channel = 0; channel < kNumOutputs; ++channel) {
        const int32_t* from = half[channel];
        float* converted = outputScratch[channel];
        // Decimation keeps every step-th sample, without filtering: the playback device runs at a whole
        // fraction of the driver's rate.
        if (isFloat)
            for (uint32_t j = 0; j < pushed; ++j) converted[j] = std::bit_cast<float>(from[j * step]);
        else
            for (uint32_t j = 0; j < pushed; ++j) converted[j] = static_cast<float>(from[j * step]) * kInt32ToFloat;
    }
    outputFifo.SteerRatio(3.5f * static_cast<float>(pushed));
    outputFifo.PushConvertedStereo(outputScratch[0], outputScratch[1], pushed);
    outputFifo.StampPush(tickCounter);
}

void CAsioDriver::SwitchBuffers() {
    if (!callbacks) return;
    const double nanoseconds = static_cast<double>(timeGetTime()) * 1000000.0;
    const uint32_t hi = static_cast<uint32_t>(nanoseconds / kTwoTo32);
    Shared(systemTimeHi).store(hi, std::memory_order_relaxed);
    Shared(systemTimeLo).store(static_cast<uint32_t>(nanoseconds - hi * kTwoTo32), std::memory_order_relaxed);
    if (Shared(started).load()) Shared(samplePosition).store(samplePosition + bufferSize, std::memory_order_relaxed);

    if (timeInfoMode && callbacks->bufferSwitchTimeInfo) {
        asioTime.timeInfo.flags |= pendingTimeFlags.exchange(0);
        getSamplePosition(&asioTime.timeInfo.samplePosition, &asioTime.timeInfo.systemTime);
        callbacks->bufferSwitchTimeInfo(&asioTime, static_cast<int32_t>(bufferIndex), ASIOTrue);
        if (clockThreadState.released) return;
        // The changes have been announced once.
        asioTime.timeInfo.flags &= ~static_cast<uint32_t>(kSampleRateChanged | kClockSourceChanged);
    } else if (callbacks->bufferSwitch) {
        callbacks->bufferSwitch(static_cast<int32_t>(bufferIndex), ASIOTrue);
        if (clockThreadState.released) return;
    }
    bufferIndex = 1 - bufferIndex;
}
