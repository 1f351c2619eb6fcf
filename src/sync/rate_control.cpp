// Steering of a FIFO's converter ratio from the device's measured rate and the FIFO's slow fill average.
// Audio path: runs on the producer thread before each push (NoteMeasuredRate on either stream thread). No
// allocation, no lock but the FIFO's, no printing.
#include <algorithm>
#include <cmath>

#include "sync/device_fifo.h"

namespace {

// Integral gain, per second squared. With the twenty-second fill average and the thirty-second proportional term
// it places the loop's poles near 0.005 Hz with a damping of about one half: slow enough that the beat of the
// device's packets against the consumer's periods barely moves the ratio, fast enough to absorb the error of the
// endpoint's first rate measurement within minutes.
constexpr double kIntegralGain = 4e-4;
// The integral alone may move the ratio across the converter's whole range, no further: a fill that cannot be
// corrected (a stalled device) must not wind it up for minutes after it recovers.
constexpr double kIntegralRatioLimit = 0.01;
// A measured rate further than this from nominal is no crystal: the endpoint's first reading of 1.0 for a stereo
// device, or a device that answers nonsense. The steering then runs without feed-forward.
constexpr double kPlausibleBalanceOffset = 0.002;

}  // namespace

void DeviceFifo::NoteMeasuredRate(double rateRatio, uint16_t channelCount, bool deviceProduces) {
    double balance = 1.0;
    if (channelCount > 0 && rateRatio > 0.0) {
        // The endpoint counts the samples of all channels: a stereo device at its nominal rate reads 2.0.
        const double deviceFramesPerNominalFrame = rateRatio / channelCount;
        // A microphone that runs fast needs fewer output samples per input sample; a fast playback device needs
        // more pushed into its FIFO per host frame.
        const double candidate = deviceProduces ? 1.0 / deviceFramesPerNominalFrame : deviceFramesPerNominalFrame;
        if (std::fabs(candidate - 1.0) <= kPlausibleBalanceOffset) balance = candidate;  // false for a NaN
    }
    balanceRatio.store(balance, std::memory_order_relaxed);
}

// The ratio aimed at has three parts:
//   - the balance ratio from the device's measured rate, which alone would hold the fill where it is;
//   - a proportional correction that would close the fill error over thirty seconds of samples at the present
//     ratio, applied as a factor K / (e + K) so that it can never reach zero or change sign;
//   - the integral of the fill error, which removes what the other two leave: the error of the rate measurement
//     and, before the first measurement, the whole clock offset. Without it a proportional law settles thirty
//     seconds' worth of the offset away from the target, a buffer or more at small buffers and high rates.
// One exponential smoothing step per call then moves the ratio towards that aim. With a balance of exactly 1.0 and
// an empty integral this is the plain proportional law, step for step.
void DeviceFifo::SteerRatio(float targetFrames) {
    EnterLock();
    const float fill = slowFill;
    LeaveLock();

    const double rate = static_cast<double>(sampleRate);
    const double current = steeredRatio;
    const double thirtySeconds = rate * current * 30.0;
    const double error = static_cast<double>(fill - targetFrames);  // difference taken in single precision
    const double proportional = balanceRatio.load(std::memory_order_relaxed) * thirtySeconds / (error + thirtySeconds);
    const double integral = rate > 0.0 ? kIntegralGain / rate * integralFrameSeconds : 0.0;
    double next = (1.0 - steerCoefficient) * (proportional - integral) + steerCoefficient * current;
    // std::min(maxRatio, next) yields maxRatio for a NaN too, so no reading can push the ratio out of range.
    if (minRatio > next)
        next = minRatio;
    else
        next = std::min(maxRatio, next);
    steeredRatio = next;
    converter.SetRatioKeepState(static_cast<float>(next));
    // A ratio held at a limit cannot answer the error any further: integrating it there would only wind the
    // integral up (a stalled playback device fills its FIFO for as long as it stalls) and hold the ratio at the
    // limit long after the device recovers.
    const bool pinned = (next >= maxRatio && error < 0.0) || (next <= minRatio && error > 0.0);
    pendingErrorFrames = std::isfinite(error) && !pinned ? error : 0.0;
}

// The integral advances by the time the pushed input covers, so that it means the same whatever the producer's
// period: a microphone's packet, or the frames of one host buffer pushed to the output.
void DeviceFifo::IntegrateSteeringError(uint32_t inputFrames) {
    const double rate = static_cast<double>(sampleRate);
    if (rate > 0.0) {
        const double limit = kIntegralRatioLimit * rate / kIntegralGain;
        integralFrameSeconds = std::clamp(
            integralFrameSeconds + pendingErrorFrames * static_cast<double>(inputFrames) / rate, -limit, limit);
    }
    pendingErrorFrames = 0.0;
}
