// The ASIO driver interface and the records exchanged with hosts, declared with the layout that Windows hosts
// are compiled against: `long` there is 32 bits (int32_t here in every build), and the records are packed to 4
// bytes, which makes ASIOTime 148 bytes instead of the 152 that natural alignment would give.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

// Calling conventions. 32-bit Windows hosts are built with the Microsoft compiler, which calls the interface's
// methods as member functions (thiscall: `this` in ECX, the callee pops its arguments) and the host's callbacks
// as plain C functions (cdecl: the caller pops). The IUnknown slots stay __stdcall, as the SDK declares them.
// Everywhere else (x64, the simulation) there is one convention and both macros are empty.
#if defined(_WIN32) && defined(__i386__)
#define ASIO_METHOD __attribute__((thiscall))
#define ASIO_CALLBACK __attribute__((cdecl))
#else
#define ASIO_METHOD
#define ASIO_CALLBACK
#endif

typedef int32_t ASIOBool;
typedef int32_t ASIOError;
typedef int32_t ASIOSampleType;
typedef double ASIOSampleRate;

enum : ASIOBool { ASIOFalse = 0, ASIOTrue = 1 };

enum : ASIOError {
    ASE_OK = 0,
    ASE_SUCCESS = 0x3f4847a0,
    ASE_NotPresent = -1000,
    ASE_HWMalfunction = -999,
    ASE_InvalidParameter = -998,
    ASE_InvalidMode = -997,
    ASE_SPNotAdvancing = -996,
    ASE_NoClock = -995,
    ASE_NoMemory = -994,
};

enum : ASIOSampleType {
    ASIOSTInt16MSB = 0,
    ASIOSTInt24MSB = 1,
    ASIOSTInt32MSB = 2,
    ASIOSTFloat32MSB = 3,
    ASIOSTFloat64MSB = 4,
    ASIOSTInt32MSB16 = 8,
    ASIOSTInt32MSB18 = 9,
    ASIOSTInt32MSB20 = 10,
    ASIOSTInt32MSB24 = 11,
    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17,
    ASIOSTInt32LSB = 18,
    ASIOSTFloat32LSB = 19,
    ASIOSTFloat64LSB = 20,
    ASIOSTInt32LSB16 = 24,
    ASIOSTInt32LSB18 = 25,
    ASIOSTInt32LSB20 = 26,
    ASIOSTInt32LSB24 = 27,
    ASIOSTDSDInt8LSB1 = 32,
    ASIOSTDSDInt8MSB1 = 33,
    ASIOSTDSDInt8NER8 = 40,
};

// Selectors of the host's asioMessage callback.
enum : int32_t {
    kAsioSelectorSupported = 1,
    kAsioEngineVersion,
    kAsioResetRequest,
    kAsioBufferSizeChange,
    kAsioResyncRequest,
    kAsioLatenciesChanged,
    kAsioSupportsTimeInfo,
    kAsioSupportsTimeCode,
    kAsioMMCCommand,
    kAsioSupportsInputMonitor,
    kAsioSupportsInputGain,
    kAsioSupportsInputMeter,
    kAsioSupportsOutputGain,
    kAsioSupportsOutputMeter,
    kAsioOverload,
    kAsioNumMessageSelectors
};

// Selectors of IASIO::future.
enum : int32_t {
    kAsioEnableTimeCodeRead = 1,
    kAsioDisableTimeCodeRead,
    kAsioSetInputMonitor,
    kAsioTransport,
    kAsioSetInputGain,
    kAsioGetInputMeter,
    kAsioSetOutputGain,
    kAsioGetOutputMeter,
    kAsioCanInputMonitor,
    kAsioCanTimeInfo,
    kAsioCanTimeCode,
    kAsioCanTransport,
    kAsioCanInputGain,
    kAsioCanInputMeter,
    kAsioCanOutputGain,
    kAsioCanOutputMeter,
    kAsioOptionalOne,
    kAsioSetIoFormat = 0x23111961,
    kAsioGetIoFormat = 0x23111983,
    kAsioCanDoIoFormat = 0x23112004,
    kAsioCanReportOverload = 0x24042012,
    kAsioGetInternalBufferSamples = 0x25042012,
};

// AsioTimeInfo::flags
enum : uint32_t {
    kSystemTimeValid = 1,
    kSamplePositionValid = 1 << 1,
    kSampleRateValid = 1 << 2,
    kSpeedValid = 1 << 3,
    kSampleRateChanged = 1 << 4,
    kClockSourceChanged = 1 << 5,
};

// ASIOTimeCode::flags
enum : uint32_t {
    kTcValid = 1,
    kTcRunning = 1 << 1,
    kTcReverse = 1 << 2,
    kTcOnspeed = 1 << 3,
    kTcStill = 1 << 4,
    kTcSpeedValid = 1 << 8,
};

#pragma pack(push, 4)

struct ASIOSamples {
    uint32_t hi;
    uint32_t lo;
};

struct ASIOTimeStamp {
    uint32_t hi;
    uint32_t lo;
};

struct ASIOClockSource {
    int32_t index;
    int32_t associatedChannel;
    int32_t associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    int32_t channel;
    ASIOBool isInput;
    ASIOBool isActive;
    int32_t channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;
    int32_t channelNum;
    void* buffers[2];
};

struct AsioTimeInfo {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    uint32_t flags;
    char reserved[12];
};

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    uint32_t flags;
    char future[64];
};

struct ASIOTime {
    int32_t reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

struct ASIOCallbacks {
    void(ASIO_CALLBACK* bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
    void(ASIO_CALLBACK* sampleRateDidChange)(ASIOSampleRate sampleRate);
    int32_t(ASIO_CALLBACK* asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
    ASIOTime*(ASIO_CALLBACK* bufferSwitchTimeInfo)(ASIOTime* params, int32_t doubleBufferIndex, ASIOBool directProcess);
};

#pragma pack(pop)

static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8);
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(sizeof(ASIOChannelInfo) == 52);
// Pointers are 8 bytes for x64 hosts and 4 for 32-bit ones; nothing else in the records depends on the bitness.
static_assert(sizeof(ASIOBufferInfo) == 8 + 2 * sizeof(void*) && offsetof(ASIOBufferInfo, buffers) == 8);
static_assert(sizeof(AsioTimeInfo) == 48 && offsetof(AsioTimeInfo, flags) == 32);
static_assert(sizeof(ASIOTimeCode) == 84 && offsetof(ASIOTimeCode, flags) == 16);
static_assert(sizeof(ASIOTime) == 148 && offsetof(ASIOTime, timeInfo) == 16 && offsetof(ASIOTime, timeCode) == 64);
static_assert(sizeof(ASIOCallbacks) == 4 * sizeof(void*));

// The driver interface. Its vtable must be COM's: single inheritance from IUnknown, no virtual destructor, no
// overloads, the methods in this order. Overrides inherit ASIO_METHOD (the compiler rejects one that declares
// another convention).
struct IASIO : public IUnknown {
    virtual ASIOBool ASIO_METHOD init(void* systemHandle) = 0;
    virtual void ASIO_METHOD getDriverName(char* name) = 0;
    virtual int32_t ASIO_METHOD getDriverVersion() = 0;
    virtual void ASIO_METHOD getErrorMessage(char* text) = 0;
    virtual ASIOError ASIO_METHOD start() = 0;
    virtual ASIOError ASIO_METHOD stop() = 0;
    virtual ASIOError ASIO_METHOD getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
    virtual ASIOError ASIO_METHOD getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
    virtual ASIOError ASIO_METHOD getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                                int32_t* granularity) = 0;
    virtual ASIOError ASIO_METHOD canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError ASIO_METHOD getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError ASIO_METHOD setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError ASIO_METHOD getClockSources(ASIOClockSource* clocks, int32_t* numSources) = 0;
    virtual ASIOError ASIO_METHOD setClockSource(int32_t reference) = 0;
    virtual ASIOError ASIO_METHOD getSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp) = 0;
    virtual ASIOError ASIO_METHOD getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError ASIO_METHOD createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                                ASIOCallbacks* callbacks) = 0;
    virtual ASIOError ASIO_METHOD disposeBuffers() = 0;
    virtual ASIOError ASIO_METHOD controlPanel() = 0;
    virtual ASIOError ASIO_METHOD future(int32_t selector, void* opt) = 0;
    virtual ASIOError ASIO_METHOD outputReady() = 0;
};
