// Reading the virtual devices' streams as the device layer does, shared by the device tests: the filters
// enumerated with their pins, a mapped WaveRT capture stream, and a reader that copies its packets.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "ks/ks_enum_filters.h"
#include "sim/devices/scripted_kernel.h"
#include "sim/devices/world.h"

namespace devicetest {

constexpr GUID kCapture[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};
constexpr GUID kRender[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
constexpr int64_t kRampPeriod = sim::devices::Signal::kRampPeriod;

inline HRESULT Enumerate(CKsEnumFilters& filters, bool capture) {
    return filters.EnumFilters(capture ? CKsFilter::eCapture : CKsFilter::eRender, capture ? kCapture : kRender, 2,
                               TRUE, FALSE, TRUE);
}

// The first filter of the world.
template <class Filter>
Filter* FirstFilter(CKsEnumFilters& filters, bool capture) {
    if (Enumerate(filters, capture) != S_OK || filters.m_listFilters.empty()) return nullptr;
    return static_cast<Filter*>(filters.m_listFilters[0]);
}

// A microphone that captures the ramp, which the readers below check.
inline sim::devices::MicrophoneConfig RampMicrophone() {
    sim::devices::MicrophoneConfig config;
    config.signal = sim::devices::Signal::Ramp();
    return config;
}

// The world's first microphone as a WaveRT mono 24-in-32 stream at 48 kHz with two packets of 480 frames, opened
// and mapped; Start runs it.
struct RunningCapture {
    HRESULT hr = S_OK;
    CKsEnumFilters filters{hr};
    CKsAudPin* pin = nullptr;
    BYTE* buffer = nullptr;
    ULONG bytes = 0;
    RunningCapture() {
        auto* filter = FirstFilter<CKsAudCapFilter>(filters, true);
        auto format = kstest::Extensible(1, 48000, 32, 24);
        if (filter) pin = filter->CreateCapturePin(&format.Format, 1, 0);
        void* mapped = nullptr;
        if (!pin || pin->AllocateBuffersWithNotification(2 * 480 * 4, mapped, bytes) != S_OK) return;
        buffer = static_cast<BYTE*>(mapped);
    }
    void Start() {
        ASSERT_NE(buffer, nullptr);
        ASSERT_EQ(pin->_SetState(KSSTATE_RUN), S_OK);
    }
};

// A packet as the reader copied it: its number (1 for the first of the stream) and the ramp position of each
// frame.
struct Packet {
    ULONG number;
    std::vector<int64_t> steps;
};

// How the reader reads: `older` also takes the packet before the newest; `floats` decodes the samples as floats
// rather than 24-in-32 integers; `seconds`, when given, receives the counter's time just after each wake's number.
struct ReadOptions {
    bool older = false;
    bool floats = false;
    std::vector<double>* seconds = nullptr;
};

// Reads as the driver's stream thread does: at each notification, the newest packet (and the one before it, if
// asked). A packet overwritten while it was copied, because the reader fell behind, is dropped rather than
// checked. `counts` receives the packet number seen at each wake, from the read-packet property.
inline std::vector<Packet> ReadPackets(const RunningCapture& stream, ULONG packetFrames, int wakes,
                                       std::vector<ULONG>& counts, ReadOptions options = {}) {
    std::vector<Packet> packets;
    auto copy = [&](ULONG number) {
        const BYTE* slot = stream.buffer + ((number - 1) % 2) * packetFrames * 4;
        Packet packet{number, std::vector<int64_t>(packetFrames)};
        for (ULONG i = 0; i < packetFrames; ++i) {
            float sample;
            int32_t value;
            std::memcpy(&value, slot + 4 * i, 4);
            std::memcpy(&sample, slot + 4 * i, 4);
            packet.steps[i] =
                sim::devices::Signal::RampStep(options.floats ? sample : static_cast<float>(value / 2147483648.0));
        }
        return packet;
    };
    for (int wake = 0; wake < wakes; ++wake) {
        if (WaitForSingleObject(stream.pin->m_hNotificationEvent, 2000) != WAIT_OBJECT_0) break;
        ULONG count = 0, after = 0;
        if (FAILED(stream.pin->GetReadPacket(count))) continue;
        counts.push_back(count);
        if (options.seconds) {
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            options.seconds->push_back(static_cast<double>(now.QuadPart) / 1e7);
        }
        Packet newest = copy(count);
        std::optional<Packet> previous;
        if (options.older && count >= 2) previous = copy(count - 1);
        stream.pin->GetReadPacket(after);
        // The newest packet's slot is reused by packet count + 2, the previous one's by count + 1.
        if (previous && after == count) packets.push_back(*previous);
        if (after < count + 2) packets.push_back(std::move(newest));
    }
    return packets;
}

// Each packet holds the ramp unbroken, and where it begins is fixed by its number: packet n starts n - 1 packets
// after packet 1, so no frame of the sound was lost or repeated however late the packets came.
inline void ExpectRampLockedToPacketNumbers(const std::vector<Packet>& packets, ULONG packetFrames) {
    ASSERT_FALSE(packets.empty());
    const int64_t origin = packets[0].steps[0] - int64_t{packets[0].number - 1} * packetFrames;
    for (const Packet& packet : packets) {
        int64_t first =
            ((origin + int64_t{packet.number - 1} * packetFrames) % kRampPeriod + kRampPeriod) % kRampPeriod;
        for (ULONG i = 0; i < packetFrames; ++i)
            ASSERT_EQ(packet.steps[i], (first + i) % kRampPeriod) << "packet " << packet.number << " frame " << i;
    }
}

}  // namespace devicetest
