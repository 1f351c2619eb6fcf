// A virtual kernel-streaming audio device: one filter with one streaming pin (capture or render) and a bridge
// pin, on its own crystal, as a USB microphone or a playback device presents itself to Windows. Clients reach it
// only through requests a real device also gets (property requests, pin creation, stream requests), and it
// refuses what a real device refuses: formats outside its ranges, a second pin instance, a buffer outside the
// stop state, a state jump, stream requests on a looped pin.
//
// Streaming: a device thread keeps the device's time. WaveRT (looped) pins complete one of two packets of the
// granted buffer at each packet boundary of the crystal and signal the registered event; standard-streaming pins
// fill (or play) the queued stream requests in order and complete them. Frames that fall due while nothing is
// ready to take them are lost, as on a real device.
//
// Threads: requests arrive on the client's threads, the device thread completes packets; one lock guards all
// state. Faults can be switched on from any thread at any time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/devices/audio_format.h"
#include "sim/devices/crystal.h"
#include "sim/os/virtual_kernel.h"

namespace sim::devices {

enum class Streaming { WaveRt, Standard };

struct KsDeviceSetup {
    bool capture = true;
    FormatSupport formats;
    Streaming streaming = Streaming::WaveRt;
    // Render pins in WaveRT mode: whether the pin takes KSPROPERTY_RTAUDIO_SETWRITEPACKET.
    bool writePacketSupport = true;
    double offsetPpm = 0.0;
    // A granted WaveRT buffer holds two packets of a whole multiple of this many frames (rounded up).
    ULONG bufferGranularityFrames = 1;
};

class KsAudioDevice : public std::enable_shared_from_this<KsAudioDevice> {
public:
    explicit KsAudioDevice(KsDeviceSetup setup);
    virtual ~KsAudioDevice();
    KsAudioDevice(const KsAudioDevice&) = delete;
    KsAudioDevice& operator=(const KsAudioDevice&) = delete;

    // The device is unplugged: its thread ends, pending requests are aborted, later requests fail.
    void Shutdown();
    // A file for the filter (CreateFileA on one of its interface paths).
    std::shared_ptr<sim::os::KernelFile> OpenFilter();

    // ---- Faults.
    void RefuseInstantiation(bool refuse);
    void RefuseEveryBufferSize(bool refuse);
    // Nothing moves for `duration`; the sound goes on meanwhile, so its frames are lost.
    void Stall(std::chrono::milliseconds duration);
    // The device's thread is held up by the machine for `duration`, as a real device's never is: its clock runs on,
    // and what falls due meanwhile is completed when the thread runs again, or at once when the device is asked
    // for its packet count.
    void HoldThread(std::chrono::milliseconds duration);
    // Nothing moves any more, for good.
    void StopForGood();
    // Every `everyNth` packet (or stream request) is completed `delay` late; the ones due meanwhile follow it.
    void DelayPackets(int everyNth, std::chrono::milliseconds delay);
    // Packets are held back and completed `count` at a time (with 2 WaveRT packets, more than 2 overwrite).
    void DeliverInBursts(int count);

    // ---- Observation.
    const Crystal& crystal() const { return crystal_; }
    bool PinOpen() const;
    std::optional<StreamFormat> Format() const;
    ULONG PinState() const;
    // Packets (WaveRT) or stream requests completed since the pin last stopped.
    uint64_t CompletedPackets() const;
    // Packets (or stream requests) completed more than their own length after their crystal had them due, since
    // the device was made: its thread was held up (a loaded machine; a fault that delays or bursts packets counts
    // too), which hardware never is. A client may have found such a packet already overwritten where a device's DMA
    // would have left it a whole packet's time to read it.
    uint64_t LatePackets() const;

protected:
    // Capture: the samples of frames [signalFrame, signalFrame + frames) into `destination`. Called with the
    // device lock held, on the device thread.
    virtual void Capture(const StreamFormat& format, int64_t signalFrame, BYTE* destination, ULONG frames);
    // When the crystal counts signal frame `signalFrame` of the running stream: the true instant that sample is
    // taken. Only from within Capture.
    Clock::time_point SignalFrameTime(int64_t signalFrame) const { return FrameTime(signalFrame - signalOffset_); }
    // Render: `frames` frames that the device plays from now on; `source` is null for an underrun (silence). The
    // device takes a packet (or a request's data) when it falls due on its crystal, and nothing written after that
    // reaches the speaker: the first frame sounds at `firstFrameTime`, that due moment, and the rest follow one
    // crystal frame apart (a gap of silence is dated from where it began). Called with the device lock held, on the
    // device thread or on the thread whose late stream request ends an underrun.
    virtual void Render(const StreamFormat& format, const BYTE* source, ULONG frames, Clock::time_point firstFrameTime);
    // The pin was closed: whatever the stream switched on is over.
    virtual void StreamClosed() {}

    mutable std::mutex lock_;
    const KsDeviceSetup setup_;

private:
    friend class FilterFile;
    friend class PinFile;
    struct StreamRequest {
        KSSTREAM_HEADER* header;
        sim::os::IoCompletion completion;
        DWORD thread;
        const void* file;
    };
    struct Pin {
        const void* file = nullptr;  // the open pin's file, to tell its requests apart
        StreamFormat format;
        bool looped = false;
        ULONG state = KSSTATE_STOP;
        std::unique_ptr<BYTE[]> buffer;
        ULONG bufferBytes = 0;
        ULONG packetFrames = 0;
        HANDLE notification = nullptr;  // the device's own reference to the registered event
        bool notifyPending = false;     // packets completed since the event was last set
        uint64_t packetsDone = 0;
        uint64_t announcedPacket = 0;  // render: highest packet number the client announced
        std::deque<StreamRequest> requests;
        int64_t nextFrame = 0;  // standard streaming: where the head request's frames begin
    };

    sim::os::IoAnswer PinProperty(const void* file, const KSPROPERTY& property, const BYTE* in, DWORD inSize, void* out,
                                  DWORD outSize);
    sim::os::IoAnswer FilterProperty(const KSPROPERTY& property, const BYTE* in, DWORD inSize, void* out,
                                     DWORD outSize);
    sim::os::IoAnswer StreamIo(const void* file, DWORD code, void* out, DWORD outSize,
                               const sim::os::IoCompletion& completion);
    DWORD CreatePin(const void* filterFile, const KSPIN_CONNECT* connect, DWORD connectSize,
                    std::shared_ptr<sim::os::KernelFile>& pin);
    void ClosePin(const void* file);
    void CancelPinRequests(const void* file, DWORD thread);
    void CancelRequests(const void* file, DWORD thread, bool anyThread);  // lock held
    sim::os::IoAnswer SetState(ULONG next);

    // Time keeping, all with the lock held.
    int64_t Position(Clock::time_point now) const;
    Clock::time_point FrameTime(int64_t frame) const;
    void UpdateClock(Clock::time_point now);
    // When the next completion falls due (a fault's delay or burst included) and, in `scheduled`, when the crystal
    // has that packet due.
    std::optional<Clock::time_point> NextDue(Clock::time_point* scheduled = nullptr) const;
    // How long the next packet (or the head request) lasts on the crystal.
    Clock::duration NextPacketLength() const;
    void CompleteNext();
    std::optional<Clock::time_point> CatchUp();
    void Run();
    // A copy between the WaveRT buffer and the device's own memory, as the hardware's DMA makes it.
    static void DmaTransfer(BYTE* to, const BYTE* from, size_t bytes);

    Crystal crystal_;
    std::condition_variable wake_;
    std::optional<Pin> pin_;
    bool quit_ = false;
    bool unplugged_ = false;
    // Faults.
    bool refuseInstantiation_ = false;
    bool refuseBuffers_ = false;
    std::optional<Clock::time_point> stallUntil_;
    std::optional<Clock::time_point> heldUntil_;
    bool dead_ = false;
    int delayEvery_ = 0;
    std::chrono::milliseconds delay_{0};
    int burst_ = 1;
    uint64_t latePackets_ = 0;
    // The stream's clock: frames counted from the last stop; the signal is a function of crystal time.
    bool clockRunning_ = false;
    Clock::time_point anchorTime_;
    int64_t anchorFrames_ = 0;
    int64_t signalOffset_ = 0;
    std::vector<BYTE> dmaScratch_;  // the device's side of a WaveRT packet transfer
    std::thread thread_;
};

}  // namespace sim::devices
