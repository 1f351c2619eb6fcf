// The endpoint base: format negotiation, the stream thread and its loop, the system endpoint and its volume.
#include "device/ks_device.h"

#include <cmath>
#include <cstring>

#include "ks/ks_trace.h"

namespace {

// The standard speaker configurations, tried in this order for a capture request of an unusual channel count.
const DWORD kSpeakerMasks[] = {0x80000000u, 0x0u, 0x4u, 0x3u, 0x33u, 0x107u, 0x3Fu, 0xFFu, 0x60Fu, 0x63Fu};

struct Bits {
    WORD container;
    WORD valid;
};

WAVEFORMATEXTENSIBLE ExtensibleFormat(WORD channels, DWORD rate, Bits bits, DWORD mask) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits.container;
    f.Format.nBlockAlign = static_cast<WORD>(channels * (bits.container / 8));
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * rate;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits.valid;
    f.dwChannelMask = mask;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

// A plain PCM format in an extensible record whose extension stays zero: the pin reads only the first 18 bytes.
WAVEFORMATEXTENSIBLE PlainFormat(WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_PCM;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<WORD>(channels * (bits / 8));
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * rate;
    f.Format.cbSize = 0;
    return f;
}

template <class Filter, class Create>
CKsAudPin* Negotiate(Filter* filter, WORD channels, DWORD rate, const std::vector<DWORD>& masks,
                     const std::vector<Bits>& extensible, const std::vector<WORD>& plain, Create create) {
    if (!filter || channels == 0 || rate == 0) return nullptr;
    for (DWORD mask : masks) {
        for (Bits bits : extensible) {
            WAVEFORMATEXTENSIBLE f = ExtensibleFormat(channels, rate, bits, mask);
            if (CKsAudPin* pin = create(filter, &f.Format)) return pin;
        }
    }
    for (WORD bits : plain) {
        WAVEFORMATEXTENSIBLE f = PlainFormat(channels, rate, bits);
        if (CKsAudPin* pin = create(filter, &f.Format)) return pin;
    }
    return nullptr;
}

typedef HANDLE(WINAPI* AvSetTask)(LPCSTR task, LPDWORD taskIndex);
typedef BOOL(WINAPI* AvSetPriority)(HANDLE task, int priority);
typedef BOOL(WINAPI* AvRevert)(HANDLE task);
constexpr int kAvrtPriorityCritical = 2;

template <class Interface>
void Release(Interface*& object) {
    if (object) object->Release();
    object = nullptr;
}

// Whether `id` occurs in `text` (exact, case-sensitive); an empty id occurs everywhere.
bool Contains(const std::basic_string<WCHAR>& text, const WCHAR* id) {
    if (!id) return false;
    return text.find(id) != std::basic_string<WCHAR>::npos;
}

}  // namespace

// ---- Format negotiation

CKsAudPin* CKSDevice::CreateCapturePinForFormat(CKsAudCapFilter* filter, WORD channels, DWORD rate) {
    std::vector<DWORD> masks;
    if (channels == 1) {
        masks = {0x4u};
    } else if (channels == 2) {
        masks = {0x0u, 0x3u};
    } else {
        masks = {0x0u, channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1u};
        masks.insert(masks.end(), std::begin(kSpeakerMasks), std::end(kSpeakerMasks));
    }
    return Negotiate(filter, channels, rate, masks, {{32, 32}, {24, 24}, {32, 24}, {16, 16}}, {24, 32, 16},
                     [](CKsAudCapFilter* f, const WAVEFORMATEX* format) { return f->CreateCapturePin(format, 1, 0); });
}

CKsAudPin* CKSDevice::CreateRenderPinForFormat(CKsAudRenFilter* filter, WORD channels, DWORD rate) {
    const DWORD mask = channels == 1 ? 0x4u : channels == 2 ? 0x3u : 0x0u;
    return Negotiate(filter, channels, rate, {mask}, {{32, 32}, {32, 24}, {24, 24}, {16, 16}}, {24, 32, 16},
                     [](CKsAudRenFilter* f, const WAVEFORMATEX* format) { return f->CreateRenderPin(format, 1, 0); });
}

// ---- Life

CKSDevice::CKSDevice(CKsAudPin* openPin, DataCallback callback, void* context)
    : dataCallback(callback), callbackContext(context), pin(openPin) {
    // The measurement's windows are lengths of time: take the counter's real frequency rather than assume one.
    LARGE_INTEGER frequency{};
    if (QueryPerformanceFrequency(&frequency)) rate.SetCounterFrequency(frequency.QuadPart);
    const WAVEFORMATEX* format = pin ? pin->m_pwfx : nullptr;
    if (format) {
        validBitsPerSample = format->wBitsPerSample;
        if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22) {
            WAVEFORMATEXTENSIBLE extensible;
            std::memcpy(&extensible, format, sizeof extensible);
            validBitsPerSample = extensible.Samples.wValidBitsPerSample;
        }
    }
}

CKSDevice::~CKSDevice() {
    // The derived destructor has ended the threads and released the packets.
    EndStreamThread();
    Release(endpointVolume);
    if (pin) {
        pin->ClosePin();
        // The buffer went with the pin's handle: a later instance of this pin must map its own.
        pin->m_pBuffer = nullptr;
        pin->m_cbBuffer = 0;
    }
    hidChannel.Close();
}

uint32_t CKSDevice::BitsPerSample() const { return (pin && pin->m_pwfx) ? pin->m_pwfx->wBitsPerSample : 0; }
uint32_t CKSDevice::BytesPerSample() const { return BitsPerSample() / 8; }

void CKSDevice::SetPeriodFor(uint32_t samples) {
    const WAVEFORMATEX* format = pin ? pin->m_pwfx : nullptr;
    uint64_t ms = 0;
    if (format && format->nChannels && format->nSamplesPerSec)
        ms =
            static_cast<uint64_t>(samples) * 1000 / (static_cast<uint64_t>(format->nChannels) * format->nSamplesPerSec);
    if (ms > 0xFFFFFFFFu / kTimeoutPeriods) ms = 0xFFFFFFFFu / kTimeoutPeriods - 1;  // keeps 4 periods below INFINITE
    if (pin) pin->SetBufferDuration(static_cast<ULONG>(ms));
    periodMs.store(ms == 0 ? 1 : static_cast<uint32_t>(ms));
}

void CKSDevice::Stop() {
    running.store(false);
    if (pin) pin->_SetState(KSSTATE_STOP);
}

void CKSDevice::ResetPin() {
    if (pin) pin->Reset();
}

// ---- Start: a command for the stream thread

void CKSDevice::Start() {
    if (streamThread && !loopEnded.load()) {
        startPending.store(true);
        SetEvent(commandEvent.handle);
        HANDLE waits[2] = {commandDone.handle, streamThread};
        const DWORD r = WaitForMultipleObjects(2, waits, FALSE, kCommandWaitMs);
        if (r == WAIT_OBJECT_0) return;
        // The thread ended (or is stuck): if it never took the command, nobody else will touch the packets.
        if (r == WAIT_OBJECT_0 + 1 && startPending.exchange(false)) StartOnStreamThread();
        return;
    }
    StartOnStreamThread();
}

void CKSDevice::RunPendingCommand() {
    if (startPending.exchange(false)) StartOnStreamThread();
    SetEvent(commandDone.handle);
}

// ---- Stream thread

bool CKSDevice::StartStreamThread() {
    stopRequested.store(false);
    WaitForSingleObject(stopEvent.handle, 0);
    if (streamThread && WaitForSingleObject(streamThread, 0) == WAIT_OBJECT_0) {
        // A thread that left its loop for good is replaced.
        CloseHandle(streamThread);
        streamThread = nullptr;
    }
    if (!streamThread) {
        loopEnded.store(false);
        DWORD id = 0;
        streamThread = CreateThread(nullptr, 0, &CKSDevice::StreamThreadProc, this, 0, &id);
        if (!streamThread) {
            loopEnded.store(true);
            TraceKs(3, "\nFailed to create the stream thread");
            return false;
        }
        streamThreadId = id;
    }
    SetThreadPriority(streamThread, THREAD_PRIORITY_TIME_CRITICAL);
    return true;
}

void CKSDevice::EndStreamThread() {
    if (!streamThread) return;
    stopRequested.store(true);
    SetEvent(stopEvent.handle);
    // The loop's every wait ends on the stop event, so this returns within one period's work.
    WaitForSingleObject(streamThread, INFINITE);
    CloseHandle(streamThread);
    streamThread = nullptr;
    streamThreadId = 0;
}

bool CKSDevice::StreamThreadEnded() const { return !streamThread || loopEnded.load(); }

DWORD WINAPI CKSDevice::StreamThreadProc(LPVOID argument) {
    CKSDevice* endpoint = static_cast<CKSDevice*>(argument);
    HMODULE avrt = LoadLibraryA("Avrt.dll");
    HANDLE task = nullptr;
    AvRevert revert = nullptr;
    if (avrt) {
        auto setTask =
            reinterpret_cast<AvSetTask>(reinterpret_cast<void*>(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsA")));
        auto setPriority =
            reinterpret_cast<AvSetPriority>(reinterpret_cast<void*>(GetProcAddress(avrt, "AvSetMmThreadPriority")));
        revert = reinterpret_cast<AvRevert>(
            reinterpret_cast<void*>(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics")));
        DWORD taskIndex = 0;
        if (setTask) task = setTask("Pro Audio", &taskIndex);
        if (task && setPriority) setPriority(task, kAvrtPriorityCritical);
    }
    endpoint->StreamLoop();
    if (task && revert) revert(task);
    if (avrt) FreeLibrary(avrt);
    return 0;
}

// Stream thread from here on. The period path allocates nothing, takes no lock but the FIFO's (in the callback),
// prints nothing.
void CKSDevice::StreamLoop() {
    HANDLE waits[3] = {nullptr, stopEvent.handle, commandEvent.handle};
    uint32_t lastSamples = 0;
    while (!stopRequested.load()) {
        uint32_t index = 0;
        waits[0] = GetCurrentPacketEvent(index);
        // Without packets there is nothing to wait for: the endpoint delivers nothing until it is resized.
        if (!waits[0]) break;
        const DWORD r = WaitForMultipleObjects(3, waits, FALSE, kTimeoutPeriods * periodMs.load());
        if (r == WAIT_OBJECT_0 + 1) break;
        if (r == WAIT_OBJECT_0 + 2) {
            RunPendingCommand();
            continue;
        }
        if (r == WAIT_FAILED || (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + 3)) break;
        if (r != WAIT_OBJECT_0) continue;  // time-out: nothing moved, nothing is measured
        if (NothingNew()) continue;

        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        const double countsPerSample = rate.CountsPerSample(channels);
        const uint32_t lost = SamplesMissed(completion.SamplesBehind(now.QuadPart, lastSamples, countsPerSample));
        // The stamp is never later than the time read after the device's count: every packet the count takes in
        // was complete by then. Read before it, by a thread held up in between, it would date them before they were.
        if (lost > 0) QueryPerformanceCounter(&now);
        const int64_t completed = completion.Step(now.QuadPart, lastSamples + lost, countsPerSample);
        packetCounter.store(completed, std::memory_order_relaxed);
        packetsTransferred.fetch_add(1, std::memory_order_relaxed);
        const uint32_t n = TransferPacket(index, true);
        lastSamples = n;
        // Measured at the newest packet's completion, not at the wake: a wake 3 ms late at either end of the first
        // ten-second window would otherwise put 300 ppm into the rate the steering is built on. The packets the
        // device wrote over count too: they were sampled on its crystal all the same.
        rate.Step(packetCounter.load(std::memory_order_relaxed), n + lost);
        publishedRatio.store(rate.rateRatio, std::memory_order_relaxed);
        publishedRate.store(rate.measuredRate, std::memory_order_relaxed);
    }
    // A start posted just as the loop ended is carried out by its caller, who sees this thread end.
    loopEnded.store(true);
}

void CKSDevice::StampNextPacket(uint32_t samples) {
    const double counts = static_cast<double>(samples) * rate.CountsPerSample(channels);
    packetCounter.store(packetCounter.load(std::memory_order_relaxed) + std::llround(counts),
                        std::memory_order_relaxed);
}

void CKSDevice::DeliverSkipped(float* scratch, uint32_t count) {
    // Nothing played yet, nothing owed: the start-up periods are played as silence anyway.
    if (count == 0 || !running.load() || starting.load() || startupSkip > 0 || !skippedCallback) return;
    skippedCallback(scratch, count, channels, rate.rateRatio, callbackContext);
}

void CKSDevice::Deliver(float* samples, uint32_t count) {
    // Requests that a stop cancelled come back empty; nothing is handed on between Stop and the next Start.
    if (count == 0 || !running.load() || starting.load()) return;
    // Counted per packet, not per wake: a late wake may take two.
    if (startupSkip > 0) {
        --startupSkip;
        return;
    }
    if (!dataCallback) return;
    dataCallback(samples, count, channels, rate.rateRatio, callbackContext);
    packetsDelivered.fetch_add(1, std::memory_order_relaxed);
}

// ---- System endpoint

GUID CKSDevice::FindSystemEndpoint(bool capture) {
    GUID container{};
    IMMDeviceEnumerator* enumerator = nullptr;
    IMMDeviceCollection* collection = nullptr;
    if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IMMDeviceEnumerator,
                                reinterpret_cast<void**>(&enumerator))) ||
        !enumerator ||
        FAILED(enumerator->EnumAudioEndpoints(capture ? eCapture : eRender, DEVICE_STATE_ACTIVE, &collection)) ||
        !collection) {
        Release(collection);
        Release(enumerator);
        return container;
    }
    UINT count = 0;
    if (FAILED(collection->GetCount(&count))) count = 0;
    for (UINT i = 0; i < count && !endpointVolume; ++i) {
        IMMDevice* device = nullptr;
        if (FAILED(collection->Item(i, &device)) || !device) continue;
        IPropertyStore* store = nullptr;
        const bool readable = SUCCEEDED(device->OpenPropertyStore(STGM_READ, &store)) && store;
        Release(store);
        LPWSTR id = nullptr;
        if (readable && SUCCEEDED(device->GetId(&id)) && Contains(deviceInstanceId, id)) {
            if (FAILED(device->Activate(IID_IAudioEndpointVolume, CLSCTX_INPROC_SERVER, nullptr,
                                        reinterpret_cast<void**>(&endpointVolume))))
                endpointVolume = nullptr;
            IDeviceTopology* topology = nullptr;
            IConnector* connector = nullptr;
            LPWSTR connectedTo = nullptr;
            IMMDevice* adapter = nullptr;
            IPropertyStore* adapterStore = nullptr;
            if (SUCCEEDED(
                    device->Activate(IID_IDeviceTopology, CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&topology))) &&
                topology && SUCCEEDED(topology->GetConnector(0, &connector)) && connector &&
                SUCCEEDED(connector->GetDeviceIdConnectedTo(&connectedTo)) && connectedTo &&
                SUCCEEDED(enumerator->GetDevice(connectedTo, &adapter)) && adapter &&
                SUCCEEDED(adapter->OpenPropertyStore(STGM_READ, &adapterStore)) && adapterStore) {
                PROPVARIANT value;
                PropVariantInit(&value);
                if (SUCCEEDED(adapterStore->GetValue(PKEY_Device_ContainerId, &value)) && value.vt == VT_CLSID &&
                    value.puuid)
                    container = *value.puuid;
                PropVariantClear(&value);
            }
            Release(adapterStore);
            Release(adapter);
            if (connectedTo) CoTaskMemFree(connectedTo);
            Release(connector);
            Release(topology);
        }
        if (id) CoTaskMemFree(id);
        Release(device);
    }
    Release(collection);
    Release(enumerator);
    return container;
}

void CKSDevice::ReadVolumeRange() {
    volumeMinDb = volumeMaxDb = volumeStepDb = 0.0f;
    DWORD support = 0;
    if (endpointVolume && SUCCEEDED(endpointVolume->QueryHardwareSupport(&support)) &&
        (support & ENDPOINT_HARDWARE_SUPPORT_VOLUME)) {
        float minDb = 0, maxDb = 0, stepDb = 0;
        if (SUCCEEDED(endpointVolume->GetVolumeRange(&minDb, &maxDb, &stepDb))) {
            volumeMinDb = minDb;
            volumeMaxDb = maxDb;
            volumeStepDb = stepDb;
        }
    }
}

float CKSDevice::GetGainDb() {
    float db = 0.0f;
    if (!endpointVolume || FAILED(endpointVolume->GetMasterVolumeLevel(&db))) return 0.0f;
    return db;
}

void CKSDevice::SetGainDb(float db) {
    if (endpointVolume) endpointVolume->SetMasterVolumeLevel(db, nullptr);
}
