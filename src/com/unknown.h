// COM base classes: object counting and an aggregation-capable IUnknown.
//
// CUnknown gives the non-delegating IUnknown of an object; the object's public interfaces forward their own
// IUnknown methods to the outer unknown, which is the aggregating object or, when not aggregated, this
// non-delegating unknown itself. Reference counts change atomically: hosts may release drivers on any thread.
#pragma once

#include "platform/win32.h"

struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

// Counts live objects (not factories) so that DllCanUnloadNow knows when the module is idle.
class CBaseObject {
public:
    CBaseObject();
    ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // `outer` null means not aggregated. `result` is the creator's HRESULT; nothing here can fail.
    CUnknown(IUnknown* outer, HRESULT* result);
    virtual ~CUnknown() = default;

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    IUnknown* GetOwner() const { return outer; }

private:
    // This object's non-delegating unknown as a real IUnknown, so that callers (an aggregating object, or
    // everyone when the object is not aggregated and this is also its outer unknown) call it through IUnknown
    // with well-defined C++.
    struct SelfUnknown : IUnknown {
        explicit SelfUnknown(CUnknown* object) : object(object) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
            return object->NonDelegatingQueryInterface(iid, result);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return object->NonDelegatingAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return object->NonDelegatingRelease(); }
        CUnknown* const object;
    };

    SelfUnknown self{this};
    IUnknown* const outer;
    volatile LONG referenceCount = 0;
};

// Hands out an interface pointer with a reference taken for the caller.
HRESULT GetInterface(IUnknown* unknown, void** object);
