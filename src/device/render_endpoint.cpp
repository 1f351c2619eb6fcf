// The render endpoint: packets, start, packet numbering and conversion to the device's coding.
#include "device/render_endpoint.h"

#include <cstring>
#include <new>

#include "device/sample_convert.h"

COutputRenderKS::COutputRenderKS(CKsAudPin* openPin, DataCallback callback, void* context)
    : CKSDevice(openPin, callback, context) {}

COutputRenderKS::~COutputRenderKS() {
    EndStreamThread();
    Stop();
    FreeBuffers();
}

void COutputRenderKS::GetWaitEvents(HANDLE* events) {
    if (!events) return;
    const bool waveRt = packets && packets[0].floats;
    for (uint32_t i = 0; i < packetCount; ++i) {
        if (!packets)
            events[i] = nullptr;
        else if (waveRt)
            events[i] = i == 0 ? packets[0].overlapped.hEvent : extraEvent;
        else
            events[i] = packets[i].overlapped.hEvent;
    }
}

HANDLE COutputRenderKS::GetCurrentPacketEvent(uint32_t& index) {
    index = currentPacket;
    if (!packets || currentPacket >= packetCount) return nullptr;
    return packets[currentPacket].overlapped.hEvent;
}

// ---- Buffers

bool COutputRenderKS::CreateBuffers(uint32_t samples) {
    FreeBuffers();
    samplesPerPacket = 0;
    bytesPerSample = BytesPerSample();
    SetPeriodFor(samples);
    if (!pin || samples == 0 || bytesPerSample < 2 || bytesPerSample > 4) return false;

    if (LoopedStreaming()) {
        void* buffer = nullptr;
        ULONG granted = 0;
        const uint64_t requested = static_cast<uint64_t>(bytesPerSample) * samples * 2;
        if (requested > 0x7FFFFFFFu ||
            FAILED(pin->AllocateBuffersWithNotification(static_cast<ULONG>(requested), buffer, granted)) || !buffer)
            return false;
        const uint32_t perPacket = granted / (2 * bytesPerSample);
        if (perPacket == 0) {
            pin->FreeBuffersWithNotification();
            return false;
        }
        packets.reset(new (std::nothrow) RenderPacket[2]());
        sampleArea.reset(new (std::nothrow) float[2 * static_cast<size_t>(perPacket)]());
        if (!packets || !sampleArea) {
            packets.reset();
            sampleArea.reset();
            pin->FreeBuffersWithNotification();
            return false;
        }
        samplesPerPacket = perPacket;
        const ULONG extent = bytesPerSample * perPacket;
        for (uint32_t i = 0; i < 2; ++i) {
            RenderPacket& p = packets[i];
            p.overlapped.hEvent = pin->m_hNotificationEvent;
            p.header.FrameExtent = extent;
            p.header.Data = static_cast<BYTE*>(buffer) + i * extent;
            p.floats = sampleArea.get() + static_cast<size_t>(i) * perPacket;
        }
        packetCount = 2;
        extraEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        return true;
    }

    pin->_SetState(KSSTATE_PAUSE);
    const uint32_t ms = PeriodMs();
    const uint32_t count = ms >= 10 ? 2 : ms >= 6 ? 3 : 4;
    packets.reset(new (std::nothrow) RenderPacket[count]());
    sampleArea.reset(new (std::nothrow) float[count * static_cast<size_t>(samples)]());
    if (!packets || !sampleArea) {
        packets.reset();
        sampleArea.reset();
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        RenderPacket& p = packets[i];
        p.overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        p.header.Size = sizeof(KSSTREAM_HEADER);
        p.header.PresentationTime.Numerator = 1;
        p.header.PresentationTime.Denominator = 1;
        p.header.FrameExtent = bytesPerSample * samples;
        p.header.DataUsed = p.header.FrameExtent;
        p.header.Data = sampleArea.get() + static_cast<size_t>(i) * samples;
    }
    samplesPerPacket = samples;
    packetCount = count;
    currentPacket = 0;
    return true;
}

void COutputRenderKS::FreeBuffers() {
    ReleasePackets(packets.get(), packetCount, packets && packetCount && packets[0].floats, extraEvent);
    packets.reset();
    sampleArea.reset();
    packetCount = 0;
    currentPacket = 0;
}

void COutputRenderKS::AttachEndpoint() { FindSystemEndpoint(false); }

// ---- Start (stream thread, or the caller's when the endpoint has no live stream thread)

void COutputRenderKS::StartOnStreamThread() {
    rate.Restart();
    completion.Restart();
    startupSkip = startupSkipPeriods;
    running.store(true);
    if (!packets || !packetCount) {
        if (pin) pin->_SetState(KSSTATE_RUN);
        return;
    }
    if (packets[0].floats) {
        for (uint32_t i = 0; i < packetCount; ++i)
            std::memset(packets[i].header.Data, 0, packets[i].header.FrameExtent);
        pin->_SetState(KSSTATE_RUN);
        // Lets the pin reach the run state before the first two packets are announced.
        Sleep(4);
        writesSinceResync = 0;
        packetCounter = 0;
        playedKnown = false;
        packetModeSupported = true;
        SubmitPacket(currentPacket);
        SubmitPacket(currentPacket);
        return;
    }
    // Silence first: what the packets held when the stream last stopped is not played again.
    for (uint32_t i = 0; i < packetCount; ++i)
        std::memset(packets[i].header.Data, 0, static_cast<size_t>(samplesPerPacket) * 4);
    currentPacket = 0;
    for (uint32_t i = 0; i < packetCount; ++i) SubmitPacket(i);
    currentPacket = 0;
    pin->_SetState(KSSTATE_RUN);
}

// ---- Packets (stream thread). No allocation, no lock, no printing.

void COutputRenderKS::SubmitPacket(uint32_t index) {
    if (!packets || !packetCount) return;
    if (packets[0].floats) {
        ++packetCounter;
        if (packetModeSupported) {
            const HRESULT hr = pin->SetWritePacket(packetCounter);
            if (hr == E_NOTIMPL) {
                packetModeSupported = false;
                currentPacket = packetCounter & 1u;
                return;
            }
            ++writesSinceResync;
            if (writesSinceResync > resyncInterval || FAILED(hr)) {
                ULONG count = 0;
                if (SUCCEEDED(pin->GetPacketCount(count))) {
                    writesSinceResync = 0;
                    packetCounter = count;
                }
            }
        }
        currentPacket = packetCounter & 1u;
        return;
    }
    if (index >= packetCount) return;
    RenderPacket& packet = packets[index];
    packet.submitted = SUCCEEDED(pin->WriteData(&packet.header, &packet.overlapped));
    currentPacket = currentPacket + 1 < packetCount ? currentPacket + 1 : 0;
}

uint32_t COutputRenderKS::SamplesMissed(double /*samplesBehind*/) {
    playedRead = false;
    replayedPackets = 0;
    if (!packets || !packetCount || !packets[0].floats || !packetModeSupported) return 0;
    if (FAILED(pin->GetPacketCount(playedNow))) return 0;
    playedRead = true;
    const uint32_t since = playedNow - playedAtLastWake;
    if (!playedKnown || since < 2 || !CanStandInFor(since - 1)) return 0;
    replayedPackets = since - 1;
    return replayedPackets * samplesPerPacket;
}

uint32_t COutputRenderKS::TransferPacket(uint32_t index, bool resubmit) {
    if (!packets || index >= packetCount) return 0;
    if (packets[0].floats && packetModeSupported) {
        // Fill the packet the device plays after the one it is playing now. An auto-reset event merges two
        // completions into one wake when this thread runs late; counting wakes alone would then leave every later
        // packet announced one period too late, each played as silence. The device's own count keeps the place.
        if (playedRead) {
            // Two packets played since the last wake: the one playing now was never filled after it last played,
            // so the device plays it again.
            if (playedKnown && playedNow - playedAtLastWake > 1) CountOverrun();
            playedAtLastWake = playedNow;
            playedKnown = true;
            packetCounter = playedNow + 1;
            currentPacket = packetCounter & 1u;
        }
    }
    const uint32_t entry = currentPacket;
    RenderPacket& packet = packets[entry];
    packet.submitted = false;
    const bool waveRt = packet.floats != nullptr;
    float* floats = waveRt ? packet.floats : static_cast<float*>(packet.header.Data);
    const uint32_t n = samplesPerPacket;

    // The audio of the periods the device filled with a packet played again goes unplayed: played now, it would
    // put the output that much behind the host's timeline until the steering took it back.
    for (uint32_t k = 0; k < replayedPackets; ++k) DeliverSkipped(floats, n);
    replayedPackets = 0;
    std::memset(floats, 0, static_cast<size_t>(n) * 4);
    Deliver(floats, n);  // the callback overwrites the silence unless the start-up periods are still running

    bool known = true;
    switch (bytesPerSample * 8) {
        case 16:
            FloatToPcm16(floats, n);
            break;
        case 24:
            FloatToPcm24(floats, n);
            break;
        case 32:
            if (validBitsPerSample == 24)
                FloatToPcm24In32(floats, n);
            else
                FloatToPcm32(floats, n);
            break;
        default:
            known = false;
            break;
    }
    if (!known) std::memset(floats, 0, static_cast<size_t>(n) * 4);
    if (waveRt) std::memcpy(packet.header.Data, floats, packet.header.FrameExtent);

    if (resubmit && running.load()) SubmitPacket(entry);
    return n;
}
