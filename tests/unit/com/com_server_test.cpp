// The COM server as a host and regsvr32 see it: factories, reference counting, aggregation, unloading.
#include <gtest/gtest.h>

#include "asio/asio.h"
#include "com/class_table.h"
#include "com/dll_exports.h"
#include "com/module_state.h"

namespace {

const IID kSomeOtherInterface = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

IClassFactory* Factory(const CLSID& classId) {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(DllGetClassObject(classId, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    return factory;
}

// An outer object for aggregation: it only counts what the inner object forwards to it.
struct OuterUnknown : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        ++queries;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    int queries = 0;
    ULONG references = 1;
};

TEST(ComServer, ClassObjectsAreServedOnlyForOurClassesAndInterfacesAndServerLocksKeepTheModule) {
    void* object = reinterpret_cast<void*>(1);
    const CLSID unknownClass = kSomeOtherInterface;
    EXPECT_EQ(DllGetClassObject(unknownClass, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(DllGetClassObject(CLSID_TesselAsio, kSomeOtherInterface, &object), E_NOINTERFACE);
    EXPECT_EQ(DllGetClassObject(CLSID_TesselAsio, IID_IClassFactory, nullptr), E_POINTER);

    IClassFactory* factory = Factory(CLSID_TesselAsioFloat);
    ASSERT_NE(factory, nullptr);
    // A factory is not a counted object: the module may unload while a host still holds one.
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(factory->QueryInterface(kSomeOtherInterface, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    // A failed query on creation destroys the new object.
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, kSomeOtherInterface, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(objectCount, 0);
    EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_TesselAsio, nullptr), E_POINTER);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->AddRef(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(factory->Release(), 0u);  // freed; the sanitizer build would catch a leak or a double free
    // The server lock outlives the factory that took it, until another unlocks it.
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    factory = Factory(CLSID_TesselAsio);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComServer, HostsReachIasioThroughEitherClassIdAndObjectsAreCounted) {
    IClassFactory* factory = Factory(CLSID_TesselAsio);
    IASIO* driver = nullptr;
    // The float class's ID on the integer factory still yields an integer driver.
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_TesselAsioFloat, reinterpret_cast<void**>(&driver)), S_OK);
    factory->Release();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(objectCount, 1);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

    char name[32] = {};
    driver->getDriverName(name);
    EXPECT_STREQ(name, "Tessel");

    IUnknown* unknown = nullptr;
    ASSERT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(driver->QueryInterface(kSomeOtherInterface, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(driver->QueryInterface(CLSID_TesselAsio, nullptr), E_POINTER);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(objectCount, 0);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ComServer, AggregationOnlyThroughIUnknownAndInterfacesForwardToTheOuterObject) {
    IClassFactory* factory = Factory(CLSID_TesselAsio);
    OuterUnknown outer;
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, CLSID_TesselAsio, &object), E_NOINTERFACE);
    EXPECT_EQ(objectCount, 0);

    // The outer object gets the inner non-delegating unknown, through which it reaches IASIO.
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &object), S_OK);
    factory->Release();
    auto* inner = static_cast<IUnknown*>(object);
    IASIO* driver = nullptr;
    ASSERT_EQ(inner->QueryInterface(CLSID_TesselAsio, reinterpret_cast<void**>(&driver)), S_OK);
    EXPECT_EQ(outer.references, 2u);  // the interface's reference belongs to the outer object
    void* ignored = nullptr;
    driver->QueryInterface(kSomeOtherInterface, &ignored);
    EXPECT_EQ(outer.queries, 1);
    driver->Release();
    EXPECT_EQ(outer.references, 1u);
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(objectCount, 0);
}

TEST(ComServer, CoCreateInstanceFindsTheRegisteredModuleAsAHostDoes) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    IASIO* driver = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TesselAsio, nullptr, CLSCTX_INPROC_SERVER, CLSID_TesselAsio,
                               reinterpret_cast<void**>(&driver)),
              REGDB_E_CLASSNOTREG);

    HMODULE module = LoadLibraryA("Tessel-ASIO-x64.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(moduleInstance, module);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_TesselAsioFloat, nullptr, CLSCTX_INPROC_SERVER, CLSID_TesselAsioFloat,
                               reinterpret_cast<void**>(&driver)),
              S_OK);
    EXPECT_EQ(driver->getDriverVersion(), 1);
    driver->Release();
    FreeLibrary(module);
    CoUninitialize();
}

}  // namespace
