// Kernel-streaming declarations that the mingw-w64 headers lack, with the layouts and values of the Windows SDK.
// Included after the platform's KS headers in both worlds: on Windows after ks.h / ksmedia.h, in the simulation
// after sim/os/ks_sim.h, so that the WaveRT records below are written down once.
#pragma once

// WaveRT properties of KSPROPSETID_RtAudio. The headers know only id 0 (KSPROPERTY_RTAUDIO_GETPOSITIONFUNCTION).
inline constexpr ULONG KSPROPERTY_RTAUDIO_BUFFER = 1;
inline constexpr ULONG KSPROPERTY_RTAUDIO_HWLATENCY = 2;
inline constexpr ULONG KSPROPERTY_RTAUDIO_POSITIONREGISTER = 3;
inline constexpr ULONG KSPROPERTY_RTAUDIO_CLOCKREGISTER = 4;
inline constexpr ULONG KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION = 5;
inline constexpr ULONG KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT = 6;
inline constexpr ULONG KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT = 7;
inline constexpr ULONG KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT = 8;
inline constexpr ULONG KSPROPERTY_RTAUDIO_PACKETCOUNT = 9;
inline constexpr ULONG KSPROPERTY_RTAUDIO_PRESENTATION_POSITION = 10;
inline constexpr ULONG KSPROPERTY_RTAUDIO_GETREADPACKET = 11;
inline constexpr ULONG KSPROPERTY_RTAUDIO_SETWRITEPACKET = 12;

// The audio buffer-duration property set; its property 1 takes the duration as a ULONG behind the KSPROPERTY.
inline constexpr GUID KSPROPSETID_AudioBufferDuration = {
    0x4E73C07F, 0x23CC, 0x4955, {0xA7, 0xEA, 0x3D, 0xA5, 0x02, 0x49, 0x62, 0x90}};
inline constexpr ULONG KSPROPERTY_AUDIOBUFFERDURATION = 1;

// Request and answer records of the WaveRT properties (x64 layouts; sizes checked by the layout test).
typedef struct {
    KSPROPERTY Property;
    PVOID BaseAddress;
    ULONG RequestedBufferSize;
} KSRTAUDIO_BUFFER_PROPERTY, *PKSRTAUDIO_BUFFER_PROPERTY;

typedef struct {
    KSPROPERTY Property;
    PVOID BaseAddress;
    ULONG RequestedBufferSize;
    ULONG NotificationCount;
} KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, *PKSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION;

typedef struct {
    PVOID BufferAddress;
    ULONG ActualBufferSize;
    BOOL CallMemoryBarrier;
} KSRTAUDIO_BUFFER, *PKSRTAUDIO_BUFFER;

typedef struct {
    KSPROPERTY Property;
    PVOID BaseAddress;
} KSRTAUDIO_HWREGISTER_PROPERTY, *PKSRTAUDIO_HWREGISTER_PROPERTY;

typedef struct {
    PVOID Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;

typedef struct {
    KSPROPERTY Property;
    HANDLE NotificationEvent;
} KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, *PKSRTAUDIO_NOTIFICATION_EVENT_PROPERTY;

typedef struct {
    ULONG PacketNumber;
    ULONG Flags;
    ULONGLONG PerformanceCounterValue;
    BOOL MoreData;
} KSRTAUDIO_GETREADPACKET_INFO, *PKSRTAUDIO_GETREADPACKET_INFO;

typedef struct {
    ULONG PacketNumber;
    ULONG Flags;
    ULONG EosPacketLength;
} KSRTAUDIO_SETWRITEPACKET_INFO, *PKSRTAUDIO_SETWRITEPACKET_INFO;

#ifdef _WIN32
// The container ID of a Core Audio endpoint's device: the same key as DEVPKEY_Device_ContainerId.
inline constexpr PROPERTYKEY PKEY_Device_ContainerId = {
    {0x8c7ed206, 0x3f8a, 0x4827, {0xb3, 0xab, 0xae, 0x9e, 0x1f, 0xae, 0xfc, 0x6c}}, 2};

// ksuser.dll's pin creation that returns an HRESULT. The driver resolves it at run time (older systems and
// Wine lack it); the declaration only names its type.
extern "C" HRESULT WINAPI KsCreatePin2(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                                       PHANDLE ConnectionHandle);
#endif
