// CKsIrpTarget: the root of the kernel-streaming access layer. Anything the driver talks to through a KS file
// handle (a filter or a pin) is one: it owns the handle, issues synchronous I/O controls on it and builds the
// three kinds of property request the layer uses (get a value of known size, set a value, get a list whose size
// the device reports).
//
// Threads: any thread may issue requests. One critical section per target makes its I/O controls strictly
// sequential, which is what lets a single event serve all of them; it is held for the whole request, including
// the wait for one the device completes late. Different targets share nothing.
//
// Everything a device answers is untrusted: the size a device reports is capped (kMaxPropertyBytes), and the
// bytes of an answer are handed on together with how many of them are valid.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/win32.h"

// The answer to a variable-size property: the bytes, and how many of them the device filled in (never more than
// were allocated). Unfilled bytes read as zero.
struct CKsPropertyBlock {
    std::unique_ptr<BYTE[]> data;
    ULONG size = 0;

    void Reset() {
        data.reset();
        size = 0;
    }
};

class CKsIrpTarget {
public:
    // No property answer the layer asks for comes near this (a filter's longest list, its data ranges, is a few
    // kilobytes); a device that reports more is not believed.
    static constexpr ULONG kMaxPropertyBytes = 1u << 20;

    explicit CKsIrpTarget(HANDLE handle);
    virtual ~CKsIrpTarget();
    CKsIrpTarget(const CKsIrpTarget&) = delete;
    CKsIrpTarget& operator=(const CKsIrpTarget&) = delete;

    HANDLE GetHandle() const { return m_handle; }
    static bool IsValidHandle(HANDLE handle);
    // Closes a valid handle and marks it INVALID_HANDLE_VALUE; a handle that is already absent stays as it is.
    static BOOL SafeCloseHandle(HANDLE& handle);

    // One I/O control, waited for. `bytesReturned` may be null.
    HRESULT SyncIoctl(HANDLE handle, ULONG ioctl, void* in, ULONG inSize, void* out, ULONG outSize,
                      ULONG* bytesReturned);
    // GET of a value of known size; `extra` is appended to the KSPROPERTY of the request.
    HRESULT GetPropertySimple(const GUID& set, ULONG id, void* out, ULONG outSize, const void* extra = nullptr,
                              ULONG extraSize = 0);
    // SET; the value travels as the output buffer, as KS property sets expect.
    HRESULT SetPropertySimple(const GUID& set, ULONG id, void* value, ULONG valueSize, const void* extra = nullptr,
                              ULONG extraSize = 0);
    // GET of a value whose size the device reports first.
    HRESULT GetPropertyMulti(const GUID& set, ULONG id, CKsPropertyBlock& answer);

protected:
    // A size query, then the request again into a block of the reported size. `request` is the complete
    // property request (KSPROPERTY or a record that begins with one).
    HRESULT QueryVariableSize(void* request, ULONG requestSize, CKsPropertyBlock& answer);
    HRESULT PropertyRequest(ULONG flags, const GUID& set, ULONG id, void* out, ULONG outSize, const void* extra,
                            ULONG extraSize);

    HANDLE m_hEvent = nullptr;
    CRITICAL_SECTION m_cs;
    LONG m_cInFlight = 0;

public:
    // The filter or pin handle; INVALID_HANDLE_VALUE (or null) while none is open.
    HANDLE m_handle;
};
