#include "com/unknown.h"

#include "com/module_state.h"

HINSTANCE moduleInstance = nullptr;
volatile LONG objectCount = 0;
LONG lockCount = 0;

CBaseObject::CBaseObject() { InterlockedIncrement(&objectCount); }
CBaseObject::~CBaseObject() { InterlockedDecrement(&objectCount); }

CUnknown::CUnknown(IUnknown* outerUnknown, HRESULT*) : outer(outerUnknown ? outerUnknown : &self) {}

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown)) {
        *object = static_cast<IUnknown*>(&self);
        NonDelegatingAddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() {
    LONG count = InterlockedIncrement(&referenceCount);
    return count > 1 ? (ULONG)count : 1;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
    LONG count = InterlockedDecrement(&referenceCount);
    if (count == 0) {
        // Back to 1 while the destructor runs: a reference taken and dropped during destruction must not
        // destroy the object a second time.
        referenceCount = 1;
        delete this;
        return 0;
    }
    return count > 1 ? (ULONG)count : 1;
}

HRESULT GetInterface(IUnknown* unknown, void** object) {
    if (!object) return E_POINTER;
    *object = unknown;
    unknown->AddRef();
    return S_OK;
}
