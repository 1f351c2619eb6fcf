// Construction, destruction, init and the queries that answer from the driver record.
#include "driver/asio_driver.h"

#include <cstring>
#include <new>

#include "com/class_table.h"
#include "ui/control_panel.h"
#include "ui/settings.h"

namespace {
const char kDriverName[] = "Tessel";
const char kOpenOk[] = "ASIO OK";
const char kOpenFailure[] = "ASIO Driver open Failure!";

template <class Driver>
CUnknown* CreateDriver(IUnknown* outer, HRESULT* result, bool isFloat) {
    return new (std::nothrow) Driver(outer, result, isFloat);
}
}  // namespace

CUnknown* CreateIntegerDriver(IUnknown* outer, HRESULT* result) {
    return CreateDriver<CAsioDriver>(outer, result, false);
}
CUnknown* CreateFloatDriver(IUnknown* outer, HRESULT* result) { return CreateDriver<CAsioDriver>(outer, result, true); }

CAsioDriver::CAsioDriver(IUnknown* outer, HRESULT* result, bool isFloatVariant)
    : CUnknown(outer, result), isFloat(isFloatVariant) {
    panelOpenTime = timeGetTime();
    avrtModule = LoadLibraryA("Avrt.dll");
    if (avrtModule) {
        avSetMmThreadCharacteristics = reinterpret_cast<AvSetMmThreadCharacteristicsFunction>(
            reinterpret_cast<void*>(GetProcAddress(avrtModule, "AvSetMmThreadCharacteristicsA")));
        avRevertMmThreadCharacteristics = reinterpret_cast<AvRevertMmThreadCharacteristicsFunction>(
            reinterpret_cast<void*>(GetProcAddress(avrtModule, "AvRevertMmThreadCharacteristics")));
    }
    apartmentAtCreate.reset(new (std::nothrow) ComApartmentGuard());
    UpdateLatencies();
}

CAsioDriver::~CAsioDriver() {
    // The last Release made from inside a host callback: the clock thread lets go of the driver first.
    if (OnOwnClockThread()) StopClock();
    ClosePanel(*this);
    if (started) {
        StopClock();
        started = false;
    }
    // A host that only probes the driver (create, query, release) never loaded the user's settings; writing the
    // defaults back would wipe them.
    if (settingsLoaded) SaveSettings(*this);
    disposeBuffers();
    CloseDevices();
    apartmentAtCreate.reset();
    if (avrtModule) FreeLibrary(avrtModule);
    if (panelThread != INVALID_HANDLE_VALUE) CloseHandle(panelThread);
    if (clockThread != INVALID_HANDLE_VALUE) CloseHandle(clockThread);
}

// Hosts ask for the class ID as the interface ID; either variant's ID reaches IASIO.
HRESULT STDMETHODCALLTYPE CAsioDriver::NonDelegatingQueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, CLSID_TesselAsio) || IsEqualIID(iid, CLSID_TesselAsioFloat))
        return GetInterface(static_cast<IASIO*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

ASIOBool CAsioDriver::init(void*) {
    if (initialised) return ASIOTrue;
    LoadSettings(*this);
    if (OpenDevices()) {
        std::strcpy(errorMessage, kOpenOk);
        initialised = true;
        return ASIOTrue;
    }
    std::strcpy(errorMessage, kOpenFailure);
    initialised = false;
    return ASIOFalse;
}

// The name, version and error text have no error code; a null pointer from a host is simply not written.
void CAsioDriver::getDriverName(char* name) {
    if (name) std::strcpy(name, kDriverName);
}

int32_t CAsioDriver::getDriverVersion() { return 1; }

void CAsioDriver::getErrorMessage(char* text) {
    if (text) std::memcpy(text, errorMessage, std::strlen(errorMessage) + 1);
}

ASIOError CAsioDriver::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    if (!numInputChannels || !numOutputChannels) return ASE_InvalidParameter;
    *numInputChannels = numInputs;
    *numOutputChannels = numOutputs;
    return ASE_OK;
}

ASIOError CAsioDriver::getLatencies(int32_t* inputLatencyOut, int32_t* outputLatencyOut) {
    if (!inputLatencyOut || !outputLatencyOut) return ASE_InvalidParameter;
    *inputLatencyOut = (int32_t)inputLatency;
    *outputLatencyOut = (int32_t)outputLatency;
    return ASE_OK;
}

ASIOError CAsioDriver::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize, int32_t* granularity) {
    if (!minSize || !maxSize || !preferredSize || !granularity) return ASE_InvalidParameter;
    *minSize = kMinBufferSize;
    *maxSize = kMaxBufferSize;
    *preferredSize = (int32_t)preferredBufferSize.load();
    *granularity = kBufferGranularity;
    return ASE_OK;
}

ASIOError CAsioDriver::canSampleRate(ASIOSampleRate rate) {
    return (rate == 48000.0 || rate == 96000.0 || rate == 192000.0) ? ASE_OK : ASE_NoClock;
}

ASIOError CAsioDriver::getSampleRate(ASIOSampleRate* rate) {
    if (!rate) return ASE_InvalidParameter;
    *rate = sampleRate;
    return ASE_OK;
}
