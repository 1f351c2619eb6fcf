#include "ks/ks_pin.h"

#include <cstring>
#include <new>

#include "ks/ks_filter.h"
#include "ks/ks_parse.h"
#include "ks/ks_trace.h"

namespace {

constexpr ULONG kConnectHeaderBytes = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);  // 136
constexpr ULONG kWaveFormatExBytes = 18;
constexpr ULONG kExtensibleExtraBytes = sizeof(WAVEFORMATEXTENSIBLE) - kWaveFormatExBytes;  // 22
// WaveRT buffer requests grow until the driver accepts one; beyond this size it never will.
constexpr ULONG kMaxWaveRtRequestBytes = 0x10000;

// ksuser.dll's pin creation, resolved once per process. KsCreatePin2 (returning an HRESULT) is preferred;
// systems without it have KsCreatePin (returning a Win32 error). The library stays loaded for good.
using KsCreatePinFunction = DWORD(WINAPI*)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);
using KsCreatePin2Function = HRESULT(WINAPI*)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

struct PinCreation {
    KsCreatePin2Function create2 = nullptr;
    KsCreatePinFunction create = nullptr;
};

const PinCreation& ResolvePinCreation() {
    static const PinCreation resolved = [] {
        PinCreation found;
        HMODULE ksuser = LoadLibraryA("ksuser.dll");
        if (!ksuser) return found;
        found.create2 =
            reinterpret_cast<KsCreatePin2Function>(reinterpret_cast<void*>(GetProcAddress(ksuser, "KsCreatePin2")));
        if (!found.create2)
            found.create =
                reinterpret_cast<KsCreatePinFunction>(reinterpret_cast<void*>(GetProcAddress(ksuser, "KsCreatePin")));
        return found;
    }();
    return resolved;
}

// Both functions report in 32 bits: an HRESULT, or a Win32 error that becomes one.
HRESULT PinCreationResult(ULONG result) {
    if (result == 0) return S_OK;
    if (static_cast<LONG>(result) < 0) return static_cast<HRESULT>(result);
    return static_cast<HRESULT>(0x80070000u | (result & 0xFFFFu));
}

ULONG WaveFormatBytes(const WAVEFORMATEX& format) {
    return format.wFormatTag == WAVE_FORMAT_PCM ? kWaveFormatExBytes : kWaveFormatExBytes + format.cbSize;
}

// An extensible format must carry its extension; without it there is no sub-format to read.
bool HasCompleteExtension(const WAVEFORMATEX& format) {
    return format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || format.cbSize >= kExtensibleExtraBytes;
}

}  // namespace

// ---- CKsPin

CKsPin::CKsPin(CKsFilter* filter, ULONG pinId, HRESULT& hr)
    : CKsIrpTarget(INVALID_HANDLE_VALUE), m_pinId(pinId), m_pFilter(filter) {
    hr = Init();
}

CKsPin::~CKsPin() { ClosePin(); }

HRESULT CKsPin::Init() {
    KS_ENTER("CKsPin::Init");
    HRESULT hr = S_OK;
    if (!m_pFilter) {
        KS_LEAVE_HR("CKsPin::Init", S_FALSE);
        return S_FALSE;
    }
    CKsFilter& filter = *m_pFilter;
    auto failed = [&](const char* text) {
        TraceKs(3, text, static_cast<int>(m_pinId));
        hr = S_FALSE;
    };

    if (FAILED(filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, &m_communication,
                                           sizeof m_communication)))
        failed("Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %d");

    KsMultipleItem list;
    if (FAILED(filter.GetPinPropertyMulti(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_INTERFACES, m_interfacesBlock)))
        failed("Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %d");
    if (ParseMultipleItem(m_interfacesBlock, list)) {
        m_cInterfaces = FittingItemCount(list, sizeof(KSIDENTIFIER));
        m_pInterfaces = reinterpret_cast<const KSIDENTIFIER*>(list.items);
    }

    if (FAILED(filter.GetPinPropertyMulti(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, m_mediumsBlock)))
        failed("Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %d");
    if (ParseMultipleItem(m_mediumsBlock, list)) {
        m_cMediums = FittingItemCount(list, sizeof(KSIDENTIFIER));
        m_pMediums = reinterpret_cast<const KSIDENTIFIER*>(list.items);
    }

    if (FAILED(filter.GetPinPropertyMulti(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, m_dataRangesBlock)))
        failed("Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %d");
    if (ParseMultipleItem(m_dataRangesBlock, list)) {
        // Ranges have their own sizes; the walk over them checks each against m_cbDataRanges.
        m_cDataRanges = list.count;
        m_pDataRanges = list.items;
        m_cbDataRanges = list.itemBytes;
    }

    if (FAILED(filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &m_dataFlow,
                                           sizeof m_dataFlow)))
        failed("Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %d");
    if (FAILED(filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, &m_cInstances,
                                           sizeof m_cInstances)))
        failed("Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %d");
    if (FAILED(filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_GLOBALCINSTANCES,
                                           &m_cGlobalInstances, sizeof m_cGlobalInstances)))
        failed("Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %d");
    if (FAILED(filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, &m_category,
                                           sizeof m_category)))
        failed("Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %d");
    // The name is informational: its absence does not make the pin any less usable. The last byte stays zero.
    if (FAILED(filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, m_szPinName,
                                           sizeof m_szPinName - 1)))
        TraceKs(3, "Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %d", static_cast<int>(m_pinId));

    KS_LEAVE_HR("CKsPin::Init", hr);
    return hr;
}

HRESULT CKsPin::GetCommunication(ULONG& communication) const {
    communication = m_communication;
    return S_OK;
}

HRESULT CKsPin::GetDataFlow(ULONG& dataFlow) const {
    dataFlow = m_dataFlow;
    return S_OK;
}

HRESULT CKsPin::Instantiate(BOOL looped, BOOL exclusive) {
    KS_ENTER("CKsPin::Instantiate");
    if (!m_pksPinCreate) {
        KS_LEAVE_HR("CKsPin::Instantiate", S_OK);
        return S_OK;
    }
    m_looped = looped ? 1 : 0;
    m_exclusive = exclusive ? 1 : 0;
    m_pksPinCreate->Interface.Id = looped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
    m_pksPinCreate->Priority.PriorityClass = exclusive ? KSPRIORITY_EXCLUSIVE : KSPRIORITY_NORMAL;

    HRESULT hr;
    const PinCreation& creation = ResolvePinCreation();
    if (!creation.create2 && !creation.create) {
        hr = static_cast<HRESULT>(0x80070002u);  // ERROR_FILE_NOT_FOUND
    } else {
        // An open pin would otherwise be leaked, and an exclusive one would keep the device busy for good.
        ClosePin();
        HANDLE filterHandle = m_pFilter ? m_pFilter->GetHandle() : INVALID_HANDLE_VALUE;
        HANDLE pin = INVALID_HANDLE_VALUE;
        ULONG result =
            creation.create2
                ? static_cast<ULONG>(creation.create2(filterHandle, m_pksPinCreate, GENERIC_READ | GENERIC_WRITE, &pin))
                : static_cast<ULONG>(creation.create(filterHandle, m_pksPinCreate, GENERIC_READ | GENERIC_WRITE, &pin));
        hr = PinCreationResult(result);
        if (SUCCEEDED(hr) && !IsValidHandle(pin)) hr = E_FAIL;
        if (SUCCEEDED(hr)) {
            m_handle = pin;
            m_state = KSSTATE_STOP;
        }
    }
    if (FAILED(hr)) TraceKs(1, "Failed to instantiate pin. hr=0x%08x", static_cast<unsigned>(hr));
    KS_LEAVE_HR("CKsPin::Instantiate", hr);
    return hr;
}

HRESULT CKsPin::Reset() {
    KS_ENTER("CKsPin::Reset");
    ClosePin();
    HRESULT hr = Instantiate(m_looped, m_exclusive);
    KS_LEAVE_HR("CKsPin::Reset", hr);
    return hr;
}

HRESULT CKsPin::_SetState(KSSTATE state) {
    KS_ENTER("CKsPin::_SetState");
    HRESULT hr = S_OK;
    if (static_cast<ULONG>(state) > KSSTATE_RUN) {
        hr = E_INVALIDARG;
    } else {
        // Drivers accept only neighbouring states, so the pin walks through each one in between.
        while (m_state != state) {
            KSSTATE next = static_cast<KSSTATE>(state < m_state ? m_state - 1 : m_state + 1);
            ULONG value = next;
            hr = SetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value);
            if (FAILED(hr)) {
                TraceKs(1, "Failed to Set Pin State");
                break;
            }
            m_state = next;
        }
    }
    KS_LEAVE_HR("CKsPin::_SetState", hr);
    return hr;
}

void CKsPin::ClosePin() {
    KS_ENTER("CKsPin::ClosePin");
    if (IsValidHandle(m_handle)) {
        _SetState(KSSTATE_STOP);
        SafeCloseHandle(m_handle);
        // Whatever state the driver last accepted, a closed pin is stopped: the next instance starts at stop.
        m_state = KSSTATE_STOP;
    }
    KS_LEAVE("CKsPin::ClosePin");
}

HRESULT CKsPin::ReadData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    KS_ENTER("CKsPin::ReadData");
    HRESULT hr = S_OK;
    if (!header || !overlapped) {
        hr = E_INVALIDARG;
    } else if (!DeviceIoControl(m_handle, IOCTL_KS_READ_STREAM, nullptr, 0, header, header->Size, nullptr,
                                overlapped)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            hr = E_FAIL;
            TraceKs(1, "DeviceIoControl Failed!  Error=0x%08x", static_cast<unsigned>(error));
        }
    }
    KS_LEAVE_HR("CKsPin::ReadData", hr);
    return hr;
}

HRESULT CKsPin::WriteData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    KS_ENTER("CKsPin::WriteData");
    HRESULT hr = S_OK;
    if (!header || !overlapped) {
        hr = E_INVALIDARG;
    } else if (!DeviceIoControl(m_handle, IOCTL_KS_WRITE_STREAM, nullptr, 0, header, header->Size, nullptr,
                                overlapped)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            hr = E_FAIL;
            TraceKs(1, "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x%#08x", static_cast<unsigned>(error));
        }
    }
    KS_LEAVE_HR("CKsPin::WriteData", hr);
    return hr;
}

// ---- CKsAudPin

CKsAudPin::CKsAudPin(CKsFilter* filter, ULONG pinId, HRESULT& hr) : CKsPin(filter, pinId, hr) {
    if (FAILED(hr)) return;
    constexpr ULONG size = kConnectHeaderBytes + kWaveFormatExBytes;  // 154
    m_connectStorage.reset(new (std::nothrow) BYTE[size]());
    if (!m_connectStorage) {
        TraceKs(1, "Failed to allocate m_pksPinCreate");
        hr = E_OUTOFMEMORY;
        return;
    }
    m_pksPinCreate = reinterpret_cast<KSPIN_CONNECT*>(m_connectStorage.get());
    m_cbPinCreate = size;
    m_pksPinCreate->Interface.Set = KSINTERFACESETID_Standard;
    m_pksPinCreate->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    m_pksPinCreate->Interface.Flags = 0;
    m_pksPinCreate->Medium.Set = KSMEDIUMSETID_Standard;
    m_pksPinCreate->Medium.Id = 0;
    m_pksPinCreate->Medium.Flags = 0;
    m_pksPinCreate->PinId = pinId;
    m_pksPinCreate->PinToHandle = nullptr;
    m_pksPinCreate->Priority.PriorityClass = KSPRIORITY_NORMAL;
    m_pksPinCreate->Priority.PrioritySubClass = 1;

    m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT*>(m_pksPinCreate + 1);
    m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + kWaveFormatExBytes;
    m_pksDataFormatWfx->Flags = 0;
    m_pksDataFormatWfx->Reserved = 0;
    m_pksDataFormatWfx->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    // PCM here even for extensible formats: drivers take the real sub-format from the wave format behind it.
    m_pksDataFormatWfx->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    m_pksDataFormatWfx->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;

    hr = Init();
}

CKsAudPin::~CKsAudPin() {
    // An event still registered would stay with the driver after it is closed here.
    if (m_hNotificationEvent) FreeBuffersWithNotification();
}

HRESULT CKsAudPin::Init() {
    KS_ENTER("CKsAudPin::Init");
    HRESULT hr = S_OK;
    m_bLoopedStreaming = 0;

    // The first standard interface decides how the pin streams.
    bool standard = false;
    for (ULONG i = 0; i < m_cInterfaces && !standard; ++i) {
        KSIDENTIFIER item;
        std::memcpy(&item, &m_pInterfaces[i], sizeof item);
        if (!SameGuid(item.Set, KSINTERFACESETID_Standard)) continue;
        if (item.Id == KSINTERFACE_STANDARD_STREAMING || item.Id == KSINTERFACE_STANDARD_LOOPED_STREAMING) {
            standard = true;
            m_bLoopedStreaming = item.Id == KSINTERFACE_STANDARD_LOOPED_STREAMING ? 1 : 0;
        }
    }
    if (!standard) {
        TraceKs(1, "No standard streaming interfaces on the pin");
        KS_LEAVE_HR("CKsAudPin::Init", E_FAIL);
        return E_FAIL;
    }

    bool standardMedium = false;
    for (ULONG i = 0; i < m_cMediums && !standardMedium; ++i) {
        KSIDENTIFIER item;
        std::memcpy(&item, &m_pMediums[i], sizeof item);
        standardMedium = SameGuid(item.Set, KSMEDIUMSETID_Standard) && item.Id == 0;
    }
    if (!standardMedium) {
        TraceKs(1, "No standard streaming mediums on the pin");
        KS_LEAVE_HR("CKsAudPin::Init", E_FAIL);
        return E_FAIL;
    }

    // Ranges before the first one with a wave-format sub-type (or a wildcard) are skipped; from there on every
    // audio range counts.
    bool gateOpen = false;
    WalkDataRanges(m_pDataRanges, m_cbDataRanges, m_cDataRanges, [&](const KSDATARANGE_AUDIO& range, ULONG formatSize) {
        const KSDATARANGE& head = range.DataRange;
        if (!gateOpen) gateOpen = IsNullGuid(head.SubFormat) || IsWaveFormatTagGuid(head.SubFormat);
        if (!gateOpen || !SameGuid(head.MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) return;
        // An audio range too short for its own fields is not read beyond its end.
        if (formatSize < kAudioDataRangeFieldBytes) return;
        try {
            m_listDataRanges.push_back(range);
        } catch (const std::bad_alloc&) {
            TraceKs(1, "Unable to allocate list entry to save datarange in");
            hr = E_OUTOFMEMORY;
        }
    });
    if (!gateOpen) {
        TraceKs(1, "No audio dataranges on the pin");
        hr = E_FAIL;
    }
    KS_LEAVE_HR("CKsAudPin::Init", hr);
    return hr;
}

bool CKsAudPin::IsFormatSupported(const WAVEFORMATEX* format) const {
    KS_ENTER("CKsAudPin::IsFormatSupported");
    bool supported = false;
    if (format && HasCompleteExtension(*format)) {
        GUID subType;
        ULONG bits;
        if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
            WAVEFORMATEXTENSIBLE extensible;
            std::memcpy(&extensible, format, sizeof extensible);
            subType = extensible.SubFormat;
            bits = extensible.Samples.wValidBitsPerSample;
        } else {
            subType = WaveFormatTagGuid(format->wFormatTag);
            bits = format->wBitsPerSample;
        }
        for (const KSDATARANGE_AUDIO& range : m_listDataRanges) {
            const KSDATARANGE& head = range.DataRange;
            if (!IsNullGuid(head.MajorFormat) && !SameGuid(head.MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) continue;
            if (!IsNullGuid(head.SubFormat) && !SameGuid(head.SubFormat, subType)) continue;
            if (!IsNullGuid(head.Specifier) && !SameGuid(head.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) continue;
            if (range.MaximumChannels < format->nChannels) continue;
            if (bits < range.MinimumBitsPerSample || bits > range.MaximumBitsPerSample) continue;
            if (format->nSamplesPerSec < range.MinimumSampleFrequency ||
                format->nSamplesPerSec > range.MaximumSampleFrequency)
                continue;
            supported = true;
            break;
        }
    }
    KS_LEAVE("CKsAudPin::IsFormatSupported");
    return supported;
}

HRESULT CKsAudPin::SetFormat(const WAVEFORMATEX* format) {
    KS_ENTER("CKsAudPin::SetFormat");
    if (!format || !m_pksDataFormatWfx) {
        TraceKs(1, "pwfx or m_pksDataFormatWfx are NULL");
        KS_LEAVE_HR("CKsAudPin::SetFormat", E_FAIL);
        return E_FAIL;
    }
    if (!HasCompleteExtension(*format)) {
        KS_LEAVE_HR("CKsAudPin::SetFormat", E_INVALIDARG);
        return E_INVALIDARG;
    }
    ULONG formatBytes = WaveFormatBytes(*format);
    ULONG size = kConnectHeaderBytes + formatBytes;
    if (m_cbPinCreate != size) {
        std::unique_ptr<BYTE[]> grown(new (std::nothrow) BYTE[size]());
        if (!grown) {
            TraceKs(1, "Unable to allocate KSPIN_CONNECT structure");
            KS_LEAVE_HR("CKsAudPin::SetFormat", E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
        std::memcpy(grown.get(), m_connectStorage.get(), m_cbPinCreate < size ? m_cbPinCreate : size);
        m_connectStorage = std::move(grown);
        m_pksPinCreate = reinterpret_cast<KSPIN_CONNECT*>(m_connectStorage.get());
        m_cbPinCreate = size;
        m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT*>(m_pksPinCreate + 1);
        m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + formatBytes;
    }
    std::memcpy(m_pksDataFormatWfx + 1, format, formatBytes);
    m_pksDataFormatWfx->SampleSize = static_cast<WORD>((format->nChannels * format->wBitsPerSample) / 8);

    m_wfxStorage.reset(new (std::nothrow) BYTE[formatBytes]);
    m_pwfx = nullptr;
    if (m_wfxStorage) {
        std::memcpy(m_wfxStorage.get(), format, formatBytes);
        m_pwfx = reinterpret_cast<WAVEFORMATEX*>(m_wfxStorage.get());
    }
    KS_LEAVE_HR("CKsAudPin::SetFormat", S_OK);
    return S_OK;
}

bool CKsAudPin::IsFloatFormat() const {
    if (!m_pwfx) return false;
    if (m_pwfx->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
    if (m_pwfx->wFormatTag != WAVE_FORMAT_EXTENSIBLE || !HasCompleteExtension(*m_pwfx)) return false;
    WAVEFORMATEXTENSIBLE extensible;
    std::memcpy(&extensible, m_pwfx, sizeof extensible);
    return SameGuid(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

HRESULT CKsAudPin::Reset() {
    KS_ENTER("CKsAudPin::Reset");
    if (m_hNotificationEvent) FreeBuffersWithNotification();
    HRESULT hr = CKsPin::Reset();
    // The driver released the buffer with the old pin handle.
    m_pBuffer = nullptr;
    m_cbBuffer = 0;
    KS_LEAVE_HR("CKsAudPin::Reset", hr);
    return hr;
}

HRESULT CKsAudPin::Instantiate(BOOL looped, BOOL exclusive) {
    if (m_hNotificationEvent) FreeBuffersWithNotification();
    m_pBuffer = nullptr;
    m_cbBuffer = 0;
    return CKsPin::Instantiate(looped, exclusive);
}

HRESULT CKsAudPin::SetBufferDuration(ULONG duration) {
    KS_ENTER("CKsAudPin::SetBufferDuration");
    HRESULT hr = SetPropertySimple(KSPROPSETID_AudioBufferDuration, KSPROPERTY_AUDIOBUFFERDURATION, nullptr, 0,
                                   &duration, sizeof duration);
    if (FAILED(hr)) TraceKs(1, "Failed to Set Audio buffer duration - %#08x", static_cast<unsigned>(hr));
    KS_LEAVE_HR("CKsAudPin::SetBufferDuration", hr);
    return hr;
}

HRESULT CKsAudPin::AllocateBuffersWithNotification(ULONG requestedBytes, void*& buffer, ULONG& grantedBytes) {
    KS_ENTER("CKsAudPin::AllocateBuffersWithNotification");
    buffer = nullptr;
    grantedBytes = 0;
    HRESULT hr = S_OK;

    if (m_pBuffer) {
        buffer = m_pBuffer;
        grantedBytes = m_cbBuffer;
    } else {
        // Drivers round to their own granularity and refuse sizes they cannot map; a size that is a whole
        // number of frames larger may pass. The step is one byte per channel.
        ULONG step = (m_pwfx && m_pwfx->nChannels) ? m_pwfx->nChannels : 32;
        KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
        request.BaseAddress = nullptr;
        request.NotificationCount = 2;
        const BYTE* extra = reinterpret_cast<const BYTE*>(&request) + sizeof(KSPROPERTY);
        constexpr ULONG extraSize = sizeof request - sizeof(KSPROPERTY);
        unsigned long long size = requestedBytes;
        for (;;) {
            request.RequestedBufferSize = static_cast<ULONG>(size);
            KSRTAUDIO_BUFFER granted{};
            hr = GetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, &granted,
                                   sizeof granted, extra, extraSize);
            // A "success" without a buffer is a refusal too.
            if (SUCCEEDED(hr) && (!granted.BufferAddress || granted.ActualBufferSize == 0)) hr = E_FAIL;
            if (SUCCEEDED(hr)) {
                m_pBuffer = granted.BufferAddress;
                m_cbBuffer = granted.ActualBufferSize;
                buffer = m_pBuffer;
                grantedBytes = m_cbBuffer;
                break;
            }
            size += step;
            if (size >= kMaxWaveRtRequestBytes) {
                TraceKs(1, "Failed to allocate audio buffers - %#08x", static_cast<unsigned>(hr));
                KS_LEAVE_HR("CKsAudPin::AllocateBuffersWithNotification", hr);
                return hr;
            }
        }
    }

    // One event per registration: an earlier one is taken back from the driver before it is replaced.
    if (m_hNotificationEvent) FreeBuffersWithNotification();
    m_hNotificationEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!m_hNotificationEvent) {
        hr = E_OUTOFMEMORY;
    } else {
        KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY registration{};
        registration.NotificationEvent = m_hNotificationEvent;
        hr = SetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, nullptr, 0,
                               &registration.NotificationEvent, sizeof registration.NotificationEvent);
    }
    if (FAILED(hr)) {
        TraceKs(1, "Failed to allocate audio buffers - %#08x", static_cast<unsigned>(hr));
        KS_LEAVE_HR("CKsAudPin::AllocateBuffersWithNotification", hr);
        return hr;
    }

    // Asked for because drivers expect it after the buffer; the driver layer reads positions by packet instead.
    KSRTAUDIO_HWREGISTER_PROPERTY positionRequest{};
    KSRTAUDIO_HWREGISTER position{};
    GetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_POSITIONREGISTER, &position, sizeof position,
                      &positionRequest.BaseAddress, sizeof positionRequest.BaseAddress);

    KS_LEAVE_HR("CKsAudPin::AllocateBuffersWithNotification", hr);
    return hr;
}

void CKsAudPin::FreeBuffersWithNotification() {
    KS_ENTER("CKsAudPin::FreeBuffersWithNotification");
    if (m_hNotificationEvent) {
        HRESULT hr = SetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, nullptr,
                                       0, &m_hNotificationEvent, sizeof m_hNotificationEvent);
        TraceKs(6, "Unregistering the notification event returned %#08x", static_cast<unsigned>(hr));
        CloseHandle(m_hNotificationEvent);
        m_hNotificationEvent = nullptr;
    }
    KS_LEAVE("CKsAudPin::FreeBuffersWithNotification");
}

// The three packet requests below run on a stream thread once per period: they build their requests on the
// stack and trace only when the threshold asks for it.
HRESULT CKsAudPin::GetPacketCount(ULONG& packetCount) {
    KS_ENTER("CKsAudPin::GetPacketCount");
    ULONG count = 0;
    HRESULT hr = GetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_PACKETCOUNT, &count, sizeof count);
    if (SUCCEEDED(hr)) packetCount = count;
    KS_LEAVE_HR("CKsAudPin::GetPacketCount", hr);
    return hr;
}

HRESULT CKsAudPin::GetReadPacket(ULONG& packetNumber) {
    KS_ENTER("CKsAudPin::GetReadPacket");
    KSRTAUDIO_GETREADPACKET_INFO info{};
    HRESULT hr = GetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_GETREADPACKET, &info, sizeof info);
    if (SUCCEEDED(hr)) packetNumber = info.PacketNumber;
    KS_LEAVE_HR("CKsAudPin::GetReadPacket", hr);
    return hr;
}

HRESULT CKsAudPin::SetWritePacket(ULONG packetNumber) {
    KS_ENTER("CKsAudPin::SetWritePacket");
    KSRTAUDIO_SETWRITEPACKET_INFO info{};
    info.PacketNumber = packetNumber;
    info.Flags = 0;
    info.EosPacketLength = 0;
    // Drivers read the packet from behind the KSPROPERTY or from the value buffer; it goes in both.
    KSRTAUDIO_SETWRITEPACKET_INFO value = info;
    HRESULT hr = SetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, &value, sizeof value, &info,
                                   sizeof info);
    KS_LEAVE_HR("CKsAudPin::SetWritePacket", hr);
    return hr;
}

// ---- Render and capture pins

CKsAudRenPin::CKsAudRenPin(CKsFilter* filter, ULONG pinId, HRESULT& hr) : CKsAudPin(filter, pinId, hr) {
    m_pinType = eKsPinRender;
}

CKsAudCapPin::CKsAudCapPin(CKsFilter* filter, ULONG pinId, HRESULT& hr) : CKsAudPin(filter, pinId, hr) {
    m_pinType = eKsPinCapture;
}
