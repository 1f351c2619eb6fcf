// IClassFactory for one class record. A factory is not a counted object and holds no server lock; its plain
// reference count is enough because a host uses a factory from one thread.
#pragma once

#include "com/class_table.h"

class CClassFactory : public IClassFactory {
public:
    explicit CClassFactory(const ClassRecord* record) : record(record) {}
    virtual ~CClassFactory() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    const ClassRecord* const record;
    ULONG referenceCount = 0;
};
