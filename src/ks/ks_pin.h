// Pins of a kernel-streaming filter: CKsPin (any pin), CKsAudPin (an audio pin that can be opened with a wave
// format and streamed through WaveRT or stream requests), CKsAudRenPin and CKsAudCapPin.
//
// Ownership and life: a filter creates its pins during enumeration and owns them; the device layer keeps plain
// pointers. A pin is closed at construction; SetFormat may run any number of times while it is closed;
// Instantiate opens it (state stop); AllocateBuffersWithNotification maps the WaveRT buffer and registers the
// notification event; _SetState steps it to run and back; ClosePin or destruction closes it.
//
// Threads: property requests go through the pin's own lock (CKsIrpTarget). ReadData and WriteData bypass it, so
// stream requests may be in flight on the stream thread while another thread changes the pin's state. Opening
// (Instantiate, Reset) happens on one thread at a time, the device layer's.
#pragma once

#include <memory>
#include <vector>

#include "ks/ks_irp_target.h"
#include "platform/win32.h"

class CKsFilter;

enum KsPinType : ULONG { eKsPinGeneric = 0, eKsPinRender = 1, eKsPinCapture = 2 };

class CKsPin : public CKsIrpTarget {
public:
    // Reads every pin property (Init); `hr` is S_OK, or S_FALSE when some property could not be read.
    CKsPin(CKsFilter* filter, ULONG pinId, HRESULT& hr);
    ~CKsPin() override;

    virtual HRESULT Instantiate(BOOL looped, BOOL exclusive);
    virtual HRESULT Reset();
    virtual HRESULT _SetState(KSSTATE state);

    HRESULT Init();
    HRESULT GetCommunication(ULONG& communication) const;
    HRESULT GetDataFlow(ULONG& dataFlow) const;
    // Steps the pin down to stop and closes it; nothing when it is not open.
    void ClosePin();

    // Stream requests (standard streaming): no lock, no wait; the caller's OVERLAPPED event tells completion.
    HRESULT ReadData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);
    HRESULT WriteData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);

    // The connect block (KSPIN_CONNECT, KSDATAFORMAT, wave format); null for plain pins.
    KSPIN_CONNECT* m_pksPinCreate = nullptr;
    ULONG m_cbPinCreate = 0;
    ULONG m_pinId;
    CKsFilter* m_pFilter;
    GUID m_category{};
    // The three list answers. Counts never exceed what the answer's bytes hold.
    ULONG m_cInterfaces = 0;
    const KSIDENTIFIER* m_pInterfaces = nullptr;
    ULONG m_cMediums = 0;
    const KSIDENTIFIER* m_pMediums = nullptr;
    ULONG m_cDataRanges = 0;
    const BYTE* m_pDataRanges = nullptr;  // first range; ranges are walked by their FormatSize
    ULONG m_cbDataRanges = 0;             // bytes from m_pDataRanges to the end of the answer
    ULONG m_dataFlow = 0;
    ULONG m_communication = 0;
    KSPIN_CINSTANCES m_cInstances{};
    KSPIN_CINSTANCES m_cGlobalInstances{};
    ULONG m_pinType = eKsPinGeneric;
    KSSTATE m_state = KSSTATE_STOP;
    char m_szPinName[260] = {};
    ULONG m_looped = 0;
    ULONG m_exclusive = 0;

protected:
    std::unique_ptr<BYTE[]> m_connectStorage;
    CKsPropertyBlock m_interfacesBlock;
    CKsPropertyBlock m_mediumsBlock;
    CKsPropertyBlock m_dataRangesBlock;
};

class CKsAudPin : public CKsPin {
public:
    CKsAudPin(CKsFilter* filter, ULONG pinId, HRESULT& hr);
    ~CKsAudPin() override;

    HRESULT Reset() override;
    // A new instance maps its own WaveRT buffer and registers its own event: what the previous instance was given
    // went with its handle.
    HRESULT Instantiate(BOOL looped, BOOL exclusive) override;

    HRESULT Init();
    bool IsFormatSupported(const WAVEFORMATEX* format) const;
    HRESULT SetFormat(const WAVEFORMATEX* format);
    bool IsFloatFormat() const;

    // WaveRT. The duration's unit is the caller's choice.
    HRESULT SetBufferDuration(ULONG duration);
    HRESULT AllocateBuffersWithNotification(ULONG requestedBytes, void*& buffer, ULONG& grantedBytes);
    void FreeBuffersWithNotification();
    HRESULT GetPacketCount(ULONG& packetCount);
    HRESULT GetReadPacket(ULONG& packetNumber);
    HRESULT SetWritePacket(ULONG packetNumber);

    // Copies of the pin's audio data ranges (the fields of KSDATARANGE_AUDIO; padding zero).
    std::vector<KSDATARANGE_AUDIO> m_listDataRanges;
    // The format last given to SetFormat (WAVEFORMATEX or WAVEFORMATEXTENSIBLE); null before.
    WAVEFORMATEX* m_pwfx = nullptr;
    KSDATAFORMAT* m_pksDataFormatWfx = nullptr;
    ULONG m_bLoopedStreaming = 0;
    // The WaveRT buffer as the driver mapped it; remembered until Reset.
    void* m_pBuffer = nullptr;
    ULONG m_cbBuffer = 0;
    HANDLE m_hNotificationEvent = nullptr;

private:
    std::unique_ptr<BYTE[]> m_wfxStorage;
};

class CKsAudRenPin : public CKsAudPin {
public:
    CKsAudRenPin(CKsFilter* filter, ULONG pinId, HRESULT& hr);
    ~CKsAudRenPin() override = default;
};

class CKsAudCapPin : public CKsAudPin {
public:
    CKsAudCapPin(CKsFilter* filter, ULONG pinId, HRESULT& hr);
    ~CKsAudCapPin() override = default;
};
