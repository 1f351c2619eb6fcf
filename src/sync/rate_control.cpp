// Steering of a FIFO's converter ratio from its slow fill average.
// Audio path: runs on the producer thread before each push. No allocation, no lock but the FIFO's, no printing.
#include <algorithm>

#include "sync/device_fifo.h"

// A proportional law: the ratio that would close the fill error over thirty seconds of samples at the present
// ratio, approached by one exponential smoothing step per call. A FIFO fuller than the target gets fewer output
// samples per input sample, an emptier one more. The steady state therefore keeps a fill error of about thirty
// seconds' worth of the clock offset, which the trim and the underrun handling bound from both sides.
void DeviceFifo::SteerRatio(float targetFrames) {
    EnterLock();
    const float fill = slowFill;
    LeaveLock();

    const double current = static_cast<double>(converter.Ratio());
    const double thirtySeconds = static_cast<double>(sampleRate) * current * 30.0;
    const double error = static_cast<double>(fill - targetFrames);  // difference taken in single precision
    const double wanted = thirtySeconds / (error + thirtySeconds);
    double next = (1.0 - steerCoefficient) * wanted + steerCoefficient * current;
    // std::min(maxRatio, next) yields maxRatio for a NaN too, so no reading can push the ratio out of range.
    if (minRatio > next)
        next = minRatio;
    else
        next = std::min(maxRatio, next);
    converter.SetRatioKeepState(static_cast<float>(next));
}
