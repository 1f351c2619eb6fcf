// The packet phase of a FIFO's fill: what the producer has gathered since its last push but not pushed yet.
// Audio path: StampPush on the producer thread after each push, the rest on the consumer thread. No allocation, no
// lock but the FIFO's, no printing.
//
// A microphone's packet enters the FIFO whole when it completes, so at a tick of the clock the FIFO holds the
// packets completed so far and the device holds the part of the next one captured meanwhile. The time a sample
// waits between its capture and the host's buffer is the sum of the two, not the FIFO's fill alone; and as the
// crystals drift, where the packets fall between the ticks rotates, so the fill alone swings by a packet while the
// latency does not. Steering every FIFO on the sum gives every microphone the same latency, whatever its packets'
// phase. The output FIFO is the same picture mirrored: the clock pushes a host buffer at each tick and the playback
// device's packets take from it.
#include <algorithm>
#include <cmath>

#include "sync/device_fifo.h"

namespace {
// A stamp from further back than this many pushes is no phase any more: the producer has stalled (a device stopped,
// a clock that missed its ticks), and the FIFO's plain fill is all there is to steer by.
constexpr double kStalePushes = 4.0;
// A producer owing more than this many pushes has missed a whole push beyond the one it is gathering (a stream
// thread held up or catching up). Less would take a thread that wakes a little late every time (under an emulator,
// by a millisecond or more) for one that fell behind.
constexpr double kBehindPushes = 2.0;
}  // namespace

void DeviceFifo::StampPush(int64_t counter) {
    const uint32_t position = writeIndex.load(std::memory_order_relaxed);
    EnterLock();
    const uint32_t frames = ((position - stampWriteIndex) & kMask) / channels;
    // A push that wrote nothing (a full ring) moved no audio: the previous stamp still describes the newest sample.
    if (frames > 0 && counter > 0) {
        stampCounter = counter;
        stampWriteIndex = position;
        stampFrames = frames;
        stampValid = true;
    }
    LeaveLock();
}

bool DeviceFifo::OwedFrames(int64_t nowCounter, double* owed, double* push) const {
    if (!stampValid || nowCounter <= 0 || counterFrequency <= 0 || stampFrames == 0 ||
        !phaseCorrection.load(std::memory_order_relaxed))
        return false;
    *push = static_cast<double>(stampFrames);
    // Negative when the consumer's time lies before the stamp (a clock thread making up ticks it was late for, or
    // one that read its time a moment before the producer stamped): the stamped push then holds audio captured
    // after that time, which is no part of the latency at it.
    const double elapsed = static_cast<double>(nowCounter - stampCounter) / static_cast<double>(counterFrequency);
    *owed = elapsed * static_cast<double>(sampleRate);
    return *owed <= kStalePushes * *push;
}

bool DeviceFifo::OwedFrames(int64_t nowCounter, double maxPushes, float* owedLessHalfPush) const {
    double owed = 0.0, push = 0.0;
    if (!OwedFrames(nowCounter, &owed, &push)) return false;
    *owedLessHalfPush = static_cast<float>(std::min(owed, maxPushes * push) - 0.5 * push);
    return true;
}

bool DeviceFifo::ProducerBehind(int64_t nowCounter) {
    double owed = 0.0, push = 0.0;
    EnterLock();
    // A stamp too old to correct the fill by still says the producer is behind: a stream thread held up that long
    // has even more to push when it runs again, and a device that stopped pushes nothing to wait for anyway.
    OwedFrames(nowCounter, &owed, &push);
    const bool behind = push > 0.0 && owed > kBehindPushes * push;
    LeaveLock();
    return behind;
}

bool DeviceFifo::StampedFill(int64_t nowCounter, double maxPushes, float* fill) const {
    float owed = 0.0f;
    if (!OwedFrames(nowCounter, maxPushes, &owed)) return false;
    const uint32_t read = readIndex.load(std::memory_order_relaxed);
    const uint32_t stamped = (stampWriteIndex - read) & kMask;
    // A read past the stamped push (a skip that emptied more than was stamped) leaves no meaningful stamped fill.
    if (stamped > FillSamples()) return false;
    *fill = static_cast<float>(stamped / channels) + owed;
    return true;
}

float DeviceFifo::CorrectedFill(int64_t nowCounter, double maxPushes) {
    EnterLock();
    float fill = static_cast<float>(FillFrames());
    float stamped = 0.0f;
    if (StampedFill(nowCounter, maxPushes, &stamped)) fill = stamped;
    LeaveLock();
    return fill;
}

float DeviceFifo::PhaseCorrectedFill(int64_t nowCounter) { return CorrectedFill(nowCounter, 1.0); }

float DeviceFifo::LatencyFill(int64_t nowCounter) { return CorrectedFill(nowCounter, kBehindPushes); }
