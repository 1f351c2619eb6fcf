// Shared pieces of the endpoint tests: a world of virtual devices with COM joined and a data callback that checks a
// ramp as it arrives.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "device/capture_endpoint.h"
#include "device/device_manager.h"
#include "device/render_endpoint.h"
#include "sim/devices/world.h"
#include "tests/support/wait_for.h"

namespace endpointtest {

inline const std::vector<std::string> kMatchStrings = {"usb#vid_5e2d&pid_0101", "usb#vid_5e2d&pid_0102"};

// COM for the calling thread, as the driver's host thread has it.
struct ComJoined {
    ComJoined() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComJoined() { CoUninitialize(); }
};

using testwait::WaitFor;

// Receives a mono ramp (sim::devices::Signal::Ramp) and checks it packet by packet: inside a packet every sample
// must be the step after the one before it; between packets a jump is counted (a packet lost to a late wake). A
// packet of pure silence stands in for one the device wrote over: the ramp must go on after it as if it had been
// heard.
struct RampCollector {
    std::mutex lock;
    uint64_t packets = 0;
    uint64_t samples = 0;
    uint64_t badPackets = 0;  // a packet whose samples are not consecutive ramp steps
    uint64_t jumps = 0;       // packets that do not continue the previous one
    int64_t last = -1;
    uint32_t lastCount = 0;
    uint16_t lastChannels = 0;
    double lastRatio = 0;
    float worstValue = 0;  // the sample of largest magnitude (a misread coding shows here)
    // Ramp steps per unit of full scale as the samples arrive: 32768, except that 16-bit samples decode with the
    // factor 1/32767, so that one step is 1/32767 of full scale there.
    double stepsPerUnit = sim::devices::Signal::kRampPeriod;
    // The callback holds its stream thread up this long once, at this packet (0: never): a thread the machine ran
    // late.
    uint64_t holdAtPacket = 0;
    std::chrono::milliseconds hold{0};
    // Called this far into that hold, when set.
    std::chrono::milliseconds duringHoldAt{0};
    std::function<void()> duringHold;
    // And this long at the first packet of silence.
    std::chrono::milliseconds holdOnFirstSilence{0};
    uint64_t silentPackets = 0;
    // When set, the stamp each packet was handed over with (the endpoint's packetCounter), and the ramp's step at
    // the packet's first sample, counted on from the first packet's: where the device sampled it.
    const std::atomic<int64_t>* stampSource = nullptr;
    std::vector<int64_t> stamps;
    std::vector<int64_t> places;
    int64_t place = 0;

    static void Callback(float* data, uint32_t count, uint16_t channels, double ratio, void* context) {
        auto* self = static_cast<RampCollector*>(context);
        const uint64_t silent = self->silentPackets;
        Check(self, data, count, channels, ratio);
        if (self->holdAtPacket != 0 && self->Packets() == self->holdAtPacket) {
            auto rest = self->hold;
            if (self->duringHold) {
                std::this_thread::sleep_for(self->duringHoldAt);
                self->duringHold();
                rest -= self->duringHoldAt;
            }
            std::this_thread::sleep_for(rest);
        }
        if (silent == 0 && self->silentPackets == 1) std::this_thread::sleep_for(self->holdOnFirstSilence);
    }
    static void Check(RampCollector* self, float* data, uint32_t count, uint16_t channels, double ratio) {
        std::lock_guard<std::mutex> hold(self->lock);
        ++self->packets;
        self->samples += count;
        self->lastCount = count;
        self->lastChannels = channels;
        self->lastRatio = ratio;
        const auto period = static_cast<int64_t>(sim::devices::Signal::kRampPeriod);
        const bool silent = count > 0 && std::all_of(data, data + count, [](float x) { return x == 0.0f; });
        if (self->stampSource) {
            self->stamps.push_back(self->stampSource->load());
            if (self->last >= 0 && count > 0 && !silent) {
                const int64_t first = std::llround(static_cast<double>(data[0]) * self->stepsPerUnit);
                self->place += (((first - self->last - 1) % period) + period) % period;
            }
            self->places.push_back(self->place);
            self->place += count;
        }
        if (silent) {
            ++self->silentPackets;
            if (self->last >= 0) self->last = (self->last + count) % period;
            return;
        }
        bool good = true;
        for (uint32_t i = 0; i < count; ++i) {
            if (!std::isfinite(data[i]) || std::fabs(data[i]) > 1.0f) good = false;
            if (std::fabs(data[i]) > std::fabs(self->worstValue) || !std::isfinite(data[i])) self->worstValue = data[i];
            const double scaled = static_cast<double>(data[i]) * self->stepsPerUnit;
            const int64_t step = std::llround(scaled) % sim::devices::Signal::kRampPeriod;
            // A ramp sample decodes to within a fraction of a step of a whole step.
            if (std::fabs(scaled - std::round(scaled)) > 0.25) good = false;
            if (i > 0 && step != (self->last + 1) % sim::devices::Signal::kRampPeriod) good = false;
            if (i == 0 && self->last >= 0 && step != (self->last + 1) % sim::devices::Signal::kRampPeriod)
                ++self->jumps;
            self->last = step;
        }
        if (!good) ++self->badPackets;
    }
    uint64_t Packets() {
        std::lock_guard<std::mutex> hold(lock);
        return packets;
    }
    uint64_t BadPackets() {
        std::lock_guard<std::mutex> hold(lock);
        return badPackets;
    }
};

}  // namespace endpointtest
