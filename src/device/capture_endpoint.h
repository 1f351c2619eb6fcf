// CInputCaptureKS: the endpoint of one microphone. On each wake of its stream thread it takes the packet the
// device has really completed, turns its samples into 32-bit floats and hands them to its data callback (which
// pushes them into the microphone's FIFO), then gives the packet back to the device. When it starts it asks a
// microphone streaming 24 valid bits in 32-bit containers to switch to IEEE floats, over the microphone's HID
// channel.
//
// The float switch: the exchange runs on a helper thread of its own, so that starting the endpoints never waits for
// a microphone that answers slowly or not at all (the stream is held back from the callback meanwhile). Because a
// late echo, an echo under another report or a lost command all leave the driver unsure of what the microphone
// now sends, every packet of such a stream is decoded by what the samples show (CodingJudge), never by what
// the exchange reported: integers are never read as floats, nor floats as integers.
//
// WaveRT packets lie in the device's buffer and hold the device's coding only; their floats go to an area of their
// own beside it, so a 16- or 24-bit stream never writes outside its packet. The sentinel that tells a written
// packet from an unwritten one sits in the packet's true last sample slot.
//
// Threads: see CKSDevice. The packets, the areas and currentPacket belong to the stream thread (and to Start,
// which runs there); the HID channel to the helper thread while it runs, and to the endpoint's owner otherwise.
#pragma once

#include <memory>

#include "device/ks_device.h"
#include "device/sample_convert.h"

class CInputCaptureKS : public CKSDevice {
public:
    static constexpr uint32_t kRequestPackets = 4;
    static constexpr uint32_t kSentinel = 0x5A5A5A5Au;  // "ZZZZ"

    struct CapturePacket {
        KSSTREAM_HEADER header;
        OVERLAPPED overlapped;
        // WaveRT: the packet's last sample slot in the device's buffer, and its float area. Null in request mode.
        BYTE* lastSample;
        float* floats;
        bool submitted;
        bool converted;
    };

    CInputCaptureKS(CKsAudPin* pin, DataCallback callback, void* context);
    ~CInputCaptureKS() override;

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
    bool NothingNew() override;

    // Set by the manager from the pin's format: 32-bit containers carrying 24 valid bits.
    bool format24In32 = false;
    // Whether the float-format command may have reached the microphone during this endpoint's life; from then on
    // each 24-in-32 packet is decoded by its content.
    bool FloatCommandSent() const { return floatCommandSent.load(); }
    bool HasHidChannel() const { return hidChannel.IsOpen(); }
    // Waits for a HID exchange under way (tests, destruction).
    void WaitForHandshake();

protected:
    void StartOnStreamThread() override;
    void EndHelpers() override { WaitForHandshake(); }

private:
    static DWORD WINAPI HandshakeThreadProc(LPVOID endpoint);
    uint32_t TransferWaveRt(uint32_t index, bool resubmit);
    // `validUntil`, when not 0: the device's packet number past which the slot no longer holds the packet that
    // was to be read (see the definition).
    uint32_t DeliverWaveRt(uint32_t index, bool resubmit, ULONG validUntil = 0);
    // Hands over `count` packets of silence for packets the device wrote over, each with its own time: before the
    // wake's stamp, or from it on (the stamp then moves past them). Returns the samples after the stamp.
    uint32_t DeliverSilence(uint32_t count, bool afterStamp);
    // Packets the device wrote over before they were read, given its count and how many of those since the last
    // one read are still in the ring; 0 when there are none or too many to stand in for.
    uint32_t WrittenOver(ULONG deviceCount, uint32_t inRing) const;
    bool HoldsSentinel(const CapturePacket& packet) const;
    void StoreSentinel(CapturePacket& packet);
    // Decodes n samples of the device's coding at `source` into `target` (which may be the same memory).
    void Decode(const void* source, float* target, uint32_t n);

    std::unique_ptr<CapturePacket[]> packets;
    // Request mode: the packets' sample memory, 4 bytes per sample. WaveRT: the packets' float areas.
    std::unique_ptr<float[]> sampleArea;
    HANDLE extraEvent = nullptr;
    uint32_t packetCount = 0;
    uint32_t currentPacket = 0;
    // WaveRT, stream thread: the device's number of the newest packet read (its packets count from 1 at each
    // start); at a wake that found both packets written, the device's number then and the packets it wrote over
    // before them.
    uint64_t packetsRead = 0;
    ULONG caughtUpNumber = 0;
    uint32_t lostPackets = 0;
    // A wake this many packets behind the stamps' schedule or more asks the device for its count: punctual wakes
    // come well within a packet of it.
    static constexpr double kRecountPackets = 0.9;
    float* silence = nullptr;
    uint32_t bytesPerSample = 0;
    HANDLE handshakeThread = nullptr;
    std::atomic<bool> floatCommandSent{false};
    // Stream thread: what the samples of a possibly switched 24-in-32 stream have shown so far.
    CodingJudge coding;
};
