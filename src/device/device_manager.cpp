// The device manager: finding the filters, opening and owning the endpoints, starting and stopping them.
#include "device/device_manager.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "device/capture_endpoint.h"
#include "device/ks_device.h"
#include "device/render_endpoint.h"
#include "ks/ks_trace.h"

namespace {

const GUID kCaptureCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};
const GUID kRenderCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};

// The key a path is searched for: lower case, with '#' where the match string has '\', as the system writes
// device-interface paths.
std::string KeyOf(const std::string& matchString) {
    std::string key;
    for (char c : matchString) {
        if (key.size() >= CKSDeviceManager::kMaxKeyChars) break;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '\\') c = '#';
        key.push_back(c);
    }
    return key;
}

std::string Lower(const char* text) {
    std::string lower;
    for (const char* c = text; *c; ++c)
        lower.push_back((*c >= 'A' && *c <= 'Z') ? static_cast<char>(*c - 'A' + 'a') : *c);
    return lower;
}

std::unique_ptr<CKsEnumFilters> NewEnumerator() {
    HRESULT hr = S_OK;
    std::unique_ptr<CKsEnumFilters> filters(new (std::nothrow) CKsEnumFilters(hr));
    if (filters && FAILED(hr)) filters.reset();
    return filters;
}

// The endpoint kinds, by filter type.
template <class Filter>
struct Kind;
template <>
struct Kind<CKsAudCapFilter> {
    static constexpr KsFilterType kType = CKsFilter::eCapture;
    static constexpr const char* kFailure = "\nFailed to create KSCapturePin (%s)";
    static CKsAudPin* Pin(CKsAudCapFilter* f, WORD channels, DWORD rate) {
        return CKSDevice::CreateCapturePinForFormat(f, channels, rate);
    }
    static CKSDevice* New(CKsAudPin* pin, DataCallback callback, void* context) {
        auto* endpoint = new (std::nothrow) CInputCaptureKS(pin, callback, context);
        if (endpoint) {
            const WAVEFORMATEX* f = pin->m_pwfx;
            endpoint->format24In32 = f && f->wFormatTag == WAVE_FORMAT_EXTENSIBLE && f->wBitsPerSample == 32 &&
                                     endpoint->validBitsPerSample == 24;
        }
        return endpoint;
    }
};
template <>
struct Kind<CKsAudRenFilter> {
    static constexpr KsFilterType kType = CKsFilter::eRender;
    static constexpr const char* kFailure = "\nFailed to create KSRenderPin (%s)";
    static CKsAudPin* Pin(CKsAudRenFilter* f, WORD channels, DWORD rate) {
        return CKSDevice::CreateRenderPinForFormat(f, channels, rate);
    }
    static CKSDevice* New(CKsAudPin* pin, DataCallback callback, void* context) {
        return new (std::nothrow) COutputRenderKS(pin, callback, context);
    }
};

}  // namespace

CKSDeviceManager::CKSDeviceManager() {
    InitializeCriticalSection(&lock);
    captureFilters = NewEnumerator();
    renderFilters = NewEnumerator();
    devices.reserve(kMaxDevices);
    runningDevices.reserve(kMaxDevices);
}

CKSDeviceManager::~CKSDeviceManager() {
    CloseAll();
    captureFilters.reset();
    renderFilters.reset();
    DeleteCriticalSection(&lock);
}

void CKSDeviceManager::Lock() {
    EnterCriticalSection(&lock);
    ++lockDepth;
}

void CKSDeviceManager::Unlock() {
    --lockDepth;
    LeaveCriticalSection(&lock);
}

bool CKSDeviceManager::Enumerate() {
    Lock();
    const bool open = !devices.empty();
    Unlock();
    if (open) return false;
    if (captureFilters) captureFilters->EnumFilters(CKsFilter::eCapture, kCaptureCategories, 2, TRUE, FALSE, TRUE);
    if (renderFilters) renderFilters->EnumFilters(CKsFilter::eRender, kRenderCategories, 2, TRUE, FALSE, TRUE);
    return true;
}

std::vector<CKSDevice*> CKSDeviceManager::OpenCaptureDevices(const std::vector<std::string>& matchStrings,
                                                             uint32_t sampleRate, uint16_t channels,
                                                             uint32_t framesPerPacket, DataCallback callback,
                                                             void* context) {
    std::vector<CKSDevice*> all;
    for (const std::string& match : matchStrings) {
        auto some = OpenCaptureEndpoints(match, sampleRate, channels, framesPerPacket, callback, context, false);
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

std::vector<CKSDevice*> CKSDeviceManager::OpenRenderDevices(const std::vector<std::string>& matchStrings,
                                                            uint32_t sampleRate, uint16_t channels,
                                                            uint32_t framesPerPacket, DataCallback callback,
                                                            void* context) {
    std::vector<CKSDevice*> all;
    for (const std::string& match : matchStrings) {
        auto some = OpenRenderEndpoints(match, sampleRate, channels, framesPerPacket, callback, context, false);
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

std::vector<CKSDevice*> CKSDeviceManager::OpenCaptureEndpoints(const std::string& matchString, uint32_t sampleRate,
                                                               uint16_t channels, uint32_t framesPerPacket,
                                                               DataCallback callback, void* context, bool onlyFirst) {
    return OpenEndpoints<CKsAudCapFilter>(true, matchString, sampleRate, channels, framesPerPacket, callback, context,
                                          onlyFirst);
}

std::vector<CKSDevice*> CKSDeviceManager::OpenRenderEndpoints(const std::string& matchString, uint32_t sampleRate,
                                                              uint16_t channels, uint32_t framesPerPacket,
                                                              DataCallback callback, void* context, bool onlyFirst) {
    return OpenEndpoints<CKsAudRenFilter>(false, matchString, sampleRate, channels, framesPerPacket, callback, context,
                                          onlyFirst);
}

template <class Filter>
std::vector<CKSDevice*> CKSDeviceManager::OpenEndpoints(bool capture, const std::string& matchString,
                                                        uint32_t sampleRate, uint16_t channels,
                                                        uint32_t framesPerPacket, DataCallback callback, void* context,
                                                        bool onlyFirst) {
    std::vector<CKSDevice*> result;
    CKsEnumFilters* filters = capture ? captureFilters.get() : renderFilters.get();
    if (!filters || channels == 0 || sampleRate == 0) return result;
    const std::string key = KeyOf(matchString);
    const uint64_t samples = static_cast<uint64_t>(channels) * framesPerPacket;

    for (CKsFilter* candidate : filters->m_listFilters) {
        if (!candidate || candidate->GetType() != Kind<Filter>::kType) continue;
        if (Lower(candidate->m_szFilterName).find(key) == std::string::npos) continue;
        if (onlyFirst && !result.empty()) break;
        // Refused rather than left unowned: the manager holds at most kMaxDevices endpoints.
        Lock();
        const bool full = devices.size() >= kMaxDevices;
        Unlock();
        if (full) {
            TraceKs(3, "\nEndpoint refused: %u endpoints are open already", static_cast<unsigned>(kMaxDevices));
            break;
        }
        auto* filter = static_cast<Filter*>(candidate);
        CKsAudPin* pin = Kind<Filter>::Pin(filter, static_cast<WORD>(channels), sampleRate);
        if (!pin) {
            TraceKs(3, Kind<Filter>::kFailure, key.c_str());
            continue;
        }
        std::unique_ptr<CKSDevice> endpoint(Kind<Filter>::New(pin, callback, context));
        if (!endpoint) {
            pin->ClosePin();
            continue;
        }
        endpoint->floatSamples.store(pin->IsFloatFormat());
        endpoint->channels = pin->m_pwfx ? pin->m_pwfx->nChannels : channels;
        endpoint->CreateBuffers(samples > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(samples));
        if (pin->m_pwfx) endpoint->rate.SetNominalRate(static_cast<double>(pin->m_pwfx->nSamplesPerSec));
        endpoint->StartStreamThread();
        endpoint->friendlyName = candidate->m_szFriendlyName;
        endpoint->deviceInstanceId = candidate->m_wszDeviceProperty;
        endpoint->AttachEndpoint();
        endpoint->ReadVolumeRange();
        endpoint->matchString = matchString;

        Lock();
        result.push_back(endpoint.get());
        devices.push_back(std::move(endpoint));
        Unlock();
    }
    return result;
}

void CKSDeviceManager::StartAll() {
    Lock();
    std::vector<CKSDevice*> fresh;
    for (auto& device : devices)
        if (std::find(runningDevices.begin(), runningDevices.end(), device.get()) == runningDevices.end())
            fresh.push_back(device.get());
    // Every endpoint is held at most once in each list, so the running ones never exceed kMaxDevices.
    runningDevices.insert(runningDevices.end(), fresh.begin(), fresh.end());
    // Each start re-arms the endpoint's measurement on its own stream thread; a microphone's HID exchange runs
    // beside it, so this returns without waiting for any microphone's answer.
    for (CKSDevice* device : fresh) device->Start();
    Unlock();
}

void CKSDeviceManager::StopAll() {
    Lock();
    for (CKSDevice* device : runningDevices) device->Stop();
    runningDevices.clear();
    Unlock();
}

void CKSDeviceManager::CloseAll() {
    Lock();
    StopAll();
    std::vector<std::unique_ptr<CKSDevice>> closing;
    closing.swap(devices);
    devices.reserve(kMaxDevices);
    Unlock();
    // Destroyed outside the lock: each waits for its own threads, which never take the lock.
    closing.clear();
}

bool CKSDeviceManager::Holds(CKSDevice* endpoint) {
    if (!endpoint) return false;
    Lock();
    const bool held = std::any_of(devices.begin(), devices.end(), [&](auto& d) { return d.get() == endpoint; });
    Unlock();
    return held;
}

size_t CKSDeviceManager::DeviceCount() {
    Lock();
    const size_t n = devices.size();
    Unlock();
    return n;
}

size_t CKSDeviceManager::RunningCount() {
    Lock();
    const size_t n = runningDevices.size();
    Unlock();
    return n;
}

void CKSDeviceManager::RemoveDevice(CKSDevice* endpoint) {
    if (!endpoint) return;
    std::unique_ptr<CKSDevice> removed;
    Lock();
    auto held = std::find_if(devices.begin(), devices.end(), [&](auto& d) { return d.get() == endpoint; });
    if (held != devices.end()) {
        endpoint->Stop();
        auto running = std::find(runningDevices.begin(), runningDevices.end(), endpoint);
        if (running != runningDevices.end()) runningDevices.erase(running);
        removed = std::move(*held);
        devices.erase(held);
    }
    Unlock();
}

void CKSDeviceManager::ResizeDevice(CKSDevice* endpoint, uint32_t framesPerPacket) {
    if (!Holds(endpoint)) return;
    endpoint->Stop();
    endpoint->Stop();
    endpoint->EndStreamThread();
    endpoint->FreeBuffers();
    endpoint->ResetPin();
    const uint64_t samples = static_cast<uint64_t>(endpoint->channels) * framesPerPacket;
    endpoint->CreateBuffers(samples > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(samples));
    endpoint->StartStreamThread();
}

// The accessors hold the lock while they use the endpoint, so that a removal on another thread (the host's,
// while the control panel reads a gain) cannot destroy it under them.
template <class Action>
void CKSDeviceManager::WithHeld(CKSDevice* endpoint, Action action) {
    if (!endpoint) return;
    Lock();
    if (std::any_of(devices.begin(), devices.end(), [&](auto& d) { return d.get() == endpoint; })) action(*endpoint);
    Unlock();
}

void CKSDeviceManager::SetDataCallback(CKSDevice* endpoint, DataCallback callback, void* context,
                                       DataCallback skipped) {
    WithHeld(endpoint, [&](CKSDevice& e) {
        e.dataCallback = callback;
        e.skippedCallback = skipped;
        e.callbackContext = context;
    });
}

std::string CKSDeviceManager::GetMatchString(CKSDevice* endpoint) {
    std::string copy;
    WithHeld(endpoint, [&](CKSDevice& e) { copy = e.matchString; });
    return copy;
}

std::string CKSDeviceManager::GetFriendlyName(CKSDevice* endpoint) {
    std::string copy;
    WithHeld(endpoint, [&](CKSDevice& e) { copy = e.friendlyName; });
    return copy;
}

std::basic_string<WCHAR> CKSDeviceManager::GetDeviceInstanceId(CKSDevice* endpoint) {
    std::basic_string<WCHAR> copy;
    WithHeld(endpoint, [&](CKSDevice& e) { copy = e.deviceInstanceId; });
    return copy;
}

void CKSDeviceManager::GetVolumeRange(CKSDevice* endpoint, float* minDb, float* maxDb, float* stepDb) {
    WithHeld(endpoint, [&](CKSDevice& e) {
        if (minDb) *minDb = e.volumeMinDb;
        if (maxDb) *maxDb = e.volumeMaxDb;
        if (stepDb) *stepDb = e.volumeStepDb;
    });
}

float CKSDeviceManager::GetGainDb(CKSDevice* endpoint) {
    float db = 0.0f;
    WithHeld(endpoint, [&](CKSDevice& e) { db = e.GetGainDb(); });
    return db;
}

void CKSDeviceManager::SetGainDb(CKSDevice* endpoint, float db) {
    WithHeld(endpoint, [&](CKSDevice& e) { e.SetGainDb(db); });
}
