// Core Audio over the virtual devices: each microphone's system endpoint is found by the ID its audio device
// enumerates, carries a volume with its hardware range, and its topology leads to the container of its HID
// interface.
#include <gtest/gtest.h>

#include <string>

#include "sim/devices/world.h"

using sim::devices::Machine;
using sim::devices::ScopedWorld;

namespace {

template <class T>
struct Released {
    T* p = nullptr;
    ~Released() {
        if (p) p->Release();
    }
    T** operator&() { return &p; }
    T* operator->() { return p; }
};

std::string Take(LPWSTR text) {
    std::string narrow;
    for (LPWSTR c = text; c && *c; ++c) narrow.push_back(static_cast<char>(*c));
    CoTaskMemFree(text);
    return narrow;
}

TEST(CoreAudio, MicrophoneEndpointsLeadToTheirContainerAndCarryTheirVolume) {
    ScopedWorld world(Machine({{}, {}}, {{}}));
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
        Released<IMMDeviceEnumerator> enumerator;
        ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IMMDeviceEnumerator,
                                   reinterpret_cast<void**>(&enumerator)),
                  S_OK);
        Released<IMMDeviceCollection> captures;
        ASSERT_EQ(enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &captures), S_OK);
        UINT count = 0;
        captures->GetCount(&count);
        ASSERT_EQ(count, 2u);

        for (UINT i = 0; i < count; ++i) {
            auto microphone = world.microphone(i);
            Released<IMMDevice> device;
            ASSERT_EQ(captures->Item(i, &device), S_OK);
            LPWSTR id = nullptr;
            ASSERT_EQ(device->GetId(&id), S_OK);
            std::string endpointId = Take(id);
            EXPECT_NE(("SWD\\MMDEVAPI\\" + microphone->identity().endpointId).find(endpointId), std::string::npos);

            // Range, steps and the device's own level through the device manager: DeviceManager's tests.
            Released<IAudioEndpointVolume> volume;
            ASSERT_EQ(device->Activate(IID_IAudioEndpointVolume, CLSCTX_INPROC_SERVER, nullptr,
                                       reinterpret_cast<void**>(&volume)),
                      S_OK);
            EXPECT_EQ(volume->SetMasterVolumeLevel(31.0f, nullptr), E_INVALIDARG);

            Released<IDeviceTopology> topology;
            ASSERT_EQ(device->Activate(IID_IDeviceTopology, CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&topology)),
                      S_OK);
            Released<IConnector> connector;
            ASSERT_EQ(topology->GetConnector(0, &connector), S_OK);
            LPWSTR connectedTo = nullptr;
            ASSERT_EQ(connector->GetDeviceIdConnectedTo(&connectedTo), S_OK);
            std::string adapterId = Take(connectedTo);
            std::u16string wideId(adapterId.begin(), adapterId.end());
            Released<IMMDevice> adapter;
            ASSERT_EQ(enumerator->GetDevice(wideId.c_str(), &adapter), S_OK);
            Released<IPropertyStore> properties;
            ASSERT_EQ(adapter->OpenPropertyStore(STGM_READ, &properties), S_OK);
            PROPVARIANT value;
            PropVariantInit(&value);
            ASSERT_EQ(properties->GetValue(PKEY_Device_ContainerId, &value), S_OK);
            ASSERT_EQ(value.vt, VT_CLSID);
            EXPECT_TRUE(*value.puuid == microphone->identity().containerId);
            PropVariantClear(&value);
            EXPECT_EQ(value.vt, VT_EMPTY);
            Released<IPropertyStore> writable;
            EXPECT_EQ(adapter->OpenPropertyStore(STGM_WRITE, &writable), E_ACCESSDENIED);
        }

        Released<IMMDeviceCollection> renders;
        ASSERT_EQ(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &renders), S_OK);
        renders->GetCount(&count);
        EXPECT_EQ(count, 1u);
    }
    CoUninitialize();
}

TEST(CoreAudio, AMachineWithoutAudioDevicesListsNoEndpoints) {
    ScopedWorld world(Machine({}));
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
        Released<IMMDeviceEnumerator> enumerator;
        ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IMMDeviceEnumerator,
                                   reinterpret_cast<void**>(&enumerator)),
                  S_OK);
        Released<IMMDeviceCollection> all;
        ASSERT_EQ(enumerator->EnumAudioEndpoints(eAll, DEVICE_STATEMASK_ALL, &all), S_OK);
        UINT count = 99;
        all->GetCount(&count);
        EXPECT_EQ(count, 0u);
        Released<IMMDevice> none;
        std::u16string missing = u"{0.0.1.00000000}.{nothing}";
        EXPECT_EQ(enumerator->GetDevice(missing.c_str(), &none), E_NOTFOUND);
    }
    CoUninitialize();
}

}  // namespace
