// Core Audio of the test-only DLL: the device enumerator and the objects it hands out, over the audio devices
// of the virtual machine. The product creates the enumerator with CoCreateInstance, which redirect.h points
// here for that one class; every other class is created by the system's COM. Each object is a small
// reference-counted COM object; the state it shows (volume level, properties) belongs to the virtual device, so
// every object of one device sees the same.
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "sim/os/audio_graph.h"
#include "sim/os/virtual_kernel.h"
#include "sim/win/virtual_calls.h"

namespace sim::os {
namespace {

// The virtual devices speak UTF-16 as std::u16string; WCHAR is the same 16 bits on Windows.
static_assert(sizeof(WCHAR) == sizeof(char16_t));

HRESULT CopyString(const std::u16string& text, LPWSTR* out) {
    if (!out) return E_POINTER;
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    *out = copy;
    return S_OK;
}

// Reference counting and QueryInterface for an object with one interface besides IUnknown.
template <class Interface>
class ComObject : public Interface {
public:
    explicit ComObject(const IID& iid) : iid_(iid) {}
    virtual ~ComObject() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == iid_) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

private:
    const IID& iid_;
    std::atomic<ULONG> references_{1};
};

std::vector<std::shared_ptr<AudioDevice>> SystemDevices() {
    auto kernel = InstalledVirtualKernel();
    return kernel ? kernel->AudioDevices() : std::vector<std::shared_ptr<AudioDevice>>{};
}

class PropertyStore : public ComObject<IPropertyStore> {
public:
    explicit PropertyStore(std::shared_ptr<AudioDevice> device)
        : ComObject(IID_IPropertyStore), device_(std::move(device)) {}
    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
        if (!count) return E_POINTER;
        GUID unused;
        *count = device_->ContainerId(unused) ? 2 : 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override {
        DWORD count = 0;
        GetCount(&count);
        if (!key) return E_POINTER;
        if (index >= count) return E_INVALIDARG;
        *key = index == 0 ? PKEY_Device_FriendlyName : PKEY_Device_ContainerId;
        return S_OK;
    }
    // A property the device does not have reads as VT_EMPTY, with success, as Windows answers.
    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
        if (!value) return E_POINTER;
        std::memset(value, 0, sizeof *value);
        if (key.fmtid == PKEY_Device_ContainerId.fmtid && key.pid == PKEY_Device_ContainerId.pid) {
            GUID id;
            if (!device_->ContainerId(id)) return S_OK;
            auto* copy = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
            if (!copy) return E_OUTOFMEMORY;
            *copy = id;
            value->vt = VT_CLSID;
            value->puuid = copy;
        } else if (key.fmtid == PKEY_Device_FriendlyName.fmtid && key.pid == PKEY_Device_FriendlyName.pid) {
            HRESULT hr = CopyString(device_->FriendlyName(), &value->pwszVal);
            if (FAILED(hr)) return hr;
            value->vt = VT_LPWSTR;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE Commit() override { return STG_E_ACCESSDENIED; }

private:
    std::shared_ptr<AudioDevice> device_;
};

class EndpointVolume : public ComObject<IAudioEndpointVolume> {
public:
    explicit EndpointVolume(std::shared_ptr<EndpointVolumeControl> control)
        : ComObject(IID_IAudioEndpointVolume), control_(std::move(control)) {}
    HRESULT STDMETHODCALLTYPE RegisterControlChangeNotify(IAudioEndpointVolumeCallback* notify) override {
        return notify ? S_OK : E_POINTER;
    }
    HRESULT STDMETHODCALLTYPE UnregisterControlChangeNotify(IAudioEndpointVolumeCallback* notify) override {
        return notify ? S_OK : E_POINTER;
    }
    HRESULT STDMETHODCALLTYPE GetChannelCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = control_->Channels();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMasterVolumeLevel(FLOAT levelDb, LPCGUID) override {
        return control_->SetLevelDb(levelDb);
    }
    // The scalar runs linearly over the dB range here (Windows uses a curve of its own; the driver uses dB).
    HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(FLOAT level, LPCGUID) override {
        if (!(level >= 0.0f && level <= 1.0f)) return E_INVALIDARG;
        float minDb, maxDb, stepDb;
        control_->Range(minDb, maxDb, stepDb);
        return control_->SetLevelDb(minDb + level * (maxDb - minDb));
    }
    HRESULT STDMETHODCALLTYPE GetMasterVolumeLevel(FLOAT* levelDb) override {
        if (!levelDb) return E_POINTER;
        *levelDb = control_->LevelDb();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(FLOAT* level) override {
        if (!level) return E_POINTER;
        float minDb, maxDb, stepDb;
        control_->Range(minDb, maxDb, stepDb);
        *level = maxDb > minDb ? (control_->LevelDb() - minDb) / (maxDb - minDb) : 1.0f;
        return S_OK;
    }
    // One level serves all channels of the simulated endpoints.
    HRESULT STDMETHODCALLTYPE SetChannelVolumeLevel(UINT channel, FLOAT levelDb, LPCGUID context) override {
        if (channel >= control_->Channels()) return E_INVALIDARG;
        return SetMasterVolumeLevel(levelDb, context);
    }
    HRESULT STDMETHODCALLTYPE SetChannelVolumeLevelScalar(UINT channel, FLOAT level, LPCGUID context) override {
        if (channel >= control_->Channels()) return E_INVALIDARG;
        return SetMasterVolumeLevelScalar(level, context);
    }
    HRESULT STDMETHODCALLTYPE GetChannelVolumeLevel(UINT channel, FLOAT* levelDb) override {
        if (channel >= control_->Channels()) return E_INVALIDARG;
        return GetMasterVolumeLevel(levelDb);
    }
    HRESULT STDMETHODCALLTYPE GetChannelVolumeLevelScalar(UINT channel, FLOAT* level) override {
        if (channel >= control_->Channels()) return E_INVALIDARG;
        return GetMasterVolumeLevelScalar(level);
    }
    HRESULT STDMETHODCALLTYPE SetMute(BOOL mute, LPCGUID) override {
        control_->SetMuted(mute != FALSE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMute(BOOL* mute) override {
        if (!mute) return E_POINTER;
        *mute = control_->Muted() ? TRUE : FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetVolumeStepInfo(UINT* step, UINT* stepCount) override {
        if (!step || !stepCount) return E_POINTER;
        float minDb, maxDb, stepDb;
        control_->Range(minDb, maxDb, stepDb);
        *stepCount = StepCount(minDb, maxDb, stepDb);
        *step = CurrentStep(minDb, stepDb, *stepCount);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE VolumeStepUp(LPCGUID) override { return Step(+1); }
    HRESULT STDMETHODCALLTYPE VolumeStepDown(LPCGUID) override { return Step(-1); }
    HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* mask) override {
        if (!mask) return E_POINTER;
        *mask = control_->HardwareSupport();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetVolumeRange(FLOAT* minDb, FLOAT* maxDb, FLOAT* incrementDb) override {
        if (!minDb || !maxDb || !incrementDb) return E_POINTER;
        control_->Range(*minDb, *maxDb, *incrementDb);
        return S_OK;
    }

private:
    static UINT StepCount(float minDb, float maxDb, float stepDb) {
        return stepDb > 0 ? static_cast<UINT>(std::lround((maxDb - minDb) / stepDb)) + 1 : 1;
    }
    UINT CurrentStep(float minDb, float stepDb, UINT count) const {
        if (stepDb <= 0) return 0;
        long step = std::lround((control_->LevelDb() - minDb) / stepDb);
        return static_cast<UINT>(step < 0 ? 0 : (step >= static_cast<long>(count) ? count - 1 : step));
    }
    HRESULT Step(int direction) {
        float minDb, maxDb, stepDb;
        control_->Range(minDb, maxDb, stepDb);
        UINT count = StepCount(minDb, maxDb, stepDb);
        long next = static_cast<long>(CurrentStep(minDb, stepDb, count)) + direction;
        if (next < 0 || next >= static_cast<long>(count)) return S_OK;  // already at the end of the range
        return control_->SetLevelDb(minDb + static_cast<float>(next) * stepDb);
    }

    std::shared_ptr<EndpointVolumeControl> control_;
};

class Connector : public ComObject<IConnector> {
public:
    Connector(std::u16string connectedTo, bool capture)
        : ComObject(IID_IConnector), connectedTo_(std::move(connectedTo)), capture_(capture) {}
    HRESULT STDMETHODCALLTYPE GetType(ConnectorType* type) override {
        if (!type) return E_POINTER;
        *type = Physical_External;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDataFlow(DataFlow* flow) override {
        if (!flow) return E_POINTER;
        *flow = capture_ ? Out : In;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ConnectTo(IConnector*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Disconnect() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsConnected(BOOL* connected) override {
        if (!connected) return E_POINTER;
        *connected = connectedTo_.empty() ? FALSE : TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectedTo(IConnector** connectedTo) override {
        if (connectedTo) *connectedTo = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetConnectorIdConnectedTo(LPWSTR* connectorId) override {
        if (connectorId) *connectorId = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDeviceIdConnectedTo(LPWSTR* deviceId) override {
        if (!deviceId) return E_POINTER;
        *deviceId = nullptr;
        if (connectedTo_.empty()) return E_NOTFOUND;
        return CopyString(connectedTo_, deviceId);
    }

private:
    std::u16string connectedTo_;
    bool capture_;
};

class DeviceTopology : public ComObject<IDeviceTopology> {
public:
    explicit DeviceTopology(std::shared_ptr<AudioDevice> device)
        : ComObject(IID_IDeviceTopology), device_(std::move(device)) {}
    HRESULT STDMETHODCALLTYPE GetConnectorCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnector(UINT index, IConnector** connector) override {
        if (!connector) return E_POINTER;
        *connector = nullptr;
        if (index != 0) return E_INVALIDARG;
        EDataFlow flow = eRender;
        device_->IsEndpoint(flow);
        *connector = new (std::nothrow) Connector(device_->ConnectedDeviceId(), flow == eCapture);
        return *connector ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetSubunitCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSubunit(UINT, ISubUnit**) override { return E_INVALIDARG; }
    HRESULT STDMETHODCALLTYPE GetPartById(UINT, IPart**) override { return E_NOTFOUND; }
    HRESULT STDMETHODCALLTYPE GetDeviceId(LPWSTR* id) override { return CopyString(device_->Id(), id); }
    HRESULT STDMETHODCALLTYPE GetSignalPath(IPart*, IPart*, BOOL, IPartsList**) override { return E_NOTIMPL; }

private:
    std::shared_ptr<AudioDevice> device_;
};

class Device : public ComObject<IMMDevice> {
public:
    explicit Device(std::shared_ptr<AudioDevice> device) : ComObject(IID_IMMDevice), device_(std::move(device)) {}
    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        EDataFlow flow;
        bool endpoint = device_->IsEndpoint(flow);
        if (iid == IID_IAudioEndpointVolume) {
            auto control = endpoint ? device_->Volume() : nullptr;
            if (!control) return E_NOINTERFACE;
            *object = static_cast<IAudioEndpointVolume*>(new (std::nothrow) EndpointVolume(std::move(control)));
        } else if (iid == IID_IDeviceTopology) {
            *object = static_cast<IDeviceTopology*>(new (std::nothrow) DeviceTopology(device_));
        } else {
            return E_NOINTERFACE;
        }
        return *object ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** properties) override {
        if (!properties) return E_POINTER;
        *properties = nullptr;
        // Writing device properties takes an administrator; a driver in a host's process is not one.
        if (access != STGM_READ) return E_ACCESSDENIED;
        *properties = new (std::nothrow) PropertyStore(device_);
        return *properties ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override { return CopyString(device_->Id(), id); }
    HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
        if (!state) return E_POINTER;
        *state = device_->State();
        return S_OK;
    }

private:
    std::shared_ptr<AudioDevice> device_;
};

class DeviceCollection : public ComObject<IMMDeviceCollection> {
public:
    explicit DeviceCollection(std::vector<std::shared_ptr<AudioDevice>> devices)
        : ComObject(IID_IMMDeviceCollection), devices_(std::move(devices)) {}
    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = static_cast<UINT>(devices_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
        if (!device) return E_POINTER;
        *device = nullptr;
        if (index >= devices_.size()) return E_INVALIDARG;
        *device = new (std::nothrow) Device(devices_[index]);
        return *device ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::vector<std::shared_ptr<AudioDevice>> devices_;
};

class DeviceEnumerator : public ComObject<IMMDeviceEnumerator> {
public:
    DeviceEnumerator() : ComObject(IID_IMMDeviceEnumerator) {}
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD stateMask,
                                                 IMMDeviceCollection** devices) override {
        if (!devices) return E_POINTER;
        *devices = nullptr;
        if (flow != eRender && flow != eCapture && flow != eAll) return E_INVALIDARG;
        if (stateMask == 0 || (stateMask & ~DWORD{DEVICE_STATEMASK_ALL})) return E_INVALIDARG;
        std::vector<std::shared_ptr<AudioDevice>> listed;
        for (auto& device : SystemDevices()) {
            EDataFlow deviceFlow;
            if (!device->IsEndpoint(deviceFlow) || (flow != eAll && deviceFlow != flow)) continue;
            if (device->State() & stateMask) listed.push_back(device);
        }
        *devices = new (std::nothrow) DeviceCollection(std::move(listed));
        return *devices ? S_OK : E_OUTOFMEMORY;
    }
    // The first active endpoint of the flow stands for the user's default device.
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** endpoint) override {
        if (!endpoint) return E_POINTER;
        *endpoint = nullptr;
        if ((flow != eRender && flow != eCapture) || role < eConsole || role > eCommunications) return E_INVALIDARG;
        for (auto& device : SystemDevices()) {
            EDataFlow deviceFlow;
            if (device->IsEndpoint(deviceFlow) && deviceFlow == flow && device->State() == DEVICE_STATE_ACTIVE) {
                *endpoint = new (std::nothrow) Device(device);
                return *endpoint ? S_OK : E_OUTOFMEMORY;
            }
        }
        return E_NOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override {
        if (!id || !device) return E_POINTER;
        *device = nullptr;
        std::u16string wanted(reinterpret_cast<const char16_t*>(id));
        for (auto& candidate : SystemDevices()) {
            if (candidate->Id() != wanted) continue;
            *device = new (std::nothrow) Device(candidate);
            return *device ? S_OK : E_OUTOFMEMORY;
        }
        return E_NOTFOUND;
    }
    // Device changes are not simulated, so no notification ever comes.
    HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        return client ? S_OK : E_POINTER;
    }
    HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        return client ? S_OK : E_POINTER;
    }
};

}  // namespace
}  // namespace sim::os

extern "C" HRESULT WINAPI TesselVirtual_CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                                         LPVOID* object) {
    if (clsid != CLSID_MMDeviceEnumerator) return ::CoCreateInstance(clsid, outer, context, iid, object);
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    // As with the system's enumerator, the calling thread must have entered COM and ask for an in-process server.
    APTTYPE apartment;
    APTTYPEQUALIFIER qualifier;
    if (FAILED(CoGetApartmentType(&apartment, &qualifier))) return CO_E_NOTINITIALIZED;
    if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    auto* enumerator = new (std::nothrow) sim::os::DeviceEnumerator;
    if (!enumerator) return E_OUTOFMEMORY;
    HRESULT hr = enumerator->QueryInterface(iid, object);
    enumerator->Release();
    return hr;
}
