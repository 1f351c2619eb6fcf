// The records the layer exchanges with kernel-streaming drivers and SetupAPI, checked against their Windows
// layouts. The same checks compile in every build: on Windows against the SDK headers (the truth), in the
// simulation against its own declarations, so the two cannot drift apart. A device reads these bytes as
// Windows lays them out; a wrong offset would reach it as a wrong request. Records that hold pointers or handles
// have a second layout in the 32-bit DLL; the simulation is always 64-bit.
#include <cstddef>

#include "platform/win32.h"

#define KS_CHECK_SIZE(type, bytes) static_assert(sizeof(type) == (bytes), #type " must be " #bytes " bytes")
#define KS_CHECK_OFFSET(type, field, at) \
    static_assert(offsetof(type, field) == (at), #type "." #field " must be at " #at)
constexpr bool kWin64Layout = sizeof(void*) == 8;
#define KS_CHECK_SIZE_BY_BITNESS(type, x64, x86)                                                                   \
    static_assert(sizeof(type) == (kWin64Layout ? (x64) : (x86)), #type " must be " #x64 " bytes (" #x86 " in 32 " \
                                                                                                         "bits)")
#define KS_CHECK_OFFSET_BY_BITNESS(type, field, x64, x86)                  \
    static_assert(offsetof(type, field) == (kWin64Layout ? (x64) : (x86)), \
                  #type "." #field " must be at " #x64 " (" #x86 " in 32 bits)")

KS_CHECK_SIZE(GUID, 16);
KS_CHECK_SIZE(WAVEFORMATEX, 18);
KS_CHECK_SIZE(WAVEFORMATEXTENSIBLE, 40);
KS_CHECK_OFFSET(WAVEFORMATEXTENSIBLE, Samples, 18);
KS_CHECK_OFFSET(WAVEFORMATEXTENSIBLE, dwChannelMask, 20);
KS_CHECK_OFFSET(WAVEFORMATEXTENSIBLE, SubFormat, 24);

KS_CHECK_SIZE(KSIDENTIFIER, 24);
KS_CHECK_SIZE(KSPROPERTY, 24);
KS_CHECK_OFFSET(KSIDENTIFIER, Id, 16);
KS_CHECK_OFFSET(KSIDENTIFIER, Flags, 20);
KS_CHECK_SIZE(KSP_PIN, 32);
KS_CHECK_OFFSET(KSP_PIN, PinId, 24);
KS_CHECK_SIZE(KSMULTIPLE_ITEM, 8);
KS_CHECK_SIZE(KSPIN_CINSTANCES, 8);

KS_CHECK_SIZE_BY_BITNESS(KSPIN_CONNECT, 72, 64);
KS_CHECK_OFFSET(KSPIN_CONNECT, Medium, 24);
KS_CHECK_OFFSET(KSPIN_CONNECT, PinId, 48);
KS_CHECK_OFFSET_BY_BITNESS(KSPIN_CONNECT, PinToHandle, 56, 52);
KS_CHECK_OFFSET_BY_BITNESS(KSPIN_CONNECT, Priority, 64, 56);
KS_CHECK_SIZE(KSDATAFORMAT, 64);
KS_CHECK_OFFSET(KSDATAFORMAT, SampleSize, 8);
KS_CHECK_OFFSET(KSDATAFORMAT, MajorFormat, 16);
KS_CHECK_OFFSET(KSDATAFORMAT, SubFormat, 32);
KS_CHECK_OFFSET(KSDATAFORMAT, Specifier, 48);

// 84 bytes of fields, 88 of sizeof: the 8-byte alignment of KSDATAFORMAT pads the end.
KS_CHECK_SIZE(KSDATARANGE_AUDIO, 88);
KS_CHECK_OFFSET(KSDATARANGE_AUDIO, MaximumChannels, 64);
KS_CHECK_OFFSET(KSDATARANGE_AUDIO, MinimumBitsPerSample, 68);
KS_CHECK_OFFSET(KSDATARANGE_AUDIO, MaximumBitsPerSample, 72);
KS_CHECK_OFFSET(KSDATARANGE_AUDIO, MinimumSampleFrequency, 76);
KS_CHECK_OFFSET(KSDATARANGE_AUDIO, MaximumSampleFrequency, 80);

KS_CHECK_SIZE_BY_BITNESS(KSSTREAM_HEADER, 56, 48);
KS_CHECK_OFFSET(KSSTREAM_HEADER, PresentationTime, 8);
KS_CHECK_OFFSET(KSSTREAM_HEADER, Duration, 24);
KS_CHECK_OFFSET(KSSTREAM_HEADER, FrameExtent, 32);
KS_CHECK_OFFSET(KSSTREAM_HEADER, DataUsed, 36);
KS_CHECK_OFFSET(KSSTREAM_HEADER, Data, 40);
KS_CHECK_OFFSET_BY_BITNESS(KSSTREAM_HEADER, OptionsFlags, 48, 44);

KS_CHECK_SIZE_BY_BITNESS(OVERLAPPED, 32, 20);
KS_CHECK_OFFSET_BY_BITNESS(OVERLAPPED, InternalHigh, 8, 4);
KS_CHECK_OFFSET_BY_BITNESS(OVERLAPPED, hEvent, 24, 16);

KS_CHECK_SIZE_BY_BITNESS(KSRTAUDIO_BUFFER_PROPERTY, 40, 32);
KS_CHECK_SIZE(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, 40);
KS_CHECK_OFFSET(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, BaseAddress, 24);
KS_CHECK_OFFSET_BY_BITNESS(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, RequestedBufferSize, 32, 28);
KS_CHECK_OFFSET_BY_BITNESS(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, NotificationCount, 36, 32);
KS_CHECK_SIZE_BY_BITNESS(KSRTAUDIO_BUFFER, 16, 12);
KS_CHECK_OFFSET_BY_BITNESS(KSRTAUDIO_BUFFER, ActualBufferSize, 8, 4);
KS_CHECK_SIZE(KSRTAUDIO_HWREGISTER_PROPERTY, 32);
KS_CHECK_SIZE_BY_BITNESS(KSRTAUDIO_HWREGISTER, 40, 32);
KS_CHECK_SIZE(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, 32);
KS_CHECK_OFFSET(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, NotificationEvent, 24);
KS_CHECK_SIZE(KSRTAUDIO_GETREADPACKET_INFO, 24);
KS_CHECK_OFFSET(KSRTAUDIO_GETREADPACKET_INFO, PerformanceCounterValue, 8);
KS_CHECK_SIZE(KSRTAUDIO_SETWRITEPACKET_INFO, 12);

KS_CHECK_SIZE_BY_BITNESS(SP_DEVICE_INTERFACE_DATA, 32, 28);
KS_CHECK_SIZE_BY_BITNESS(SP_DEVINFO_DATA, 32, 28);
// SetupAPI packs its records to 1 byte in 32 bits, hence 5.
KS_CHECK_SIZE_BY_BITNESS(SP_DEVICE_INTERFACE_DETAIL_DATA_A, 8, 5);
KS_CHECK_OFFSET(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath, 4);
KS_CHECK_SIZE(DEVPROPKEY, 20);

KS_CHECK_SIZE(DWORD, 4);
KS_CHECK_SIZE(ULONG, 4);
KS_CHECK_SIZE(HRESULT, 4);
KS_CHECK_SIZE(WCHAR, 2);
KS_CHECK_SIZE(KSSTATE, 4);
