#include "ks/ks_filter.h"

#include <cstring>
#include <new>

#include "ks/ks_parse.h"
#include "ks/ks_trace.h"

namespace {

template <class T>
bool Append(std::vector<T*>& list, T* item) {
    try {
        list.push_back(item);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// How a pin is opened for a stream: looped (WaveRT) or standard streaming by mode or by the pin's own
// interface, exclusive only for flag 1.
struct OpenArguments {
    BOOL looped;
    BOOL exclusive;
};

OpenArguments ArgumentsFor(const CKsAudPin& pin, ULONG exclusive, ULONG mode) {
    BOOL looped = mode == 1 ? FALSE : mode == 2 ? TRUE : static_cast<BOOL>(pin.m_bLoopedStreaming);
    return {looped, exclusive == 1 ? TRUE : FALSE};
}

CKsAudPin* FirstSupporting(const std::vector<CKsPin*>& pins, const WAVEFORMATEX* format) {
    for (CKsPin* pin : pins) {
        auto* audio = dynamic_cast<CKsAudPin*>(pin);
        if (audio && audio->IsFormatSupported(format)) return audio;
    }
    return nullptr;
}

}  // namespace

// ---- CKsFilter

CKsFilter::CKsFilter(LPCSTR path, HRESULT& hr) : CKsIrpTarget(INVALID_HANDLE_VALUE) {
    KS_ENTER("CKsFilter::CKsFilter");
    hr = S_OK;
    if (!path) {
        TraceKs(1, "pszName cannot be NULL");
        hr = E_INVALIDARG;
    } else if (std::strlen(path) >= sizeof m_szFilterName) {
        // A cut path would name another device or none; the filter is refused instead.
        TraceKs(1, "Device path too long: %.200s", path);
        hr = E_INVALIDARG;
    } else {
        std::strcpy(m_szFilterName, path);
    }
    KS_LEAVE_HR("CKsFilter::CKsFilter", hr);
}

CKsFilter::~CKsFilter() {
    DestroyLists();
    SafeCloseHandle(m_handle);
}

HRESULT CKsFilter::Instantiate() {
    KS_ENTER("CKsFilter::Instantiate");
    HRESULT hr = S_OK;
    SafeCloseHandle(m_handle);  // opening again must not leak the earlier handle
    m_handle = CreateFileA(m_szFilterName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (!IsValidHandle(m_handle)) {
        hr = E_FAIL;
        TraceKs(1, "CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x", m_szFilterName,
                static_cast<unsigned>(GetLastError()));
    }
    KS_LEAVE_HR("CKsFilter::Instantiate", hr);
    return hr;
}

HRESULT CKsFilter::EnumerateNodes() {
    KS_ENTER("CKsFilter::EnumerateNodes");
    for (CKsNode* node : m_listNodes) delete node;
    m_listNodes.clear();

    CKsPropertyBlock answer;
    HRESULT hr = GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, answer);
    if (FAILED(hr)) {
        TraceKs(4, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES");
        KS_LEAVE_HR("CKsFilter::EnumerateNodes", hr);
        return hr;
    }
    KsMultipleItem list;
    ULONG count = 0;
    if (answer.size != 0) {
        // Every node the answer claims must be in it; a list that does not fit is refused whole.
        if (!ParseMultipleItem(answer, list) || FittingItemCount(list, sizeof(GUID)) != list.count) {
            hr = E_FAIL;
        } else {
            count = list.count;
        }
    }
    for (ULONG i = 0; i < count && SUCCEEDED(hr); ++i) {
        auto* node = new (std::nothrow) CKsNode;
        if (!node) continue;
        node->m_nodeId = i;
        std::memcpy(&node->m_tag, "NONE", 4);
        std::memcpy(&node->m_nodeType, list.items + i * sizeof(GUID), sizeof(GUID));
        if (!Append(m_listNodes, node)) {
            delete node;
            hr = E_OUTOFMEMORY;
        }
    }
    if (m_listNodes.size() != count) hr = E_FAIL;
    if (FAILED(hr)) {
        for (CKsNode* node : m_listNodes) delete node;
        m_listNodes.clear();
    }
    KS_LEAVE_HR("CKsFilter::EnumerateNodes", hr);
    return hr;
}

HRESULT CKsFilter::ReadPinCount(ULONG& count) {
    count = 0;
    ULONG reported = 0;
    HRESULT hr = GetPinPropertySimple(0, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &reported, sizeof reported);
    if (FAILED(hr)) return hr;
    if (reported > kMaxPinCount) {
        TraceKs(1, "Pin count %u is beyond reason", static_cast<unsigned>(reported));
        return E_FAIL;
    }
    count = reported;
    return hr;
}

HRESULT CKsFilter::EnumeratePins() {
    KS_ENTER("CKsFilter::EnumeratePins");
    ULONG count = 0;
    HRESULT hr = ReadPinCount(count);
    if (SUCCEEDED(hr)) {
        for (ULONG id = 0; id < count; ++id) {
            HRESULT pinResult = S_OK;
            auto* pin = new (std::nothrow) CKsPin(this, id, pinResult);
            if (!pin) {
                hr = E_OUTOFMEMORY;
                TraceKs(1, "Failed to create pin");
                continue;
            }
            if (FAILED(pinResult)) {
                TraceKs(1, "Failed to construct pin");
                delete pin;
                continue;
            }
            if (!Append(m_listPins, pin)) {
                TraceKs(1, "Failed to add pin to list");
                delete pin;
            }
        }
    }
    hr = ClassifyPins();
    if (m_listRenderSinkPins.empty() && m_listCaptureSourcePins.empty() && m_listCaptureSinkPins.empty() &&
        m_listRenderSourcePins.empty() && m_listNoCommPins.empty()) {
        TraceKs(1, "Filter is not viable. It has no pins.");
        hr = E_FAIL;
    }
    KS_LEAVE_HR("CKsFilter::EnumeratePins", hr);
    return hr;
}

HRESULT CKsFilter::ClassifyPins() {
    KS_ENTER("CKsFilter::ClassifyPins");
    HRESULT hr = S_OK;
    for (CKsPin* pin : m_listPins) {
        ULONG communication = 0;
        ULONG dataFlow = 0;
        pin->GetCommunication(communication);
        pin->GetDataFlow(dataFlow);
        bool in = dataFlow == KSPIN_DATAFLOW_IN;
        bool ok = true;
        switch (communication) {
            case KSPIN_COMMUNICATION_NONE:
                ok = Append(m_listNoCommPins, pin);
                break;
            case KSPIN_COMMUNICATION_SINK:
                ok = Append(in ? m_listRenderSinkPins : m_listCaptureSinkPins, pin);
                break;
            case KSPIN_COMMUNICATION_SOURCE:
                ok = Append(in ? m_listRenderSourcePins : m_listCaptureSourcePins, pin);
                break;
            case KSPIN_COMMUNICATION_BOTH:
                ok = Append(in ? m_listRenderSinkPins : m_listCaptureSinkPins, pin) &&
                     Append(in ? m_listRenderSourcePins : m_listCaptureSourcePins, pin);
                break;
            default:
                TraceKs(5, "Pin communication type not recognized");
                break;
        }
        if (!ok) {
            hr = E_OUTOFMEMORY;
            break;
        }
    }
    KS_LEAVE_HR("CKsFilter::ClassifyPins", hr);
    return hr;
}

void CKsFilter::DeletePins() {
    m_listRenderSinkPins.clear();
    m_listCaptureSourcePins.clear();
    m_listCaptureSinkPins.clear();
    m_listRenderSourcePins.clear();
    m_listNoCommPins.clear();
    for (CKsPin* pin : m_listPins) delete pin;
    m_listPins.clear();
}

HRESULT CKsFilter::DestroyLists() {
    KS_ENTER("CKsFilter::DestroyLists");
    for (CKsNode* node : m_listNodes) delete node;
    m_listNodes.clear();
    DeletePins();
    KS_LEAVE_HR("CKsFilter::DestroyLists", S_OK);
    return S_OK;
}

HRESULT CKsFilter::GetPinPropertySimple(ULONG pinId, const GUID& set, ULONG id, void* out, ULONG outSize) {
    KS_ENTER("CKsFilter::GetPinPropertySimple");
    KSP_PIN request{};
    request.Property.Set = set;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    request.Reserved = 0;
    if (out && outSize) std::memset(out, 0, outSize);
    ULONG returned = 0;
    HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof request, out, outSize, &returned);
    KS_LEAVE_HR("CKsFilter::GetPinPropertySimple", hr);
    return hr;
}

HRESULT CKsFilter::GetPinPropertyMulti(ULONG pinId, const GUID& set, ULONG id, CKsPropertyBlock& answer) {
    KS_ENTER("CKsFilter::GetPinPropertyMulti");
    KSP_PIN request{};
    request.Property.Set = set;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    request.Reserved = 0;
    HRESULT hr = QueryVariableSize(&request, sizeof request, answer);
    KS_LEAVE_HR("CKsFilter::GetPinPropertyMulti", hr);
    return hr;
}

// ---- CKsAudFilter

HRESULT CKsAudFilter::EnumeratePins() {
    KS_ENTER("CKsAudFilter::EnumeratePins");
    ULONG count = 0;
    if (FAILED(ReadPinCount(count))) TraceKs(1, "Failed to retrieve count of pins in audio filter");

    for (ULONG id = 0; id < count; ++id) {
        ULONG communication = 0;
        if (FAILED(GetPinPropertySimple(id, KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, &communication,
                                        sizeof communication))) {
            TraceKs(1, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION");
            continue;
        }
        if (communication == KSPIN_COMMUNICATION_NONE) continue;
        if (communication > KSPIN_COMMUNICATION_BOTH) {
            TraceKs(1, "Pin communication value doesn't make sense");
            continue;
        }
        ULONG dataFlow = 0;
        if (FAILED(GetPinPropertySimple(id, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &dataFlow, sizeof dataFlow))) {
            TraceKs(1, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW");
            continue;
        }

        bool sink = communication == KSPIN_COMMUNICATION_SINK || communication == KSPIN_COMMUNICATION_BOTH;
        HRESULT pinResult = S_OK;
        CKsAudPin* pin;
        if (sink && dataFlow == KSPIN_DATAFLOW_IN) {
            TraceKs(6, "new CKsAudRenPin()");
            pin = new (std::nothrow) CKsAudRenPin(this, id, pinResult);
        } else if (sink && dataFlow == KSPIN_DATAFLOW_OUT) {
            TraceKs(6, "new CKsAudCapPin()");
            pin = new (std::nothrow) CKsAudCapPin(this, id, pinResult);
        } else {
            TraceKs(6, "new CKsAudPin()");
            pin = new (std::nothrow) CKsAudPin(this, id, pinResult);
        }

        bool outOfMemory = false;
        if (!pin) {
            TraceKs(1, "Failed to create audio pin");
            outOfMemory = true;
        } else if (FAILED(pinResult)) {
            delete pin;
            continue;
        } else {
            TraceKs(6, "Adding pin to m_listPins ksPinCommunication=%u", static_cast<unsigned>(communication));
            if (!Append<CKsPin>(m_listPins, pin)) {
                delete pin;
                TraceKs(1, "Unable to allocate list entry to save pin in");
                outOfMemory = true;
            }
        }
        if (outOfMemory) {
            TraceKs(1, "Ran out of memory enumerating pins - deleting all pins");
            DeletePins();
            KS_LEAVE_HR("CKsAudFilter::EnumeratePins", E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
    }

    HRESULT hr = ClassifyPins();
    if (SUCCEEDED(hr) && m_listRenderSinkPins.empty() && m_listCaptureSourcePins.empty() &&
        m_listCaptureSinkPins.empty() && m_listRenderSourcePins.empty()) {
        TraceKs(1, "No valid pins found on the filter");
        hr = E_FAIL;
    }
    KS_LEAVE_HR("CKsAudFilter::EnumeratePins", hr);
    return hr;
}

// ---- Render and capture filters

CKsAudRenFilter::CKsAudRenFilter(LPCSTR path, HRESULT& hr) : CKsAudFilter(path, hr) { m_type = eRender; }

CKsAudPin* CKsAudRenFilter::FindViablePin(const WAVEFORMATEX* format) {
    return FirstSupporting(m_listRenderSinkPins, format);
}

CKsAudPin* CKsAudRenFilter::CreateRenderPin(const WAVEFORMATEX* format, ULONG exclusive, ULONG mode) {
    KS_ENTER("CKsAudRenFilter::CreateRenderPin");
    CKsAudPin* pin = FindViablePin(format);
    if (!pin) {
        TraceKs(4, "Could not find a Render pin that supports the given wave format");
    } else if (FAILED(pin->SetFormat(format))) {
        TraceKs(1, "Failed to set Render Pin format - the pin lied about its supported formats");
    } else {
        OpenArguments open = ArgumentsFor(*pin, exclusive, mode);
        if (SUCCEEDED(pin->Instantiate(open.looped, open.exclusive))) {
            TraceKs(5, "Successfully instantiated Render Pin.  Handle = 0x%08x",
                    static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pin->GetHandle())));
            KS_LEAVE("CKsAudRenFilter::CreateRenderPin");
            return pin;
        }
        TraceKs(1, "Failed to instantiate Render Pin");
    }
    // Render drivers do not always list every format they take: try each render pin with the format itself.
    CKsAudPin* opened = nullptr;
    for (CKsPin* candidate : m_listRenderSinkPins) {
        auto* audio = dynamic_cast<CKsAudPin*>(candidate);
        if (!audio || FAILED(audio->SetFormat(format))) continue;
        OpenArguments open = ArgumentsFor(*audio, exclusive, mode);
        if (SUCCEEDED(audio->Instantiate(open.looped, open.exclusive))) {
            opened = audio;
            break;
        }
    }
    KS_LEAVE("CKsAudRenFilter::CreateRenderPin");
    return opened;
}

CKsAudCapFilter::CKsAudCapFilter(LPCSTR path, HRESULT& hr) : CKsAudFilter(path, hr) { m_type = eCapture; }

CKsAudPin* CKsAudCapFilter::FindViablePin(const WAVEFORMATEX* format) {
    return FirstSupporting(m_listCaptureSinkPins, format);
}

CKsAudPin* CKsAudCapFilter::CreateCapturePin(const WAVEFORMATEX* format, ULONG exclusive, ULONG mode) {
    KS_ENTER("CKsAudCapFilter::CreateCapturePin");
    CKsAudPin* pin = FindViablePin(format);
    CKsAudPin* opened = nullptr;
    if (!pin) {
        TraceKs(1, "Could not find a Capture pin that supports the given wave format");
    } else if (FAILED(pin->SetFormat(format))) {
        TraceKs(1, "Failed to set Capture Pin format");
    } else {
        OpenArguments open = ArgumentsFor(*pin, exclusive, mode);
        if (SUCCEEDED(pin->Instantiate(open.looped, open.exclusive))) {
            TraceKs(5, "Successfully instantiated Capture Pin.  Handle = 0x%08x",
                    static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pin->GetHandle())));
            opened = pin;
        } else {
            TraceKs(1, "Failed to instantiate Capture Pin");
        }
    }
    KS_LEAVE("CKsAudCapFilter::CreateCapturePin");
    return opened;
}
