/* The ASIO driver interface as a C host sees it: COM's IUnknown followed by the driver's methods, declared by
 * hand with the calling conventions of the Microsoft compiler, so that nothing of the driver's own declarations
 * is shared. On 32-bit Windows the driver methods are member calls (thiscall: the object in ECX, arguments on the
 * stack, popped by the callee), the IUnknown slots __stdcall, and the host's callbacks plain C calls. On x64
 * there is a single convention. */
#pragma once

#include <stdint.h>
#include <windows.h>

#if defined(__i386__)
#define HOST_ASIO_METHOD __attribute__((thiscall))
#define HOST_ASIO_CALLBACK __attribute__((cdecl))
#else
#define HOST_ASIO_METHOD
#define HOST_ASIO_CALLBACK
#endif

typedef int32_t AsioBool;
typedef int32_t AsioError;

enum {
    kAsioOk = 0,
    kAsioSuccess = 0x3f4847a0,
    kAsioNotPresent = -1000,
    kAsioHwMalfunction = -999,
    kAsioInvalidParameter = -998,
    kAsioInvalidMode = -997,
    kAsioSpNotAdvancing = -996,
    kAsioNoClock = -995,
    kAsioNoMemory = -994,
};

/* The records are packed to 4 bytes, as the published header does under the Microsoft compiler. */
#pragma pack(push, 4)

typedef struct {
    uint32_t hi, lo;
} AsioSamples, AsioTimeStamp;

typedef struct {
    int32_t index;
    int32_t associatedChannel;
    int32_t associatedGroup;
    AsioBool isCurrentSource;
    char name[32];
} AsioClockSource;

typedef struct {
    int32_t channel;
    AsioBool isInput;
    AsioBool isActive;
    int32_t channelGroup;
    int32_t type;
    char name[32];
} AsioChannelInfo;

typedef struct {
    AsioBool isInput;
    int32_t channelNum;
    void* buffers[2];
} AsioBufferInfo;

typedef struct {
    double speed;
    AsioTimeStamp systemTime;
    AsioSamples samplePosition;
    double sampleRate;
    uint32_t flags;
    char reserved[12];
} AsioTimeInfo;

typedef struct {
    double speed;
    AsioSamples timeCodeSamples;
    uint32_t flags;
    char future[64];
} AsioTimeCode;

typedef struct {
    int32_t reserved[4];
    AsioTimeInfo timeInfo;
    AsioTimeCode timeCode;
} AsioTime;

typedef struct {
    void(HOST_ASIO_CALLBACK* bufferSwitch)(int32_t index, AsioBool directProcess);
    void(HOST_ASIO_CALLBACK* sampleRateDidChange)(double rate);
    int32_t(HOST_ASIO_CALLBACK* asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
    AsioTime*(HOST_ASIO_CALLBACK* bufferSwitchTimeInfo)(AsioTime* params, int32_t index, AsioBool directProcess);
} AsioCallbacks;

#pragma pack(pop)

_Static_assert(sizeof(AsioClockSource) == 48, "clock source record");
_Static_assert(sizeof(AsioChannelInfo) == 52, "channel info record");
_Static_assert(sizeof(AsioBufferInfo) == 8 + 2 * sizeof(void*), "buffer info record");
_Static_assert(sizeof(AsioTime) == 148, "time record");

typedef struct AsioDriver AsioDriver;

typedef struct {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(AsioDriver* self, REFIID iid, void** object);
    ULONG(STDMETHODCALLTYPE* AddRef)(AsioDriver* self);
    ULONG(STDMETHODCALLTYPE* Release)(AsioDriver* self);
    AsioBool(HOST_ASIO_METHOD* init)(AsioDriver* self, void* systemHandle);
    void(HOST_ASIO_METHOD* getDriverName)(AsioDriver* self, char* name);
    int32_t(HOST_ASIO_METHOD* getDriverVersion)(AsioDriver* self);
    void(HOST_ASIO_METHOD* getErrorMessage)(AsioDriver* self, char* text);
    AsioError(HOST_ASIO_METHOD* start)(AsioDriver* self);
    AsioError(HOST_ASIO_METHOD* stop)(AsioDriver* self);
    AsioError(HOST_ASIO_METHOD* getChannels)(AsioDriver* self, int32_t* inputs, int32_t* outputs);
    AsioError(HOST_ASIO_METHOD* getLatencies)(AsioDriver* self, int32_t* input, int32_t* output);
    AsioError(HOST_ASIO_METHOD* getBufferSize)(AsioDriver* self, int32_t* minimum, int32_t* maximum, int32_t* preferred,
                                               int32_t* granularity);
    AsioError(HOST_ASIO_METHOD* canSampleRate)(AsioDriver* self, double rate);
    AsioError(HOST_ASIO_METHOD* getSampleRate)(AsioDriver* self, double* rate);
    AsioError(HOST_ASIO_METHOD* setSampleRate)(AsioDriver* self, double rate);
    AsioError(HOST_ASIO_METHOD* getClockSources)(AsioDriver* self, AsioClockSource* clocks, int32_t* count);
    AsioError(HOST_ASIO_METHOD* setClockSource)(AsioDriver* self, int32_t reference);
    AsioError(HOST_ASIO_METHOD* getSamplePosition)(AsioDriver* self, AsioSamples* position, AsioTimeStamp* stamp);
    AsioError(HOST_ASIO_METHOD* getChannelInfo)(AsioDriver* self, AsioChannelInfo* info);
    AsioError(HOST_ASIO_METHOD* createBuffers)(AsioDriver* self, AsioBufferInfo* infos, int32_t channels,
                                               int32_t bufferSize, AsioCallbacks* callbacks);
    AsioError(HOST_ASIO_METHOD* disposeBuffers)(AsioDriver* self);
    AsioError(HOST_ASIO_METHOD* controlPanel)(AsioDriver* self);
    AsioError(HOST_ASIO_METHOD* future)(AsioDriver* self, int32_t selector, void* opt);
    AsioError(HOST_ASIO_METHOD* outputReady)(AsioDriver* self);
} AsioDriverVtbl;

struct AsioDriver {
    const AsioDriverVtbl* lpVtbl;
};
