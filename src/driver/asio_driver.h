// CAsioDriver: one ASIO device made of up to eight microphones and two outputs.
//
// Owned by COM (created by the class factory, destroyed by its last Release). The host's thread makes every
// IASIO call, the construction and the destruction; the host is trusted not to call concurrently. The clock
// thread runs the ticks and the host's callbacks; endpoints' stream threads reach the driver only through the
// FIFOs, each behind its own lock. The fields that cross threads are atomics written by one side and polled
// by the other.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "asio/asio.h"
#include "com/unknown.h"
#include "device/device_manager.h"
#include "driver/com_apartment.h"
#include "sync/device_fifo.h"

struct OutputDeviceEntry {
    std::string friendlyName;             // shown in the control panel, compared with the "Output Device" setting
    std::basic_string<WCHAR> instanceId;  // device instance identifier
};

typedef HANDLE(WINAPI* AvSetMmThreadCharacteristicsFunction)(LPCSTR task, LPDWORD taskIndex);
typedef BOOL(WINAPI* AvRevertMmThreadCharacteristicsFunction)(HANDLE task);

class CAsioDriver : public IASIO, public CUnknown {
public:
    static constexpr int kMaxInputs = 8;
    static constexpr int kNumOutputs = 2;
    static constexpr int32_t kMinBufferSize = 144;
    static constexpr int32_t kMaxBufferSize = 1152;
    static constexpr int32_t kBufferGranularity = 144;
    static constexpr int32_t kDefaultBufferSize = 288;
    static constexpr int kErrorMessageCapacity = 128;
    static constexpr int kSilenceSamples = 2304;

    CAsioDriver(IUnknown* outer, HRESULT* result, bool isFloat);
    ~CAsioDriver() override;

    // IUnknown of the IASIO interface: forwarded to the outer unknown.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return GetOwner()->QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return GetOwner()->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return GetOwner()->Release(); }
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;

    // IASIO
    ASIOBool init(void* systemHandle) override;
    void getDriverName(char* name) override;
    int32_t getDriverVersion() override;
    void getErrorMessage(char* text) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
    ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;
    ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize, int32_t* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate rate) override;
    ASIOError getSampleRate(ASIOSampleRate* rate) override;
    ASIOError setSampleRate(ASIOSampleRate rate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) override;
    ASIOError setClockSource(int32_t reference) override;
    ASIOError getSamplePosition(ASIOSamples* position, ASIOTimeStamp* timeStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(int32_t selector, void* opt) override;
    ASIOError outputReady() override;

    // Device open and close sequence.
    bool OpenDevices();
    // Opens every playback device at `outputRate` and keeps the one named by the "Output Device" setting on the
    // output FIFO; true when one is attached.
    bool OpenOutputDevice(uint32_t inputRate, uint32_t outputRate, uint16_t channelCount, uint32_t bufferFrames);
    void CloseDevices();
    // The latencies reported to the host, from the buffer size and the steered fills.
    void UpdateLatencies();
    // The fills the FIFOs are steered to, in frames of the driver's rate: 2.5 buffers for a microphone (the
    // capture data callback's target), 3.5 for the output (the clock's own).
    static uint32_t CaptureFillTargetFrames(uint32_t bufferFrames) { return bufferFrames * 5 / 2; }
    static uint32_t RenderFillTargetFrames(uint32_t bufferFrames) { return bufferFrames * 7 / 2; }
    // Puts every FIFO on the converter the settings ask for; only while no audio thread runs.
    void ApplyConverterQuality();
    // Clock thread.
    bool StartClock();
    void StopClock();
    // One tick of the clock thread: gather the inputs, scatter the outputs, switch buffers. False when the host
    // released the driver from inside its callback. Clock thread, or a caller that stands in for it (the
    // virtual-time drift harness) while no clock thread runs.
    bool Tick();
    // The clock fell so far behind that it gives up the ticks it missed and restarts its schedule at `now`: the
    // host never gets those buffers. Every stream is put back at the latency reported, as after a drop-out. Clock
    // thread, or a caller that stands in for it while no clock thread runs.
    void GiveUpMissedTicks(int64_t now);

    // The record. Public: the settings store, the control panel and the tests read and write it directly.
    std::unique_ptr<ComApartmentGuard> apartmentAtCreate;
    double samplePosition = 0;
    ASIOSampleRate sampleRate = 48000.0;
    double outputSampleRate = 48000.0;
    uint32_t decimationFactor = 1;
    ASIOCallbacks* callbacks = nullptr;
    ASIOTime asioTime{};
    uint32_t systemTimeHi = 0;
    uint32_t systemTimeLo = 0;
    std::unique_ptr<ComApartmentGuard> apartmentAtOpen;
    HANDLE clockThread = INVALID_HANDLE_VALUE;
    uint32_t clockThreadId = 0;
    std::atomic<uint32_t> dropOutCount{0};
    // Each microphone's overrun packets already counted among the drop-outs. Clock thread only.
    uint64_t overrunsSeen[kMaxInputs] = {};
    // Each microphone whose stream broke off (the host got silence, or a trim dropped audio) and resumes only from
    // the fill it is steered to, as at its first buffer. Clock thread only.
    bool resuming[kMaxInputs] = {};
    uint64_t outputOverrunsSeen = 0;
    std::atomic<uint32_t> lateSkipCount{0};  // of those, the times the clock fell so far behind it gave up ticks
    std::atomic<uint32_t> latencyFrames{0};
    std::atomic<uint32_t> preferredBufferSize{kDefaultBufferSize};
    int32_t* inputBuffers[kMaxInputs] = {};
    int32_t inputChannelMap[kMaxInputs] = {};
    int32_t* outputBuffers[kNumOutputs] = {};
    int32_t outputChannelMap[kNumOutputs] = {};
    int32_t silence[kSilenceSamples] = {};
    int32_t bufferSize = kDefaultBufferSize;
    uint32_t inputLatency = 0;  // set by UpdateLatencies
    uint32_t outputLatency = 0;
    int32_t numInputs = 0;
    int32_t numOutputs = 0;
    int32_t numActiveInputs = 0;
    int32_t numActiveOutputs = 0;
    uint32_t bufferIndex = 0;
    bool initialised = false;
    bool started = false;
    bool timeInfoMode = false;
    char errorMessage[kErrorMessageCapacity] = {};
    HANDLE panelThread = INVALID_HANDLE_VALUE;
    uint32_t panelThreadId = 0;
    std::atomic<HWND> panelWindow{nullptr};
    std::atomic<bool> panelQuit{false};
    std::atomic<bool> panelStarting{false};
    // Panel threads that did not end in time and had to be terminated; a sound panel never adds to it.
    std::atomic<uint32_t> panelThreadsTerminated{0};
    bool modelessPanel = false;
    bool autoOpenPanel = false;
    bool panelOpenedByHost = false;
    bool showMetrics = false;
    bool settingsLoaded = false;  // only settings that were loaded are ever written back
    ConverterQuality converterQuality = ConverterQuality::Quadratic;  // from the settings, never saved
    const bool isFloat;
    bool firmwareUpdateRequired = false;
    uint32_t panelOpenTime = 0;
    std::string outputDeviceName;
    std::vector<OutputDeviceEntry> outputDevices;
    // Guards outputDeviceName and outputDevices against the control panel's thread, which lists the devices when
    // it opens and replaces the name when the user picks another output, while the host's thread may load the
    // settings or reopen the devices.
    std::mutex settingsLock;
    // Guards what the control panel's thread reads of the open devices (each microphone FIFO's `device`, numInputs
    // and sampleRate) against a reopen on the host's thread, which holds it while it changes them and while it
    // destroys the endpoints those pointers name. The audio threads never take it: they do not run while the
    // devices are reopened.
    std::mutex deviceStateLock;
    std::atomic<bool> clockExit{false};
    std::atomic<bool> clockRunning{false};
    std::atomic<uint32_t> tickCount{0};
    // The performance-counter time the tick now running was due: when, on the clock's schedule, the host's buffer
    // is delivered and the output's pushed. Clock thread only.
    int64_t tickCounter = 0;
    HMODULE avrtModule = nullptr;
    AvSetMmThreadCharacteristicsFunction avSetMmThreadCharacteristics = nullptr;
    AvRevertMmThreadCharacteristicsFunction avRevertMmThreadCharacteristics = nullptr;

    // FIFO plus converter of microphones 1 to 8 and towards the playback device; each has the driver as owner.
    DeviceFifo inputFifos[kMaxInputs]{this, this, this, this, this, this, this, this};
    DeviceFifo outputFifo{this};
    // The endpoints. Declared after the FIFOs so that it is destroyed first: its endpoints' stream threads feed
    // and drain the FIFOs until they end.
    CKSDeviceManager deviceManager;
    // Time-info flags raised on the host's thread (setClockSource) and merged into asioTime by the clock thread
    // before its next bufferSwitchTimeInfo, so that the host never reads asioTime while another thread writes it.
    std::atomic<uint32_t> pendingTimeFlags{0};
    // The clock thread's float view of one host half: inputs are pulled here before they are written to the
    // host's 32-bit samples, outputs are converted and decimated here, so the host's buffers are only ever
    // accessed as the type the host declared.
    float inputScratch[kSilenceSamples] = {};
    float outputScratch[kNumOutputs][kSilenceSamples] = {};

private:
    // Whether the caller is this driver's clock thread (a host call made from inside a callback).
    bool OnOwnClockThread() const;
    static DWORD WINAPI ClockThreadProc(LPVOID driver);
    bool PrimeInput(DeviceFifo& fifo, uint32_t frames);
    void ClockLoop();
    void GatherInputs(uint32_t frames, uint32_t offset);
    void ScatterOutputs(uint32_t frames, uint32_t offset);
    void SwitchBuffers();
    // Where the device manager starts, stops and resizes the endpoints' streams.
    void StartEndpoints();
    void StopEndpoints();
    void ResizeEndpoint(CKSDevice* endpoint, uint32_t frames);
};
