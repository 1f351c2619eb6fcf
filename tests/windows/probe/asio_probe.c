/* asio-probe: a minimal ASIO host in plain C. It lists the drivers registered under HKLM\SOFTWARE\ASIO (in this
 * process's view of the registry: a 32-bit probe sees what 32-bit hosts see), creates each through COM as hosts
 * do (the class ID as both class and interface ID), and runs a fixed sequence of the calls a host makes,
 * checking each answer for sanity and, in 32 bits, each call's convention. It prints one line per call in a form
 * that is the same for both bitnesses, so that the two probes' outputs can be compared.
 *
 * usage: asio-probe-x64.exe | asio-probe-x86.exe [--expect N]
 * The exit code is 0 when every check passed and at least N drivers (default 1) were created. */
#include <objbase.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "asio_host.h"
#include "call_check.h"

/* The state of one driver's probe, handed from step to step. Steps added later (buffers, streaming) keep what
 * they learn here too. */
typedef struct {
    AsioDriver* driver;
    int failures;
    AsioBool initialised;
    int32_t inputs, outputs;
    const char* call; /* the call in progress, for the crash report */
} Probe;

static int totalFailures;

static void fail(Probe* probe, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    printf("  FAIL  ");
    vprintf(format, arguments);
    printf("\n");
    va_end(arguments);
    ++probe->failures;
    ++totalFailures;
}

static void verify_call(Probe* probe) {
    char why[160];
    if (!call_check_verify(why, sizeof why)) fail(probe, "%s: calling convention: %s", probe->call, why);
}

/* Calls a driver method through the convention check. The argument list after the object gives the stack bytes
 * of a 32-bit call; CALL0 is for methods with no argument but the object. */
#define STACK_BYTES_1(a) CALL_CHECK_SLOT(a)
#define STACK_BYTES_2(a, b) (CALL_CHECK_SLOT(a) + CALL_CHECK_SLOT(b))
#define STACK_BYTES_4(a, b, c, d) (STACK_BYTES_2(a, b) + STACK_BYTES_2(c, d))
#define CALL_N(n, probe, method, ...)                            \
    (probe->call = #method,                                      \
     ((__typeof__(probe->driver->lpVtbl->method))call_check_arm( \
         (void*)probe->driver->lpVtbl->method, STACK_BYTES_##n(__VA_ARGS__)))(probe->driver, __VA_ARGS__))
#define CALL1(probe, method, a) CALL_N(1, probe, method, a)
#define CALL2(probe, method, a, b) CALL_N(2, probe, method, a, b)
#define CALL4(probe, method, a, b, c, d) CALL_N(4, probe, method, a, b, c, d)
#define CALL0(probe, method)                                                            \
    (probe->call = #method, ((__typeof__(probe->driver->lpVtbl->method))call_check_arm( \
                                (void*)probe->driver->lpVtbl->method, 0))(probe->driver))

static const char* error_name(AsioError error) {
    switch (error) {
        case kAsioOk:
            return "ASE_OK";
        case kAsioSuccess:
            return "ASE_SUCCESS";
        case kAsioNotPresent:
            return "ASE_NotPresent";
        case kAsioHwMalfunction:
            return "ASE_HWMalfunction";
        case kAsioInvalidParameter:
            return "ASE_InvalidParameter";
        case kAsioInvalidMode:
            return "ASE_InvalidMode";
        case kAsioSpNotAdvancing:
            return "ASE_SPNotAdvancing";
        case kAsioNoClock:
            return "ASE_NoClock";
        case kAsioNoMemory:
            return "ASE_NoMemory";
        default:
            return NULL;
    }
}

/* A code outside the ASIO set is a failure; so is one outside `allowed` (a list ending in 1). */
static int check_code(Probe* probe, AsioError error, const AsioError* allowed) {
    const char* name = error_name(error);
    if (!name) {
        fail(probe, "%s returned %ld, which is no ASIO error code", probe->call, (long)error);
        return 0;
    }
    for (; *allowed != 1; ++allowed)
        if (*allowed == error) return 1;
    fail(probe, "%s returned %s, not expected here", probe->call, name);
    return 0;
}

/* A string the driver wrote into a buffer of `limit` bytes must end inside it; the bytes after are canaries. */
static int check_text(Probe* probe, const char* buffer, size_t limit, size_t canaries) {
    if (!memchr(buffer, 0, limit)) {
        fail(probe, "%s: the text does not end within %u bytes", probe->call, (unsigned)limit);
        return 0;
    }
    for (size_t i = limit; i < limit + canaries; ++i) {
        if ((unsigned char)buffer[i] != 0xA5) {
            fail(probe, "%s wrote beyond its %u bytes", probe->call, (unsigned)limit);
            return 0;
        }
    }
    return 1;
}

static const AsioError kOkOrAbsent[] = {kAsioOk, kAsioNotPresent, 1};
static const AsioError kRateAnswers[] = {kAsioOk, kAsioNoClock, kAsioNotPresent, 1};

static void step_init(Probe* probe) {
    probe->initialised = CALL1(probe, init, (void*)GetDesktopWindow());
    verify_call(probe);
    if (probe->initialised != 0 && probe->initialised != 1)
        fail(probe, "init returned %ld, neither 0 nor 1", (long)probe->initialised);
    printf("  init: %ld\n", (long)probe->initialised);
}

static void step_names(Probe* probe) {
    char text[128 + 16];
    memset(text, 0xA5, sizeof text);
    CALL1(probe, getDriverName, text);
    verify_call(probe);
    if (check_text(probe, text, 32, 16)) {
        if (!text[0]) fail(probe, "getDriverName gave an empty name");
        printf("  getDriverName: \"%s\"\n", text);
    }
    int32_t version = CALL0(probe, getDriverVersion);
    verify_call(probe);
    printf("  getDriverVersion: %ld\n", (long)version);
    memset(text, 0xA5, sizeof text);
    CALL1(probe, getErrorMessage, text);
    verify_call(probe);
    if (check_text(probe, text, 124, 16)) printf("  getErrorMessage: \"%s\"\n", text);
}

static void step_channels(Probe* probe) {
    int32_t inputs = -1, outputs = -1;
    AsioError error = CALL2(probe, getChannels, &inputs, &outputs);
    verify_call(probe);
    printf("  getChannels: %s, %ld in, %ld out\n", error_name(error) ? error_name(error) : "?", (long)inputs,
           (long)outputs);
    if (check_code(probe, error, kOkOrAbsent) && error == kAsioOk) {
        if (inputs < 0 || inputs > 64 || outputs < 0 || outputs > 64)
            fail(probe, "getChannels: %ld inputs and %ld outputs are not sane", (long)inputs, (long)outputs);
        else
            probe->inputs = inputs, probe->outputs = outputs;
    }
    for (int input = 1; input >= 0; --input) {
        int32_t count = input ? probe->inputs : probe->outputs;
        for (int32_t channel = 0; channel < count; ++channel) {
            AsioChannelInfo info;
            memset(&info, 0xA5, sizeof info);
            info.channel = channel;
            info.isInput = input;
            error = CALL1(probe, getChannelInfo, &info);
            verify_call(probe);
            if (!check_code(probe, error, kOkOrAbsent) || error != kAsioOk) continue;
            if (!memchr(info.name, 0, sizeof info.name)) {
                fail(probe, "getChannelInfo: the name of %s %ld does not end", input ? "input" : "output",
                     (long)channel);
                continue;
            }
            printf("  getChannelInfo: %s %ld \"%s\" type %ld active %ld group %ld\n", input ? "input" : "output",
                   (long)channel, info.name, (long)info.type, (long)info.isActive, (long)info.channelGroup);
        }
    }
}

static void step_buffer_sizes(Probe* probe) {
    int32_t minimum = -1, maximum = -1, preferred = -1, granularity = -2;
    AsioError error = CALL4(probe, getBufferSize, &minimum, &maximum, &preferred, &granularity);
    verify_call(probe);
    printf("  getBufferSize: %s, min %ld max %ld preferred %ld granularity %ld\n",
           error_name(error) ? error_name(error) : "?", (long)minimum, (long)maximum, (long)preferred,
           (long)granularity);
    if (check_code(probe, error, kOkOrAbsent) && error == kAsioOk) {
        if (minimum <= 0 || minimum > preferred || preferred > maximum || granularity < -1 ||
            (granularity > 0 && (maximum - minimum) % granularity != 0))
            fail(probe, "getBufferSize: the sizes do not fit together");
    }
    int32_t input = -1, output = -1;
    error = CALL2(probe, getLatencies, &input, &output);
    verify_call(probe);
    printf("  getLatencies: %s, in %ld out %ld\n", error_name(error) ? error_name(error) : "?", (long)input,
           (long)output);
    if (check_code(probe, error, kOkOrAbsent) && error == kAsioOk && (input < 0 || output < 0))
        fail(probe, "getLatencies: negative latency");
}

static void step_rates(Probe* probe) {
    static const double rates[] = {44100.0, 48000.0, 96000.0, 192000.0};
    printf("  canSampleRate:");
    for (size_t i = 0; i < sizeof rates / sizeof rates[0]; ++i) {
        AsioError error = CALL1(probe, canSampleRate, rates[i]);
        verify_call(probe);
        printf(" %.0f %s", rates[i], error_name(error) ? error_name(error) : "?");
        check_code(probe, error, kRateAnswers);
    }
    printf("\n");
    double rate = -1.0;
    AsioError error = CALL1(probe, getSampleRate, &rate);
    verify_call(probe);
    printf("  getSampleRate: %s, %.0f\n", error_name(error) ? error_name(error) : "?", rate);
    if (check_code(probe, error, kRateAnswers) && error == kAsioOk && !(rate > 0.0 && rate <= 768000.0))
        fail(probe, "getSampleRate: %f is no sample rate", rate);
}

static void step_clock_sources(Probe* probe) {
    AsioClockSource clocks[32];
    memset(clocks, 0xA5, sizeof clocks);
    int32_t count = 32;
    AsioError error = CALL2(probe, getClockSources, clocks, &count);
    verify_call(probe);
    printf("  getClockSources: %s, %ld\n", error_name(error) ? error_name(error) : "?", (long)count);
    if (!check_code(probe, error, kOkOrAbsent) || error != kAsioOk) return;
    if (count < 1 || count > 32) {
        fail(probe, "getClockSources: %ld sources", (long)count);
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (!memchr(clocks[i].name, 0, sizeof clocks[i].name))
            fail(probe, "getClockSources: the name of source %ld does not end", (long)i);
        else
            printf("  clock source %ld: \"%s\" current %ld\n", (long)clocks[i].index, clocks[i].name,
                   (long)clocks[i].isCurrentSource);
    }
}

static void step_position(Probe* probe) {
    AsioSamples position;
    AsioTimeStamp stamp;
    AsioError error = CALL2(probe, getSamplePosition, &position, &stamp);
    verify_call(probe);
    printf("  getSamplePosition (not running): %s\n", error_name(error) ? error_name(error) : "?");
    static const AsioError allowed[] = {kAsioOk, kAsioNotPresent, kAsioSpNotAdvancing, 1};
    check_code(probe, error, allowed);
    error = CALL2(probe, future, 10 /* kAsioCanTimeInfo */, (void*)NULL);
    verify_call(probe);
    printf("  future(kAsioCanTimeInfo): %s\n", error_name(error) ? error_name(error) : "?");
    static const AsioError answers[] = {kAsioSuccess, kAsioNotPresent, kAsioInvalidParameter, kAsioOk, 1};
    check_code(probe, error, answers);
}

/* Bad input as a careless host gives it: null pointers must be answered with an error, not a crash. */
static void step_null_pointers(Probe* probe) {
    AsioError error = CALL2(probe, getChannels, (int32_t*)NULL, (int32_t*)NULL);
    verify_call(probe);
    printf("  getChannels(null, null): %s\n", error_name(error) ? error_name(error) : "?");
    static const AsioError invalid[] = {kAsioInvalidParameter, 1};
    check_code(probe, error, invalid);
    error = CALL4(probe, getBufferSize, (int32_t*)NULL, (int32_t*)NULL, (int32_t*)NULL, (int32_t*)NULL);
    verify_call(probe);
    printf("  getBufferSize(null, ...): %s\n", error_name(error) ? error_name(error) : "?");
    check_code(probe, error, invalid);
}

/* The host's call sequence, in order. Later steps (buffers, streaming) append here. */
static const struct {
    const char* name;
    void (*run)(Probe* probe);
} kSteps[] = {
    {"init", step_init},          {"names", step_names},
    {"channels", step_channels},  {"buffer sizes", step_buffer_sizes},
    {"sample rates", step_rates}, {"clock sources", step_clock_sources},
    {"position", step_position},  {"null pointers", step_null_pointers},
};

static Probe* currentProbe;

/* A driver that crashes the host is the worst answer of all: say where, and end with a failure code. */
static LONG WINAPI report_crash(EXCEPTION_POINTERS* exception) {
    printf("  FAIL  crashed with exception %#lx in %s\n", (unsigned long)exception->ExceptionRecord->ExceptionCode,
           currentProbe && currentProbe->call ? currentProbe->call : "the probe");
    fflush(stdout);
    ExitProcess(3);
    return EXCEPTION_EXECUTE_HANDLER;
}

static int read_string(HKEY key, const char* name, char* out, DWORD size) {
    DWORD type = 0;
    DWORD bytes = size - 1;
    if (RegQueryValueExA(key, name, NULL, &type, (BYTE*)out, &bytes) != ERROR_SUCCESS || type != REG_SZ) return 0;
    out[bytes < size ? bytes : size - 1] = 0;
    return 1;
}

static int probe_driver(const char* keyName, HKEY key) {
    char classText[64], description[128];
    printf("driver \"%s\"\n", keyName);
    Probe probe;
    memset(&probe, 0, sizeof probe);
    currentProbe = &probe;
    if (!read_string(key, "CLSID", classText, sizeof classText)) {
        fail(&probe, "no CLSID value");
        return 0;
    }
    if (!read_string(key, "Description", description, sizeof description)) description[0] = 0;
    printf("  CLSID %s, description \"%s\"\n", classText, description);
    WCHAR wide[64];
    CLSID classId;
    MultiByteToWideChar(CP_ACP, 0, classText, -1, wide, 64);
    if (FAILED(CLSIDFromString(wide, &classId))) {
        fail(&probe, "the CLSID value is no class ID");
        return 0;
    }
    HRESULT result = CoCreateInstance(&classId, NULL, CLSCTX_INPROC_SERVER, &classId, (void**)&probe.driver);
    if (FAILED(result) || !probe.driver) {
        fail(&probe, "CoCreateInstance failed with %#lx", (unsigned long)result);
        return 0;
    }
    printf("  created through COM\n");
    for (size_t i = 0; i < sizeof kSteps / sizeof kSteps[0]; ++i) kSteps[i].run(&probe);
    /* Release is __stdcall: the callee pops the object pointer too. */
    probe.call = "Release";
    ULONG left = ((__typeof__(probe.driver->lpVtbl->Release))call_check_arm((void*)probe.driver->lpVtbl->Release,
                                                                            sizeof(void*)))(probe.driver);
    verify_call(&probe);
    printf("  Release: %lu\n", (unsigned long)left);
    if (left != 0) fail(&probe, "the last Release left %lu references", (unsigned long)left);
    currentProbe = NULL;
    return probe.failures == 0;
}

int main(int argc, char** argv) {
    int expected = 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--expect") == 0 && i + 1 < argc)
            expected = atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: %s [--expect N]\n", argv[0]);
            return 2;
        }
    }
    SetUnhandledExceptionFilter(report_crash);
    printf("asio-probe (%d-bit)\n", (int)(8 * sizeof(void*)));
    if (!call_check_self_test()) {
        printf("FAIL  the calling-convention check does not tell a wrong convention from the right one\n");
        return 1;
    }
    if (FAILED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED))) {
        printf("FAIL  CoInitializeEx\n");
        return 1;
    }
    HKEY asio;
    int created = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", 0, KEY_READ, &asio) == ERROR_SUCCESS) {
        char name[256];
        for (DWORD index = 0; RegEnumKeyA(asio, index, name, sizeof name) == ERROR_SUCCESS; ++index) {
            HKEY key;
            if (RegOpenKeyExA(asio, name, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
            if (probe_driver(name, key)) ++created;
            RegCloseKey(key);
        }
        RegCloseKey(asio);
    }
    CoUninitialize();
    printf("asio-probe: %d driver(s) probed without failure, %d failed check(s)\n", created, totalFailures);
    if (created < expected) printf("asio-probe: expected at least %d\n", expected);
    return totalFailures == 0 && created >= expected ? 0 : 1;
}
