#include "ks/ks_irp_target.h"

#include <cstring>
#include <new>

#include "ks/ks_trace.h"

namespace {
// Requests up to this size are built on the stack: the usual ones are 24 to 56 bytes and need no allocation.
constexpr ULONG kLocalRequestBytes = 2048;
}  // namespace

CKsIrpTarget::CKsIrpTarget(HANDLE handle) : m_handle(handle) {
    // Auto-reset, not signalled. When it cannot be created the failure shows at the first request.
    m_hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    InitializeCriticalSection(&m_cs);
}

CKsIrpTarget::~CKsIrpTarget() {
    SafeCloseHandle(m_hEvent);
    DeleteCriticalSection(&m_cs);
}

bool CKsIrpTarget::IsValidHandle(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

BOOL CKsIrpTarget::SafeCloseHandle(HANDLE& handle) {
    if (!IsValidHandle(handle)) return TRUE;
    BOOL closed = CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    return closed;
}

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, ULONG ioctl, void* in, ULONG inSize, void* out, ULONG outSize,
                                ULONG* bytesReturned) {
    KS_ENTER("CKsIrpTarget::SyncIoctl");
    ULONG localBytes = 0;
    ULONG& bytes = bytesReturned ? *bytesReturned : localBytes;
    HRESULT hr = S_OK;

    EnterCriticalSection(&m_cs);
    ++m_cInFlight;
    if (!IsValidHandle(handle)) {
        hr = E_FAIL;
        TraceKs(1, "CKsIrpTarget::SyncIoctl Invalid Handle");
    } else if (!m_hEvent) {
        hr = E_OUTOFMEMORY;
        TraceKs(1, "CKsIrpTarget::SyncIoctl CreateEvent failed");
    } else {
        OVERLAPPED overlapped{};
        // The low bit keeps the completion away from any completion port the handle might be bound to.
        overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(m_hEvent) | 1);
        ResetEvent(m_hEvent);
        SetLastError(ERROR_SUCCESS);
        DWORD returned = 0;
        if (DeviceIoControl(handle, ioctl, in, inSize, out, outSize, &returned, &overlapped)) {
            bytes = returned;
        } else {
            DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                DWORD wait = WaitForSingleObject(m_hEvent, INFINITE);
                if (wait != WAIT_OBJECT_0) {
                    hr = E_FAIL;
                    TraceKs(1, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x",
                            static_cast<unsigned>(wait));
                } else {
                    // The wait only says the request ended; how it ended is in the record. A request that
                    // failed late is a failure like one that failed at once.
                    DWORD late = 0;
                    if (!GetOverlappedResult(handle, &overlapped, &late, FALSE))
                        hr = GetLastError() == ERROR_NOT_FOUND ? E_NOTIMPL : E_FAIL;
                }
                // A request that completed late reports no byte count.
                bytes = 0;
            } else if ((error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA) && ioctl == IOCTL_KS_PROPERTY &&
                       outSize == 0) {
                // A size query: the device reported the size it needs.
                bytes = returned;
            } else if (error == ERROR_NOT_FOUND) {
                hr = E_NOTIMPL;
                bytes = 0;
            } else {
                hr = E_FAIL;
                bytes = 0;
            }
        }
    }
    --m_cInFlight;
    LeaveCriticalSection(&m_cs);

    KS_LEAVE_HR("CKsIrpTarget::SyncIoctl", hr);
    return hr;
}

HRESULT CKsIrpTarget::PropertyRequest(ULONG flags, const GUID& set, ULONG id, void* out, ULONG outSize,
                                      const void* extra, ULONG extraSize) {
    if (!extra) extraSize = 0;
    if (extraSize > kMaxPropertyBytes) return E_INVALIDARG;
    ULONG requestSize = sizeof(KSPROPERTY) + extraSize;

    alignas(8) BYTE local[kLocalRequestBytes];
    std::unique_ptr<BYTE[]> heap;
    BYTE* request = local;
    if (requestSize > kLocalRequestBytes) {
        heap.reset(new (std::nothrow) BYTE[requestSize]);
        if (!heap) return E_OUTOFMEMORY;
        request = heap.get();
    }
    KSPROPERTY header{};
    header.Set = set;
    header.Id = id;
    header.Flags = flags;
    std::memcpy(request, &header, sizeof header);
    if (extraSize) std::memcpy(request + sizeof(KSPROPERTY), extra, extraSize);

    ULONG returned = 0;
    return SyncIoctl(m_handle, IOCTL_KS_PROPERTY, request, requestSize, out, outSize, &returned);
}

HRESULT CKsIrpTarget::GetPropertySimple(const GUID& set, ULONG id, void* out, ULONG outSize, const void* extra,
                                        ULONG extraSize) {
    KS_ENTER("CKsIrpTarget::GetPropertySimple");
    // A short answer leaves zeros, not stale bytes, in the rest of the caller's buffer.
    if (out && outSize) std::memset(out, 0, outSize);
    HRESULT hr = PropertyRequest(KSPROPERTY_TYPE_GET, set, id, out, outSize, extra, extraSize);
    KS_LEAVE_HR("CKsIrpTarget::GetPropertySimple", hr);
    return hr;
}

HRESULT CKsIrpTarget::SetPropertySimple(const GUID& set, ULONG id, void* value, ULONG valueSize, const void* extra,
                                        ULONG extraSize) {
    KS_ENTER("CKsIrpTarget::SetPropertySimple");
    HRESULT hr = PropertyRequest(KSPROPERTY_TYPE_SET, set, id, value, valueSize, extra, extraSize);
    KS_LEAVE_HR("CKsIrpTarget::SetPropertySimple", hr);
    return hr;
}

HRESULT CKsIrpTarget::QueryVariableSize(void* request, ULONG requestSize, CKsPropertyBlock& answer) {
    ULONG needed = 0;
    HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, request, requestSize, nullptr, 0, &needed);
    if (FAILED(hr) || needed == 0) return hr;
    if (needed > kMaxPropertyBytes) {
        TraceKs(1, "Property size %u reported by the device is beyond reason", static_cast<unsigned>(needed));
        return E_FAIL;
    }
    answer.data.reset(new (std::nothrow) BYTE[needed]());
    if (!answer.data) return E_OUTOFMEMORY;
    answer.size = needed;
    ULONG returned = 0;
    hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, request, requestSize, answer.data.get(), needed, &returned);
    // Trust only what the device says it filled in. A late completion reports no count; then the zero-filled
    // block as a whole is what there is.
    if (returned != 0 && returned < needed) answer.size = returned;
    return hr;
}

HRESULT CKsIrpTarget::GetPropertyMulti(const GUID& set, ULONG id, CKsPropertyBlock& answer) {
    KS_ENTER("CKsIrpTarget::GetPropertyMulti");
    KSPROPERTY request{};
    request.Set = set;
    request.Id = id;
    request.Flags = KSPROPERTY_TYPE_GET;
    HRESULT hr = QueryVariableSize(&request, sizeof request, answer);
    KS_LEAVE_HR("CKsIrpTarget::GetPropertyMulti", hr);
    return hr;
}
