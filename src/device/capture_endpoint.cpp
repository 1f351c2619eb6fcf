// The capture endpoint: packets, start with the float switch, packet selection and decoding.
#include "device/capture_endpoint.h"

#include <cmath>
#include <cstring>
#include <new>

#include "device/sample_convert.h"
#include "hid/float_format.h"

CInputCaptureKS::CInputCaptureKS(CKsAudPin* openPin, DataCallback callback, void* context)
    : CKSDevice(openPin, callback, context) {}

CInputCaptureKS::~CInputCaptureKS() {
    WaitForHandshake();
    EndStreamThread();
    Stop();
    FreeBuffers();
}

void CInputCaptureKS::WaitForHandshake() {
    if (!handshakeThread) return;
    // Bounded: the exchange ends within its reply window plus one transfer limit.
    WaitForSingleObject(handshakeThread, INFINITE);
    CloseHandle(handshakeThread);
    handshakeThread = nullptr;
}

void CInputCaptureKS::GetWaitEvents(HANDLE* events) {
    if (!events) return;
    for (uint32_t i = 0; i < packetCount; ++i) {
        if (!packets) {
            events[i] = nullptr;
        } else if (packets[i].lastSample) {
            events[i] = i == 0 ? packets[0].overlapped.hEvent : extraEvent;
        } else {
            events[i] = packets[i].overlapped.hEvent;
        }
    }
}

HANDLE CInputCaptureKS::GetCurrentPacketEvent(uint32_t& index) {
    index = currentPacket;
    if (!packets || currentPacket >= packetCount) return nullptr;
    return packets[currentPacket].overlapped.hEvent;
}

// ---- Buffers

bool CInputCaptureKS::CreateBuffers(uint32_t samples) {
    FreeBuffers();
    // A new pin instance starts the microphone's stream afresh, in its integer coding.
    coding.Reset();
    samplesPerPacket = 0;
    bytesPerSample = BytesPerSample();
    SetPeriodFor(samples);
    // Only the codings this endpoint decodes; anything else (or no samples) leaves it without packets.
    if (!pin || samples == 0 || bytesPerSample < 2 || bytesPerSample > 4) return false;

    if (LoopedStreaming()) {
        void* buffer = nullptr;
        ULONG granted = 0;
        const uint64_t requested = static_cast<uint64_t>(bytesPerSample) * samples * 2;
        if (requested > 0x7FFFFFFFu ||
            FAILED(pin->AllocateBuffersWithNotification(static_cast<ULONG>(requested), buffer, granted)) || !buffer)
            return false;
        const uint32_t perPacket = granted / (2 * bytesPerSample);
        // A packet must hold at least the sentinel's slot and the one before it.
        if (perPacket < 2) {
            pin->FreeBuffersWithNotification();
            return false;
        }
        packets.reset(new (std::nothrow) CapturePacket[2]());
        // The two packets' float areas, then the silence that stands in for a packet the device wrote over.
        sampleArea.reset(new (std::nothrow) float[3 * static_cast<size_t>(perPacket)]());
        if (!packets || !sampleArea) {
            packets.reset();
            sampleArea.reset();
            pin->FreeBuffersWithNotification();
            return false;
        }
        samplesPerPacket = perPacket;
        const ULONG extent = bytesPerSample * perPacket;
        for (uint32_t i = 0; i < 2; ++i) {
            CapturePacket& p = packets[i];
            p.overlapped.hEvent = pin->m_hNotificationEvent;
            p.header.FrameExtent = extent;
            p.header.Data = static_cast<BYTE*>(buffer) + i * extent;
            p.lastSample = static_cast<BYTE*>(p.header.Data) + (perPacket - 1) * bytesPerSample;
            p.floats = sampleArea.get() + static_cast<size_t>(i) * perPacket;
        }
        silence = sampleArea.get() + 2 * static_cast<size_t>(perPacket);
        packetCount = 2;
        extraEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        return true;
    }

    pin->_SetState(KSSTATE_PAUSE);
    packets.reset(new (std::nothrow) CapturePacket[kRequestPackets]());
    sampleArea.reset(new (std::nothrow) float[kRequestPackets * static_cast<size_t>(samples)]());
    if (!packets || !sampleArea) {
        packets.reset();
        sampleArea.reset();
        return false;
    }
    for (uint32_t i = 0; i < kRequestPackets; ++i) {
        CapturePacket& p = packets[i];
        p.overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        p.header.Size = sizeof(KSSTREAM_HEADER);
        p.header.PresentationTime.Numerator = 1;
        p.header.PresentationTime.Denominator = 1;
        p.header.FrameExtent = bytesPerSample * samples;
        p.header.DataUsed = 0;
        p.header.Data = sampleArea.get() + static_cast<size_t>(i) * samples;
    }
    samplesPerPacket = samples;
    packetCount = kRequestPackets;
    return true;
}

void CInputCaptureKS::FreeBuffers() {
    ReleasePackets(packets.get(), packetCount, packets && packetCount && packets[0].lastSample, extraEvent);
    packets.reset();
    sampleArea.reset();
    silence = nullptr;
    packetCount = 0;
    currentPacket = 0;
}

// ---- System endpoint and HID channel

void CInputCaptureKS::AttachEndpoint() {
    const GUID container = FindSystemEndpoint(true);
    static const GUID kZero{};
    if (std::memcmp(&container, &kZero, sizeof container) != 0) hidChannel.Open(container);
}

// ---- Start (stream thread, or the caller's when the endpoint has no live stream thread)

void CInputCaptureKS::StartOnStreamThread() {
    rate.Restart();
    completion.Restart();
    // The device numbers its packets afresh from this start.
    packetsRead = 0;
    lostPackets = 0;
    startupSkip = startupSkipPeriods;
    running.store(true);
    if (packets && packetCount) {
        if (packets[0].lastSample) {
            if (pin->m_hNotificationEvent) ResetEvent(pin->m_hNotificationEvent);
            // Both packets count as unwritten until the device writes them after this start.
            for (uint32_t i = 0; i < packetCount; ++i) StoreSentinel(packets[i]);
        } else {
            for (uint32_t i = 0; i < packetCount; ++i) SubmitPacket(i);
        }
    }
    currentPacket = 0;
    const bool exchange = format24In32 && hidChannel.IsOpen();
    starting.store(exchange);
    if (pin) pin->_SetState(KSSTATE_RUN);
    if (!exchange) return;

    // A previous exchange still under way keeps `starting` and ends it itself.
    if (handshakeThread) {
        if (WaitForSingleObject(handshakeThread, 0) != WAIT_OBJECT_0) return;
        CloseHandle(handshakeThread);
        handshakeThread = nullptr;
    }
    DWORD id = 0;
    handshakeThread = CreateThread(nullptr, 0, &CInputCaptureKS::HandshakeThreadProc, this, 0, &id);
    if (!handshakeThread) starting.store(false);
}

DWORD WINAPI CInputCaptureKS::HandshakeThreadProc(LPVOID argument) {
    auto* endpoint = static_cast<CInputCaptureKS*>(argument);
    // From the moment the command may reach the microphone, its packets are judged by their content.
    endpoint->floatCommandSent.store(true);
    hid::RequestFloatSamples(endpoint->hidChannel, endpoint->format24In32, endpoint->floatSamples);
    endpoint->starting.store(false);
    return 0;
}

// ---- Packets (stream thread). No allocation, no lock, no printing.

bool CInputCaptureKS::HoldsSentinel(const CapturePacket& packet) const {
    return std::memcmp(packet.lastSample, &kSentinel, bytesPerSample) == 0;
}

void CInputCaptureKS::StoreSentinel(CapturePacket& packet) {
    std::memcpy(packet.lastSample, &kSentinel, bytesPerSample);
    packet.converted = false;
}

void CInputCaptureKS::SubmitPacket(uint32_t index) {
    if (!packets || index >= packetCount) return;
    CapturePacket& packet = packets[index];
    if (packet.lastSample) {
        StoreSentinel(packet);
        return;
    }
    packet.header.DataUsed = 0;
    packet.converted = false;
    packet.submitted = SUCCEEDED(pin->ReadData(&packet.header, &packet.overlapped));
}

void CInputCaptureKS::Decode(const void* source, float* target, uint32_t n) {
    const uint32_t bits = bytesPerSample * 8;
    if (bits == 32 && format24In32 && floatCommandSent.load()) {
        // The microphone may be sending either coding: the samples say which.
        if (coding.Judge(InspectInt24In32OrFloat(source, n), n)) {
            if (source != target) std::memcpy(target, source, static_cast<size_t>(n) * 4);
        } else {
            Pcm32ToFloat(source, target, n);
        }
        return;
    }
    if (bits == 32 && floatSamples.load()) {
        if (source != target) std::memcpy(target, source, static_cast<size_t>(n) * 4);
        return;
    }
    switch (bits) {
        case 16:
            Pcm16ToFloat(source, target, n);
            break;
        case 24:
            Pcm24ToFloat(source, target, n);
            break;
        case 32:
            Pcm32ToFloat(source, target, n);
            break;
        default:
            break;
    }
}

uint32_t CInputCaptureKS::TransferPacket(uint32_t index, bool resubmit) {
    if (!packets || index >= packetCount) return 0;
    if (packets[index].lastSample) return TransferWaveRt(index, resubmit);
    CapturePacket& packet = packets[index];
    // Never more than the packet holds, whatever the device reports.
    const ULONG used =
        packet.header.DataUsed < packet.header.FrameExtent ? packet.header.DataUsed : packet.header.FrameExtent;
    const uint32_t n = used / bytesPerSample;
    float* samples = static_cast<float*>(packet.header.Data);
    if (!packet.converted) {
        Decode(samples, samples, n);
        packet.converted = true;
    }
    currentPacket = index + 1 < packetCount ? index + 1 : 0;
    packet.submitted = false;
    Deliver(samples, n);
    if (resubmit && running.load()) SubmitPacket(index);
    return n;
}

uint32_t CInputCaptureKS::TransferWaveRt(uint32_t index, bool resubmit) {
    const uint32_t other = index + 1 < packetCount ? index + 1 : 0;
    if (HoldsSentinel(packets[index])) {
        // Transfer the packet the device has really written, whichever the wake was for.
        if (!HoldsSentinel(packets[other])) {
            index = other;
        } else {
            ULONG number = 0;
            if (SUCCEEDED(pin->GetReadPacket(number)) && number > 0) {
                index = (number - 1) & 1u;
                const uint32_t n = DeliverWaveRt(index, resubmit);
                packetsRead = number;
                return n;
            }
        }
        if (lostPackets > 0) DeliverSilence(lostPackets, false);
        return DeliverWaveRt(index, resubmit);
    }
    if (other == index || HoldsSentinel(packets[other])) {
        if (lostPackets > 0) DeliverSilence(lostPackets, false);
        return DeliverWaveRt(index, resubmit);
    }

    // Both written: this thread woke more than a packet late, and the device, having completed the second, is
    // writing the first again. Read one at a time, the thread would stay a packet behind for good, every packet
    // read while the device rewrites it; reading both now puts it back on the device's schedule. The older goes
    // first, so that the stream's time runs on, and counts as lost: on hardware it already holds part of the next
    // period.
    ULONG number = caughtUpNumber;
    const bool countedAtWake = number > 0;
    const bool counted = countedAtWake || (SUCCEEDED(pin->GetReadPacket(number)) && number > 0);
    const uint32_t newest = counted ? (number - 1) & 1u : other;
    const uint32_t older = newest == index ? other : index;
    // The wake found one packet written, and its stamp is that packet's; the device completed two or more since,
    // the first of them into the very slot the wake found written. Those written over came after the stamp.
    const uint32_t overSinceWake = counted && !countedAtWake ? WrittenOver(number, 2) : 0;
    CountOverrun();
    CountExtraPacket();
    if (lostPackets > 0) DeliverSilence(lostPackets, false);
    uint32_t n = 0;
    if (overSinceWake > 0) n = DeliverSilence(overSinceWake, true);
    n += DeliverWaveRt(older, false, counted ? number : 0);
    StampNextPacket(n);
    n += DeliverWaveRt(newest, resubmit, counted ? number + 1 : 0);
    if (counted) packetsRead = number;
    if (resubmit && running.load()) {
        // The older slot is the one the device writes next. It is marked unread only if the device has not
        // completed it meanwhile (else it holds the next packet, to be read at the wake its completion set). The
        // newest completion's own signal may still be on the event: cleared, or it would wake this thread for a
        // packet already taken.
        bool rewritten = false;
        if (counted) {
            ResetEvent(pin->m_hNotificationEvent);
            ULONG after = 0;
            rewritten = FAILED(pin->GetReadPacket(after)) || after != number;
            if (rewritten) SetEvent(pin->m_hNotificationEvent);
        }
        if (!rewritten) StoreSentinel(packets[older]);
    }
    return n;
}

uint32_t CInputCaptureKS::DeliverWaveRt(uint32_t index, bool resubmit, ULONG validUntil) {
    CapturePacket& packet = packets[index];
    const bool unwritten = HoldsSentinel(packet);
    const uint32_t n = samplesPerPacket;
    float* samples = packet.floats;
    // A slot the device never wrote repeats the sample before it (32-bit codings) or is silent. The word before
    // it is copied over the marker before decoding, so that the marker is never taken for a sample, nor as
    // evidence of the stream's coding.
    if (unwritten && bytesPerSample == 4 && n > 1) std::memcpy(packet.lastSample, packet.lastSample - 4, 4);
    Decode(packet.header.Data, samples, n);
    if (unwritten && (bytesPerSample != 4 || n == 1)) samples[n - 1] = 0.0f;
    // A packet of a late wake's two that the device may have begun to write over while it was read: the older once
    // the device completes another, the newer once it completes two (a thread held up again in between). The slot
    // then holds a later packet, and what was read may be of either. Silence stands in for it, and the later packet
    // is read, unmarked, at the wake its completion set: read now, it would be heard twice, and the microphone a
    // packet late from then on; marked unread, it would be lost unseen, and the microphone a packet early.
    ULONG number = 0;
    const bool overtaken = validUntil > 0 && (FAILED(pin->GetReadPacket(number)) || number > validUntil);
    if (overtaken) std::memset(samples, 0, static_cast<size_t>(n) * sizeof(float));
    packet.converted = true;
    // Marked unread before the callback runs, not after: a callback held up past the device's next write into
    // this packet would otherwise mark fresh samples as unwritten, and they would be lost unseen.
    if (resubmit && running.load() && !overtaken) StoreSentinel(packet);
    currentPacket = index + 1 < packetCount ? index + 1 : 0;
    packet.submitted = false;
    if (!unwritten) ++packetsRead;
    Deliver(samples, n);
    return n;
}

uint32_t CInputCaptureKS::SamplesMissed(double samplesBehind) {
    caughtUpNumber = 0;
    lostPackets = 0;
    if (!packets || packetCount != 2 || !packets[0].lastSample) return 0;
    // A wake that finds both packets written came too late for one at least. So may a wake that finds one but is
    // a packet or more behind the stamps' schedule, which a punctual wake never is: a thread held up while the
    // device's writes were not yet to be seen, or one that marked a packet unread just after the device wrote it
    // (held up between looking at the packet and marking it), which then went unseen. Only the device's count
    // tells those apart from a device that stalled, which restarts the stamps at this wake.
    const bool bothWritten = !HoldsSentinel(packets[0]) && !HoldsSentinel(packets[1]);
    if (!bothWritten && samplesBehind < kRecountPackets * samplesPerPacket) return 0;
    ULONG number = 0;
    if (FAILED(pin->GetReadPacket(number)) || number == 0) return 0;
    if (number <= packetsRead + 1) return 0;
    // Looked at again: what the device counted is in its memory by now. Two packets of those since the last one
    // read are in the ring, or one if the other was marked unread over a packet that then went unseen.
    const bool bothNow = !HoldsSentinel(packets[0]) && !HoldsSentinel(packets[1]);
    lostPackets = WrittenOver(number, bothNow ? 2 : 1);
    if (bothNow) caughtUpNumber = number;
    // The one packet in the ring is the device's newest: read, it brings the count of those read up to the device's.
    if (!bothNow) packetsRead = number - 1;
    return lostPackets * samplesPerPacket;
}

bool CInputCaptureKS::NothingNew() {
    if (!packets || packetCount != 2 || !packets[0].lastSample) return false;
    if (!HoldsSentinel(packets[0]) || !HoldsSentinel(packets[1])) return false;
    // Both marked unread may also be a write not yet to be seen, or a packet marked unread just after the device
    // wrote it: the device's count tells those from a wake with nothing to take.
    ULONG number = 0;
    return SUCCEEDED(pin->GetReadPacket(number)) && number > 0 && number <= packetsRead;
}

uint32_t CInputCaptureKS::WrittenOver(ULONG deviceCount, uint32_t inRing) const {
    const int64_t over = static_cast<int64_t>(deviceCount) - static_cast<int64_t>(packetsRead) - inRing;
    return over >= 1 && CanStandInFor(static_cast<uint64_t>(over)) ? static_cast<uint32_t>(over) : 0;
}

uint32_t CInputCaptureKS::DeliverSilence(uint32_t count, bool afterStamp) {
    // Each stands where its packet completed, a packet apart. Lost before the wake, they came before its stamp,
    // which is the first packet read's; lost after it, they follow the stamp and the packets read follow them.
    const int64_t first = packetCounter.load(std::memory_order_relaxed);
    const double packetCounts = static_cast<double>(samplesPerPacket) * rate.CountsPerSample(channels);
    for (uint32_t k = 0; k < count; ++k) {
        const int64_t place = afterStamp ? static_cast<int64_t>(k) : static_cast<int64_t>(k) - count;
        packetCounter.store(first + std::llround(place * packetCounts), std::memory_order_relaxed);
        // Cleared each time: the callback receives a writable buffer.
        std::memset(silence, 0, static_cast<size_t>(samplesPerPacket) * sizeof(float));
        packetsStoodIn.fetch_add(1, std::memory_order_relaxed);
        Deliver(silence, samplesPerPacket);
    }
    if (!afterStamp) {
        packetCounter.store(first, std::memory_order_relaxed);
        return 0;
    }
    StampNextPacket(samplesPerPacket);
    return count * samplesPerPacket;
}
