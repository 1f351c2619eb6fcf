// What a virtual microphone hears: a sine of its own frequency and level, an impulse train, a ramp or silence,
// as a pure function of the frame index (frames counted by the device's crystal), so that the sound goes on in
// time whether or not anyone records it.
#pragma once

#include <cstdint>

namespace sim::devices {

class Signal {
public:
    enum class Kind { Silence, Sine, Impulses, Ramp };

    static Signal Silence() { return Signal(Kind::Silence, 0, 0); }
    static Signal Sine(double frequencyHz, double level) { return Signal(Kind::Sine, frequencyHz, level); }
    // One sample of `level` every `periodFrames` frames, zero in between.
    static Signal Impulses(int64_t periodFrames, double level) {
        return Signal(Kind::Impulses, static_cast<double>(periodFrames), level);
    }
    // Frame n carries (n mod kRampPeriod) / kRampPeriod: consecutive samples differ by exactly one step (an
    // exact value in every sample format of 16 bits or more), so a lost or repeated sample shows.
    static Signal Ramp() { return Signal(Kind::Ramp, 0, 0); }

    static constexpr int64_t kRampPeriod = 32768;
    // The ramp position a received sample stands for.
    static int64_t RampStep(float sample);

    Kind kind() const { return kind_; }
    // The value at crystal frame `frame` of a stream at `rate`, in full scale ±1.
    double At(int64_t frame, double rate) const;

private:
    Signal(Kind kind, double parameter, double level) : kind_(kind), parameter_(parameter), level_(level) {}
    Kind kind_;
    double parameter_;
    double level_;
};

}  // namespace sim::devices
