#include "com/class_factory.h"

#include <new>

#include "com/module_state.h"

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return ++referenceCount; }

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
    ULONG count = --referenceCount;
    if (count == 0) delete this;
    return count;
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    // Aggregation is only possible through IUnknown: the outer object must get the inner non-delegating unknown.
    if (outer && !IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;

    HRESULT hr = S_OK;
    CUnknown* created = record->create(outer, &hr);
    if (!created) return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete created;
        return hr;
    }
    // The reference taken here is dropped after the query, so a failed query destroys the new object.
    created->NonDelegatingAddRef();
    hr = created->NonDelegatingQueryInterface(iid, object);
    created->NonDelegatingRelease();
    return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    if (lock)
        ++lockCount;
    else
        --lockCount;
    return S_OK;
}
