// Kernel-streaming filters: one audio device as the kernel exposes it, a device-interface path that opens as a
// file, with numbered pins and topology nodes. CKsFilter is any filter; CKsAudFilter enumerates audio pins;
// CKsAudRenFilter and CKsAudCapFilter choose and open the pin for a wave format.
//
// Ownership: a filter owns its nodes and pins (m_listPins); the five sorted lists only refer to pins of
// m_listPins. Pins handed out by CreateRenderPin / CreateCapturePin stay the filter's, so they must not outlive
// it. Threads: enumeration and pin creation run on the caller's thread; requests take CKsIrpTarget's lock.
#pragma once

#include <vector>

#include "ks/ks_irp_target.h"
#include "ks/ks_pin.h"
#include "platform/win32.h"

// A topology node; nothing reads its tag, which marks the record in memory dumps.
struct CKsNode {
    ULONG m_nodeId = 0;
    ULONG m_tag = 0;
    GUID m_nodeType{};
};

class CKsFilter : public CKsIrpTarget {
public:
    // Filter types. They live in the class: Core Audio's EDataFlow names eRender and eCapture at global scope.
    enum KsFilterType : ULONG { eUnknown = 0, eRender = 1, eCapture = 2 };

    // Filters have a handful of pins; a count beyond this is a broken answer, not a filter to walk.
    static constexpr ULONG kMaxPinCount = 256;

    // `hr` is E_INVALIDARG for a null path or one that does not fit m_szFilterName, else S_OK.
    CKsFilter(LPCSTR path, HRESULT& hr);
    ~CKsFilter() override;

    virtual HRESULT Instantiate();
    virtual HRESULT EnumerateNodes();
    virtual HRESULT EnumeratePins();
    virtual HRESULT DestroyLists();

    HRESULT ClassifyPins();
    HRESULT GetPinPropertySimple(ULONG pinId, const GUID& set, ULONG id, void* out, ULONG outSize);
    HRESULT GetPinPropertyMulti(ULONG pinId, const GUID& set, ULONG id, CKsPropertyBlock& answer);
    KsFilterType GetType() const { return m_type; }

    std::vector<CKsNode*> m_listNodes;
    std::vector<CKsPin*> m_listPins;
    std::vector<CKsPin*> m_listRenderSinkPins;
    std::vector<CKsPin*> m_listCaptureSourcePins;
    std::vector<CKsPin*> m_listCaptureSinkPins;
    std::vector<CKsPin*> m_listRenderSourcePins;
    std::vector<CKsPin*> m_listNoCommPins;
    KsFilterType m_type = eUnknown;
    char m_szFilterName[260] = {};
    char m_szFriendlyName[260] = {};
    // The first device instance ID of the device's bus relations; always terminated.
    WCHAR m_wszDeviceProperty[2048] = {};

protected:
    // Reads the pin count, refusing one beyond reason.
    HRESULT ReadPinCount(ULONG& count);
    void DeletePins();
};

using KsFilterType = CKsFilter::KsFilterType;

class CKsAudFilter : public CKsFilter {
public:
    CKsAudFilter(LPCSTR path, HRESULT& hr) : CKsFilter(path, hr) {}
    HRESULT EnumeratePins() override;
};

class CKsAudRenFilter : public CKsAudFilter {
public:
    CKsAudRenFilter(LPCSTR path, HRESULT& hr);
    CKsAudPin* FindViablePin(const WAVEFORMATEX* format);
    // The opened pin, owned by the filter; null when no render pin takes the format. `exclusive` 1 asks for
    // exclusive priority; `mode` 1 forces standard streaming, 2 looped, anything else takes the pin's own.
    CKsAudPin* CreateRenderPin(const WAVEFORMATEX* format, ULONG exclusive, ULONG mode);
};

class CKsAudCapFilter : public CKsAudFilter {
public:
    CKsAudCapFilter(LPCSTR path, HRESULT& hr);
    CKsAudPin* FindViablePin(const WAVEFORMATEX* format);
    CKsAudPin* CreateCapturePin(const WAVEFORMATEX* format, ULONG exclusive, ULONG mode);
};
