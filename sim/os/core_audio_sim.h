// Core Audio of the simulated Windows (mmdeviceapi.h, endpointvolume.h, devicetopology.h, propidl.h): the device
// enumerator and its devices, property stores, endpoint volumes and device topologies, over the audio graph that
// the installed virtual kernel lists (sim/os/audio_graph.h). Interfaces carry every method of the published
// ones, in their order; the ones the driver has no use for answer E_NOTIMPL.
#pragma once

#include "sim/os/com.h"
#include "sim/os/win32_types.h"

typedef const GUID* LPCGUID;
typedef unsigned short VARTYPE;

// ---- Property keys and values.
typedef struct _tagpropertykey {
    GUID fmtid;
    DWORD pid;
} PROPERTYKEY;
#define REFPROPERTYKEY const PROPERTYKEY&

enum VARENUM { VT_EMPTY = 0, VT_I4 = 3, VT_UI4 = 19, VT_LPSTR = 30, VT_LPWSTR = 31, VT_BLOB = 65, VT_CLSID = 72 };

typedef struct tagPROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        CHAR cVal;
        UCHAR bVal;
        SHORT iVal;
        USHORT uiVal;
        LONG lVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        FLOAT fltVal;
        double dblVal;
        CLSID* puuid;
        LPSTR pszVal;
        LPWSTR pwszVal;
        struct {
            ULONG cbSize;
            BYTE* pBlobData;
        } blob;
    };
} PROPVARIANT, *LPPROPVARIANT;
typedef const PROPVARIANT* REFPROPVARIANT;

#define PropVariantInit(pvar) memset((pvar), 0, sizeof(PROPVARIANT))

// The container of an endpoint's device, and its name (functiondiscoverykeys_devpkey.h).
inline constexpr PROPERTYKEY PKEY_Device_ContainerId = {
    {0x8C7ED206, 0x3F8A, 0x4827, {0xB3, 0xAB, 0xAE, 0x9E, 0x1F, 0xAE, 0xFC, 0x6C}}, 2};
inline constexpr PROPERTYKEY PKEY_Device_FriendlyName = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};

#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L
#define STG_E_ACCESSDENIED ((HRESULT)0x80030005)
#define E_NOTFOUND HRESULT_FROM_WIN32(ERROR_NOT_FOUND)

struct IPropertyStore : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Commit() = 0;
};

// ---- Devices and the enumerator.
typedef enum { eRender = 0, eCapture = 1, eAll = 2, EDataFlow_enum_count = 3 } EDataFlow;
typedef enum { eConsole = 0, eMultimedia = 1, eCommunications = 2, ERole_enum_count = 3 } ERole;

#define DEVICE_STATE_ACTIVE 0x00000001
#define DEVICE_STATE_DISABLED 0x00000002
#define DEVICE_STATE_NOTPRESENT 0x00000004
#define DEVICE_STATE_UNPLUGGED 0x00000008
#define DEVICE_STATEMASK_ALL 0x0000000F

struct IMMNotificationClient;

struct IMMDevice : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD clsCtx, PROPVARIANT* activationParams,
                                               void** interfacePointer) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** properties) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetState(DWORD* state) = 0;
};

struct IMMDeviceCollection : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCount(UINT* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) = 0;
};

struct IMMDeviceEnumerator : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD stateMask,
                                                         IMMDeviceCollection** devices) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** endpoint) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;
};

// ---- Endpoint volume.
#define ENDPOINT_HARDWARE_SUPPORT_VOLUME 0x00000001
#define ENDPOINT_HARDWARE_SUPPORT_MUTE 0x00000002
#define ENDPOINT_HARDWARE_SUPPORT_METER 0x00000004

struct IAudioEndpointVolumeCallback;

struct IAudioEndpointVolume : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RegisterControlChangeNotify(IAudioEndpointVolumeCallback* notify) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterControlChangeNotify(IAudioEndpointVolumeCallback* notify) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChannelCount(UINT* channelCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMasterVolumeLevel(FLOAT levelDb, LPCGUID eventContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(FLOAT level, LPCGUID eventContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMasterVolumeLevel(FLOAT* levelDb) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(FLOAT* level) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetChannelVolumeLevel(UINT channel, FLOAT levelDb, LPCGUID eventContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetChannelVolumeLevelScalar(UINT channel, FLOAT level, LPCGUID eventContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChannelVolumeLevel(UINT channel, FLOAT* levelDb) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChannelVolumeLevelScalar(UINT channel, FLOAT* level) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMute(BOOL mute, LPCGUID eventContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMute(BOOL* mute) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVolumeStepInfo(UINT* step, UINT* stepCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE VolumeStepUp(LPCGUID eventContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE VolumeStepDown(LPCGUID eventContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* hardwareSupportMask) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVolumeRange(FLOAT* minDb, FLOAT* maxDb, FLOAT* incrementDb) = 0;
};

// ---- Device topology.
typedef enum {
    Unknown_Connector,
    Physical_Internal,
    Physical_External,
    Software_IO,
    Software_Fixed,
    Network
} ConnectorType;
typedef enum { In = 0, Out = 1 } DataFlow;

struct IPart;
struct ISubunit;
struct IPartsList;

struct IConnector : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetType(ConnectorType* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDataFlow(DataFlow* flow) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConnectTo(IConnector* connectTo) = 0;
    virtual HRESULT STDMETHODCALLTYPE Disconnect() = 0;
    virtual HRESULT STDMETHODCALLTYPE IsConnected(BOOL* connected) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectedTo(IConnector** connectedTo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectorIdConnectedTo(LPWSTR* connectorId) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceIdConnectedTo(LPWSTR* deviceId) = 0;
};

struct IDeviceTopology : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetConnectorCount(UINT* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnector(UINT index, IConnector** connector) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSubunitCount(UINT* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSubunit(UINT index, ISubunit** subunit) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPartById(UINT id, IPart** part) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceId(LPWSTR* deviceId) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSignalPath(IPart* from, IPart* to, BOOL rejectMixedPaths,
                                                    IPartsList** parts) = 0;
};

// ---- Class and interface identifiers (published values).
inline constexpr CLSID CLSID_MMDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
inline constexpr IID IID_IMMDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
inline constexpr IID IID_IMMDevice = {0xD666063F, 0x1587, 0x4E43, {0x81, 0xF1, 0xB9, 0x48, 0xE8, 0x07, 0x36, 0x3F}};
inline constexpr IID IID_IMMDeviceCollection = {
    0x0BD7A1BE, 0x7A1A, 0x44DB, {0x83, 0x97, 0xCC, 0x53, 0x92, 0x38, 0x7B, 0x5E}};
inline constexpr IID IID_IPropertyStore = {
    0x886D8EEB, 0x8CF2, 0x4446, {0x8D, 0x02, 0xCD, 0xBA, 0x1D, 0xBD, 0xCF, 0x99}};
inline constexpr IID IID_IAudioEndpointVolume = {
    0x5CDF2C82, 0x841E, 0x4546, {0x97, 0x22, 0x0C, 0xF7, 0x40, 0x78, 0x22, 0x9A}};
inline constexpr IID IID_IDeviceTopology = {
    0x2A07407E, 0x6497, 0x4A18, {0x97, 0x87, 0x32, 0xF7, 0x9B, 0xD0, 0xD9, 0x8F}};
inline constexpr IID IID_IConnector = {0x9C2C4058, 0x23F5, 0x41DE, {0x87, 0x7A, 0xDF, 0x3A, 0xF2, 0x36, 0xA0, 0x9E}};

extern "C" HRESULT WINAPI PropVariantClear(PROPVARIANT* value);
