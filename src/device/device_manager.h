// CKSDeviceManager: finds the kernel-streaming capture and render filters whose device-interface paths contain a
// match string, opens one endpoint per usable filter (CInputCaptureKS for a microphone, COutputRenderKS for a
// playback device), and keeps two lists: every open endpoint, and those currently started. It starts and stops
// the endpoints for the clock thread, rebuilds an endpoint's packets for a new buffer size, destroys endpoints,
// and gives the control panel each endpoint's system volume as its gain.
//
// Ownership: embedded in the driver (field `deviceManager`). It owns both filter enumerators and every endpoint
// in `devices`; `runningDevices` never owns. At most kMaxDevices endpoints are open at once: an open beyond that
// is refused (the endpoint is destroyed again and not returned), so nothing is ever left without an owner.
//
// Threads: the host's thread (open, close, resize), the clock thread (StartAll, StopAll) and the control panel's
// thread (the gain accessors). `lock`, a recursive critical section, guards both lists; a call that names an
// endpoint acts only on endpoints the manager holds, so a stale or foreign pointer is ignored. The stream threads
// never take the lock. StartAll returns without waiting for any microphone's HID exchange: each runs beside its
// endpoint's stream thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/data_callback.h"
#include "ks/ks_enum_filters.h"
#include "platform/win32.h"

class CKSDevice;

class CKSDeviceManager {
public:
    static constexpr size_t kMaxDevices = 32;
    // Match strings are compared through a key of at most this many characters.
    static constexpr size_t kMaxKeyChars = 256;

    CKSDeviceManager();
    ~CKSDeviceManager();
    CKSDeviceManager(const CKSDeviceManager&) = delete;
    CKSDeviceManager& operator=(const CKSDeviceManager&) = delete;

    // Lists the capture and render filters afresh; false (and nothing changes) while any endpoint is open.
    bool Enumerate();
    // One endpoint per filter whose path contains a match string, in the order of the strings and, within each,
    // of enumeration. `framesPerPacket` is per channel; the packets hold channels × frames samples.
    std::vector<CKSDevice*> OpenCaptureDevices(const std::vector<std::string>& matchStrings, uint32_t sampleRate,
                                               uint16_t channels, uint32_t framesPerPacket, DataCallback callback,
                                               void* context);
    std::vector<CKSDevice*> OpenRenderDevices(const std::vector<std::string>& matchStrings, uint32_t sampleRate,
                                              uint16_t channels, uint32_t framesPerPacket, DataCallback callback,
                                              void* context);
    std::vector<CKSDevice*> OpenCaptureEndpoints(const std::string& matchString, uint32_t sampleRate, uint16_t channels,
                                                 uint32_t framesPerPacket, DataCallback callback, void* context,
                                                 bool onlyFirst);
    std::vector<CKSDevice*> OpenRenderEndpoints(const std::string& matchString, uint32_t sampleRate, uint16_t channels,
                                                uint32_t framesPerPacket, DataCallback callback, void* context,
                                                bool onlyFirst);

    // Clock thread: starts every open endpoint not yet started (its rate measurement begins again), and stops
    // every started one.
    void StartAll();
    void StopAll();
    // Stops and destroys every endpoint.
    void CloseAll();
    // Stops and destroys one endpoint.
    void RemoveDevice(CKSDevice* endpoint);
    // While stopped: new packets of channels × framesPerPacket samples, with a new stream thread.
    void ResizeDevice(CKSDevice* endpoint, uint32_t framesPerPacket);
    // Where the endpoint hands its periods; call before the endpoint is started. A render endpoint hands `skipped`
    // the periods its device played again unrefilled, for the consumer to take out unplayed (see CKSDevice).
    void SetDataCallback(CKSDevice* endpoint, DataCallback callback, void* context, DataCallback skipped = nullptr);

    // Accessors: a null endpoint (or one the manager does not hold) gives empty strings, a zero gain, and leaves
    // the range outputs untouched.
    std::string GetMatchString(CKSDevice* endpoint);
    std::string GetFriendlyName(CKSDevice* endpoint);
    std::basic_string<WCHAR> GetDeviceInstanceId(CKSDevice* endpoint);
    void GetVolumeRange(CKSDevice* endpoint, float* minDb, float* maxDb, float* stepDb);
    float GetGainDb(CKSDevice* endpoint);
    void SetGainDb(CKSDevice* endpoint, float db);

    // Observation, for the driver and the tests.
    size_t DeviceCount();
    size_t RunningCount();
    bool Holds(CKSDevice* endpoint);

private:
    template <class Filter>
    std::vector<CKSDevice*> OpenEndpoints(bool capture, const std::string& matchString, uint32_t sampleRate,
                                          uint16_t channels, uint32_t framesPerPacket, DataCallback callback,
                                          void* context, bool onlyFirst);
    template <class Action>
    void WithHeld(CKSDevice* endpoint, Action action);
    void Lock();
    void Unlock();

    std::unique_ptr<CKsEnumFilters> captureFilters;
    std::unique_ptr<CKsEnumFilters> renderFilters;
    std::vector<std::unique_ptr<CKSDevice>> devices;
    std::vector<CKSDevice*> runningDevices;
    CRITICAL_SECTION lock;
    uint32_t lockDepth = 0;
};
