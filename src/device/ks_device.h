// CKSDevice: one open audio stream of one device: a kernel-streaming pin with its packets, the stream thread that
// waits for the device and moves each period, the device's rate measurement, and the link to the system's view of
// the same device (its endpoint volume; for a microphone its HID channel). Abstract base of CInputCaptureKS (a
// microphone) and COutputRenderKS (a playback device).
//
// Ownership and lifecycle: the device manager negotiates the pin's format (CreateCapturePinForFormat /
// CreateRenderPinForFormat), constructs the endpoint and owns it. Created (pin open and stopped) → CreateBuffers
// (packets) → StartStreamThread (the thread waits, waking by time-out) → Start / Stop any number of times →
// for a new period: EndStreamThread, FreeBuffers, ResetPin, CreateBuffers, StartStreamThread → destruction, which
// ends the thread and every helper thread before anything is freed. The pin belongs to its filter; the endpoint
// closes it.
//
// Modes: a pin whose first interface is looped streaming streams through one WaveRT buffer split into two packets,
// with the pin's notification event as the wake-up; any other pin through a ring of stream requests, each packet
// with its own event. All sample counts count the samples of all channels together.
//
// Threads:
//   - The stream thread alone touches the packets, the measurement and the per-period state. Start and the
//     measurement restart are commands that the caller posts and the stream thread carries out between two
//     periods (RunOnStreamThread), so the clock thread never arms packets the stream thread may be reading. When
//     the endpoint has no live stream thread the command runs on the caller's thread, which is then alone.
//   - Stop (the pin's state) runs on the clock or the host's thread; the pin serialises its own requests.
//   - stopRequested, starting and floatSamples are atomics written by one side and polled by the other.
//   - The volume accessors run on any thread (the control panel's); the endpoint volume is a COM object that
//     serialises itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "device/data_callback.h"
#include "device/packet_stamp.h"
#include "device/rate_measurement.h"
#include "hid/hid_channel.h"
#include "ks/ks_filter.h"
#include "ks/ks_pin.h"
#include "platform/win32.h"

// An event handle that closes itself.
class CEvent {
public:
    CEvent(BOOL manualReset, BOOL initialState) : handle(CreateEventA(nullptr, manualReset, initialState, nullptr)) {}
    virtual ~CEvent() {
        if (handle) CloseHandle(handle);
    }
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;
    HANDLE handle;
};

class CKSDevice {
public:
    // The stream thread's wait ends at least this often while nothing comes, counted in packet periods.
    static constexpr DWORD kTimeoutPeriods = 4;
    // How long a caller waits for the stream thread to carry out a command (a start) before giving up on it.
    static constexpr DWORD kCommandWaitMs = 2000;

    CKSDevice(CKsAudPin* pin, DataCallback callback, void* context);
    virtual ~CKSDevice();
    CKSDevice(const CKSDevice&) = delete;
    CKSDevice& operator=(const CKSDevice&) = delete;

    // ---- Format negotiation: an open pin for the first wave format the filter's device accepts, or null.
    static CKsAudPin* CreateCapturePinForFormat(CKsAudCapFilter* filter, WORD channels, DWORD rate);
    static CKsAudPin* CreateRenderPinForFormat(CKsAudRenFilter* filter, WORD channels, DWORD rate);

    virtual uint32_t GetSamplesPerPacket() { return samplesPerPacket; }
    virtual uint8_t GetWaitEventCount() = 0;
    virtual void GetWaitEvents(HANDLE* events) = 0;
    virtual HANDLE GetCurrentPacketEvent(uint32_t& index) = 0;
    virtual uint32_t GetNumPackets() = 0;
    // Arms the packets and runs the pin (through the stream thread, see above). The caller is the device manager.
    void Start();
    virtual void Stop();
    virtual void ResetPin();
    virtual void FreeBuffers() = 0;
    // Packets for `samples` samples per packet. False when the device granted no buffer; the endpoint then has no
    // packets and delivers nothing until the next CreateBuffers.
    virtual bool CreateBuffers(uint32_t samples) = 0;
    virtual void AttachEndpoint() = 0;
    // Stream thread: moves one packet between device and callback; returns the samples moved.
    virtual uint32_t TransferPacket(uint32_t index, bool resubmit) = 0;
    // Stream thread, at a wake, before its stamp is taken: the samples of the packets the device completed that
    // this thread came too late for (a capture device wrote them over before they were read, a playback device
    // played a packet again that was never refilled). The stamp's schedule and the rate measurement count them, and
    // the transfer that follows stands in for them (silence into the FIFO, audio taken out of it unplayed): what
    // comes after keeps its place in time.
    // `samplesBehind`: how far the wake is behind the stamps' schedule (0 without one).
    virtual uint32_t SamplesMissed(double /*samplesBehind*/) { return 0; }
    // Stream thread, at a wake, before anything else: whether the device has completed nothing since the last
    // packet taken. Such a wake (its signal left over from a completion a catching-up wake already took) is passed
    // over: taken as a packet's, it would hand a packet on twice and date the next ones before their time.
    virtual bool NothingNew() { return false; }
    // The most samples a late wake stands in for: half a FIFO, a thread held up for a third of a second at 48000 Hz
    // (a tenth at 192000 Hz). More is not a thread held up but a stream that stalled or a device that numbers its
    // packets afresh: the stream then starts over from that wake.
    static constexpr uint64_t kMostSamplesMissed = 16384;
    // Whether `packets` packets missed can be stood in for.
    bool CanStandInFor(uint64_t packets) const {
        return packets * static_cast<uint64_t>(samplesPerPacket) <= kMostSamplesMissed;
    }
    virtual void SubmitPacket(uint32_t index) = 0;

    // Clears the stop request and starts the stream thread unless one is alive. False when no thread could be
    // created.
    bool StartStreamThread();
    // Asks the stream thread to end and waits for it; nothing when there is none.
    void EndStreamThread();
    // Whether the stream thread has left its loop (or never ran): such an endpoint delivers nothing until the next
    // StartStreamThread after a resize.
    bool StreamThreadEnded() const;

    // Reads the system endpoint's volume range into volumeMinDb/MaxDb/StepDb (zeros without hardware volume).
    void ReadVolumeRange();
    float GetGainDb();
    void SetGainDb(float db);

    // ---- Configuration, set by the device manager before the stream thread starts.
    uint32_t startupSkipPeriods = 32;
    // The measurement, with the counter's queried frequency and the window lengths; tests may shorten them.
    RateMeasurement rate;
    DataCallback dataCallback;
    // Render: takes out, into the samples given, the audio of a period the device played again unrefilled, so that
    // what follows plays at its place in time. Null: nothing is taken out.
    DataCallback skippedCallback = nullptr;
    void* callbackContext;
    std::string friendlyName;
    std::basic_string<WCHAR> deviceInstanceId;
    std::string matchString;
    uint16_t channels = 0;
    uint16_t validBitsPerSample = 0;
    std::atomic<bool> floatSamples{false};

    // ---- Observation (any thread; values written by the stream thread).
    uint32_t PeriodMs() const { return periodMs.load(std::memory_order_relaxed); }
    double RateRatio() const { return publishedRatio.load(std::memory_order_relaxed); }
    double MeasuredRate() const { return publishedRate.load(std::memory_order_relaxed); }
    // Packets transferred since the endpoint was created, and those handed to the data callback. The latter
    // include the silence that stood in for packets the device wrote over before they were read, counted apart.
    uint64_t PacketsTransferred() const { return packetsTransferred.load(std::memory_order_relaxed); }
    uint64_t PacketsDelivered() const { return packetsDelivered.load(std::memory_order_relaxed); }
    uint64_t PacketsStoodIn() const { return packetsStoodIn.load(std::memory_order_relaxed); }
    bool Starting() const { return starting.load(); }
    // The counter value at which the packet now being handed over completed, as near as the stream thread's wakes
    // tell (see PacketStamp). Written before the data callback runs, on the same thread, so the callback always
    // sees its own packet's time; the clock thread's FIFO steering reads it too, hence atomic.
    std::atomic<int64_t> packetCounter{0};
    // Packets the stream thread came too late for: with two packets in the ring, a capture device was already
    // writing over the one about to be read, a playback device played one again that was never refilled. Counted
    // by the stream thread, read by the clock thread.
    std::atomic<uint64_t> packetsOverrun{0};
    // The schedule of packet completions behind packetCounter; the stream thread's, restarted with each start.
    PacketStamp completion;
    bool HasVolume() const { return endpointVolume != nullptr; }

    CKsAudPin* pin;
    float volumeMinDb = 0.0f;
    float volumeMaxDb = 0.0f;
    float volumeStepDb = 0.0f;

protected:
    void CountOverrun() { packetsOverrun.fetch_add(1, std::memory_order_relaxed); }
    // A second packet taken at one wake (the loop counts one per wake).
    void CountExtraPacket() { packetsTransferred.fetch_add(1, std::memory_order_relaxed); }
    // Packets of silence handed over for packets the device wrote over (see PacketsStoodIn).
    std::atomic<uint64_t> packetsStoodIn{0};
    // Before handing over the second packet a wake takes: it completed a packet of `samples` after the first, whose
    // time the wake's stamp is. Stream thread.
    void StampNextPacket(uint32_t samples);
    // The format's bytes per sample (wBitsPerSample / 8), 0 without a format.
    uint32_t BytesPerSample() const;
    uint32_t BitsPerSample() const;
    bool LoopedStreaming() const { return pin && pin->m_bLoopedStreaming; }
    // Packet period in whole milliseconds for `samples` samples, at least 1; sets the pin's buffer duration.
    void SetPeriodFor(uint32_t samples);
    // The common search for the system endpoint of this device: its volume, and the container ID of the device it
    // is connected to (all zeros when none).
    GUID FindSystemEndpoint(bool capture);
    // The body of Start, on the stream thread (or on the caller's when the thread is gone).
    virtual void StartOnStreamThread() = 0;
    // Ends helper work a derived endpoint runs beside the stream thread (the capture endpoint's HID exchange).
    virtual void EndHelpers() {}
    // Delivers one period to the callback, counting it; the stream thread's only way to the consumer.
    void Deliver(float* samples, uint32_t count);
    // Hands a period the device played again to skippedCallback, into `scratch`.
    void DeliverSkipped(float* scratch, uint32_t count);
    // Hands the packets of either mode back: WaveRT returns its buffer and notification to the pin (and closes
    // the spare event); request mode stops the pin so that every queued request completes, which may take a
    // moment, before its event is closed. The caller then frees the packets and their sample area.
    template <class Packet>
    void ReleasePackets(Packet* packets, uint32_t count, bool waveRt, HANDLE& extraEvent) {
        if (!packets || !count) return;
        if (waveRt) {
            pin->FreeBuffersWithNotification();
            if (extraEvent) CloseHandle(extraEvent);
            extraEvent = nullptr;
            return;
        }
        if (pin) pin->_SetState(KSSTATE_STOP);
        for (uint32_t i = 0; i < count; ++i) {
            HANDLE event = packets[i].overlapped.hEvent;
            if (!event) continue;
            if (packets[i].submitted) WaitForSingleObject(event, 20);
            CloseHandle(event);
        }
    }

    std::atomic<uint32_t> periodMs{100};
    uint32_t samplesPerPacket = 0;
    uint32_t startupSkip = 0;
    std::atomic<bool> starting{false};
    // Between Start and Stop. A packet that completes while the endpoint is stopped (a request the stop cancelled)
    // is not handed back to the device, so a stopped endpoint's thread only times out.
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    CEvent stopEvent{FALSE, FALSE};
    IAudioEndpointVolume* endpointVolume = nullptr;
    HidChannel hidChannel;

private:
    static DWORD WINAPI StreamThreadProc(LPVOID endpoint);
    void StreamLoop();
    // Runs a posted command, if any; true when one ran.
    void RunPendingCommand();

    HANDLE streamThread = nullptr;
    DWORD streamThreadId = 0;
    std::atomic<bool> loopEnded{true};
    // Command mailbox: the caller sets `startPending` and signals commandEvent; the stream thread runs the start
    // and signals commandDone.
    CEvent commandEvent{FALSE, FALSE};
    CEvent commandDone{FALSE, FALSE};
    std::atomic<bool> startPending{false};
    std::atomic<double> publishedRatio{1.0};
    std::atomic<double> publishedRate{0.0};
    std::atomic<uint64_t> packetsTransferred{0};
    std::atomic<uint64_t> packetsDelivered{0};
};
