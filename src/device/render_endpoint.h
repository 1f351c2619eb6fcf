// COutputRenderKS: the endpoint of the playback device the user chose. On each wake of its stream thread it asks
// its data callback to fill the current packet with floats from the output FIFO (silence without a callback or
// during the periods after a start), converts them to the device's coding and hands the packet to the device.
//
// WaveRT: the endpoint announces every packet it has written with the next packet number, and fills next the
// packet of that number's parity; every 513th announcement, and after a failed one, it takes the device's own
// packet count as its counter. A pin that does not implement announcements is driven by parity alone until the
// next start. The callback fills a float area of the packet's own; the converted samples are then copied into the
// device's packet, so a 16- or 24-bit device never sees a write outside its packet. Request mode: write requests
// circulate through 2 to 4 packets in order.
//
// Threads: see CKSDevice. The packets, the counters and currentPacket belong to the stream thread (and to Start,
// which runs there).
#pragma once

#include <memory>

#include "device/ks_device.h"

class COutputRenderKS : public CKSDevice {
public:
    struct RenderPacket {
        KSSTREAM_HEADER header;
        OVERLAPPED overlapped;
        // WaveRT: the float area the callback fills. Request mode: null (Data holds room for the floats itself).
        float* floats;
        bool submitted;
    };

    COutputRenderKS(CKsAudPin* pin, DataCallback callback, void* context);
    ~COutputRenderKS() override;

    uint8_t GetWaitEventCount() override { return static_cast<uint8_t>(packetCount); }
    void GetWaitEvents(HANDLE* events) override;
    HANDLE GetCurrentPacketEvent(uint32_t& index) override;
    uint32_t GetNumPackets() override { return packetCount; }
    void FreeBuffers() override;
    bool CreateBuffers(uint32_t samples) override;
    void AttachEndpoint() override;
    uint32_t TransferPacket(uint32_t index, bool resubmit) override;
    void SubmitPacket(uint32_t index) override;
    uint32_t SamplesMissed(double samplesBehind) override;

    uint32_t resyncInterval = 512;
    // Observation for tests: the stream thread's counters (read while it is idle or ended).
    uint32_t PacketCounter() const { return packetCounter; }
    uint32_t CurrentPacket() const { return currentPacket; }
    bool PacketModeSupported() const { return packetModeSupported; }

protected:
    void StartOnStreamThread() override;

private:
    std::unique_ptr<RenderPacket[]> packets;
    std::unique_ptr<float[]> sampleArea;
    HANDLE extraEvent = nullptr;
    uint32_t packetCount = 0;
    uint32_t currentPacket = 0;
    uint32_t writesSinceResync = 0;
    uint32_t packetCounter = 0;
    // The device's packet count at the previous wake, once there was one since the start; at this wake, when read,
    // and the packets it played again since the previous one.
    uint32_t playedAtLastWake = 0;
    bool playedKnown = false;
    ULONG playedNow = 0;
    bool playedRead = false;
    uint32_t replayedPackets = 0;
    bool packetModeSupported = true;
    uint32_t bytesPerSample = 0;
};
