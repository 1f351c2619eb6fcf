/* asio-probe: a minimal ASIO host in plain C. It lists the drivers registered under HKLM\SOFTWARE\ASIO (in this
 * process's view of the registry: a 32-bit probe sees what 32-bit hosts see), creates each through COM as hosts
 * do (the class ID as both class and interface ID), and runs a fixed sequence of the calls a host makes,
 * checking each answer for sanity and, in 32 bits, each call's convention. It prints one line per call in a form
 * that is the same for both bitnesses, so that the two probes' outputs can be compared.
 *
 * With --stream it then streams as a recording host does: buffers for every channel, start, SECONDS of callbacks
 * counted and their input samples judged (with --ramp, as the virtual microphones' ramp), stop, dispose; a rate
 * change while running; stop and dispose from inside a callback. With --cycles it creates, initialises and
 * releases each driver N times in a row.
 *
 * usage: asio-probe-x64.exe | asio-probe-x86.exe [--expect N] [--stream SECONDS [--ramp]] [--cycles N]
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
    CALL1(probe, getDriverName, &text[0]);
    verify_call(probe);
    if (check_text(probe, text, 32, 16)) {
        if (!text[0]) fail(probe, "getDriverName gave an empty name");
        printf("  getDriverName: \"%s\"\n", text);
    }
    int32_t version = CALL0(probe, getDriverVersion);
    verify_call(probe);
    printf("  getDriverVersion: %ld\n", (long)version);
    memset(text, 0xA5, sizeof text);
    CALL1(probe, getErrorMessage, &text[0]);
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
    AsioError error = CALL2(probe, getClockSources, &clocks[0], &count);
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

/* ---- Streaming, asked for with --stream SECONDS: the calls a host makes to record and play. ---- */

enum { kMaxStreamChannels = 64 };

/* Sample types a driver may give its channels; the probe reads these two. */
enum { kAsioInt32Lsb = 18, kAsioFloat32Lsb = 19 };

static struct {
    double seconds; /* how long each streaming run lasts; 0: no streaming steps */
    int ramp;       /* --ramp: the inputs carry the virtual microphones' ramp, checked step by step */
    int cycles;     /* --cycles N: create-init-release cycles in a row */
} options;

/* What the callbacks see. The driver calls them on its own thread: the counters are read by the probe's thread
 * with interlocked reads, everything else is written before start and read only by the callbacks. */
static struct {
    AsioDriver* driver;
    AsioBufferInfo infos[kMaxStreamChannels];
    int32_t types[kMaxStreamChannels];
    int32_t channels, inputs, bufferSize;
    LONG settleCallbacks;         /* callbacks in the first second, which are not judged */
    volatile LONG callbacks;      /* buffer switches so far */
    volatile LONG timeInfoCalls;  /* of which through bufferSwitchTimeInfo */
    volatile LONG badIndex;       /* switches with an index other than 0 or 1 */
    volatile LONG checkedBuffers; /* input buffers judged (after the first ones) */
    volatile LONG silentBuffers;  /* of which all zero */
    volatile LONG brokenBuffers;  /* of which out of range, or (with --ramp) not advancing as a ramp does */
    volatile LONG rateChanges;    /* sampleRateDidChange calls */
    volatile LONG resetRequests;  /* kAsioResetRequest messages */
    volatile LONG stopAt;         /* the callback that stops and disposes from inside, 0 for none */
    volatile LONG stoppedInside;  /* 1 once that callback has made both calls */
    AsioError insideStop, insideDispose;
} stream;

/* The ramp of the virtual microphones: frame n is (n mod 32768) / 32768 of full scale. */
static double sample_value(int32_t type, const void* buffer, int32_t index) {
    if (type == kAsioFloat32Lsb) return ((const float*)buffer)[index];
    return ((const int32_t*)buffer)[index] / 2147483648.0;
}

static void judge_inputs(int32_t index) {
    /* The first second is the streams' start: silence until each microphone's queue has filled, then a fade-in. */
    if (stream.callbacks <= stream.settleCallbacks) return;
    for (int32_t k = 0; k < stream.channels; ++k) {
        if (!stream.infos[k].isInput) continue;
        const void* buffer = stream.infos[k].buffers[index];
        const int32_t type = stream.types[k];
        if (type != kAsioInt32Lsb && type != kAsioFloat32Lsb) continue;
        int zero = 1, broken = 0, offRamp = 0;
        double previous = 0.0;
        for (int32_t i = 0; i < stream.bufferSize; ++i) {
            const double value = sample_value(type, buffer, i);
            if (value != 0.0) zero = 0;
            /* Finite and within full scale, with room for a converter's overshoot in float. */
            if (!(value >= -1.5 && value <= 1.5)) broken = 1;
            if (options.ramp && i > 0) {
                const double steps = (value - previous) * 32768.0;
                /* One step, give or take the converter's repeat or skip; or the wrap back to the start. */
                if (!(steps > -0.5 && steps < 2.5) &&
                    !(steps < -32000.0 || previous > 0.999 || previous < 0.001 || value < 0.001))
                    ++offRamp;
            }
            previous = value;
        }
        InterlockedIncrement(&stream.checkedBuffers);
        if (zero)
            InterlockedIncrement(&stream.silentBuffers);
        else if (broken || offRamp > 2)
            InterlockedIncrement(&stream.brokenBuffers);
    }
}

static void on_switch(int32_t index) {
    if (index != 0 && index != 1) {
        InterlockedIncrement(&stream.badIndex);
        return;
    }
    const LONG count = InterlockedIncrement(&stream.callbacks);
    judge_inputs(index);
    /* Silence on the outputs: the host's half of each buffer is written before the switch returns. */
    for (int32_t k = 0; k < stream.channels; ++k)
        if (!stream.infos[k].isInput) memset(stream.infos[k].buffers[index], 0, (size_t)stream.bufferSize * 4);
    if (stream.stopAt && count == stream.stopAt) {
        /* A host that stops on an error path does so from inside the callback. */
        stream.insideStop = stream.driver->lpVtbl->stop(stream.driver);
        stream.insideDispose = stream.driver->lpVtbl->disposeBuffers(stream.driver);
        InterlockedExchange(&stream.stoppedInside, 1);
    }
}

static void HOST_ASIO_CALLBACK cb_buffer_switch(int32_t index, AsioBool direct) {
    (void)direct;
    on_switch(index);
}

static AsioTime* HOST_ASIO_CALLBACK cb_buffer_switch_time_info(AsioTime* params, int32_t index, AsioBool direct) {
    (void)direct;
    (void)params;
    InterlockedIncrement(&stream.timeInfoCalls);
    on_switch(index);
    return NULL;
}

static void HOST_ASIO_CALLBACK cb_rate_changed(double rate) {
    (void)rate;
    InterlockedIncrement(&stream.rateChanges);
}

static int32_t HOST_ASIO_CALLBACK cb_message(int32_t selector, int32_t value, void* message, double* opt) {
    (void)message;
    (void)opt;
    switch (selector) {
        case 1: /* kAsioSelectorSupported */
            return value == 2 || value == 3 || value == 7;
        case 2: /* kAsioEngineVersion */
            return 2;
        case 3: /* kAsioResetRequest */
            InterlockedIncrement(&stream.resetRequests);
            return 1;
        case 7: /* kAsioSupportsTimeInfo */
            return 1;
        default:
            return 0;
    }
}

static AsioCallbacks hostCallbacks = {cb_buffer_switch, cb_rate_changed, cb_message, cb_buffer_switch_time_info};

static LONG read_counter(volatile LONG* counter) { return InterlockedCompareExchange(counter, 0, 0); }

/* Waits as a host's thread does: serving its window messages (the driver may send some), in steps of 10 ms. */
static void wait_serving_messages(DWORD milliseconds) {
    const DWORD begin = GetTickCount();
    while (GetTickCount() - begin < milliseconds) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    }
}

/* createBuffers for every input and output at the preferred size, then each channel's info again (its type). */
static int create_all_buffers(Probe* probe) {
    const int failuresBefore = probe->failures;
    double rate = 0.0;
    CALL1(probe, getSampleRate, &rate);
    verify_call(probe);
    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    if (CALL4(probe, getBufferSize, &minimum, &maximum, &preferred, &granularity) != kAsioOk || preferred <= 0) {
        fail(probe, "getBufferSize gave no preferred size to stream with");
        return 0;
    }
    verify_call(probe);
    memset(&stream, 0, sizeof stream);
    stream.driver = probe->driver;
    stream.bufferSize = preferred;
    stream.settleCallbacks = (LONG)(rate / preferred) + 1;
    for (int32_t i = 0; i < probe->inputs + probe->outputs && stream.channels < kMaxStreamChannels; ++i) {
        AsioBufferInfo* info = &stream.infos[stream.channels++];
        info->isInput = i < probe->inputs;
        info->channelNum = info->isInput ? i : i - probe->inputs;
        info->buffers[0] = info->buffers[1] = NULL;
    }
    stream.inputs = probe->inputs;
    AsioError error = CALL4(probe, createBuffers, &stream.infos[0], stream.channels, preferred, &hostCallbacks);
    verify_call(probe);
    printf("  createBuffers: %s, %ld channels of %ld frames\n", error_name(error) ? error_name(error) : "?",
           (long)stream.channels, (long)preferred);
    static const AsioError ok[] = {kAsioOk, 1};
    if (!check_code(probe, error, ok)) return 0;
    for (int32_t k = 0; k < stream.channels; ++k) {
        AsioBufferInfo* info = &stream.infos[k];
        if (!info->buffers[0] || !info->buffers[1] || info->buffers[0] == info->buffers[1])
            fail(probe, "createBuffers: %s %ld has no two distinct halves", info->isInput ? "input" : "output",
                 (long)info->channelNum);
        AsioChannelInfo channel;
        memset(&channel, 0, sizeof channel);
        channel.channel = info->channelNum;
        channel.isInput = info->isInput;
        error = CALL1(probe, getChannelInfo, &channel);
        verify_call(probe);
        stream.types[k] = channel.type;
        if (error != kAsioOk || !channel.isActive)
            fail(probe, "getChannelInfo after createBuffers: %s %ld is not active", info->isInput ? "input" : "output",
                 (long)info->channelNum);
    }
    int32_t input = -1, output = -1;
    error = CALL2(probe, getLatencies, &input, &output);
    verify_call(probe);
    printf("  getLatencies with buffers: %s, in %ld out %ld\n", error_name(error) ? error_name(error) : "?",
           (long)input, (long)output);
    if (check_code(probe, error, ok) && (input < preferred || output < preferred))
        fail(probe, "getLatencies: less than one buffer");
    return probe->failures == failuresBefore;
}

static void stop_and_dispose(Probe* probe) {
    static const AsioError ok[] = {kAsioOk, 1};
    AsioError error = CALL0(probe, stop);
    verify_call(probe);
    check_code(probe, error, ok);
    error = CALL0(probe, disposeBuffers);
    verify_call(probe);
    check_code(probe, error, ok);
}

/* Callbacks in `seconds` at `rate` and `size` frames: the count must be within a tenth of that, and no more than
 * one buffer in a hundred of each input silent or broken. */
static void judge_run(Probe* probe, const char* what, LONG callbacks, double seconds, double rate) {
    const double expected = seconds * rate / stream.bufferSize;
    const LONG checked = read_counter(&stream.checkedBuffers), silent = read_counter(&stream.silentBuffers);
    const LONG broken = read_counter(&stream.brokenBuffers);
    printf(
        "  %s: %ld callbacks in %.1f s (%.0f expected), %ld through bufferSwitchTimeInfo; %ld input buffers "
        "checked, %ld silent, %ld broken\n",
        what, (long)callbacks, seconds, expected, (long)read_counter(&stream.timeInfoCalls), (long)checked,
        (long)silent, (long)broken);
    if (callbacks < 0.9 * expected || callbacks > 1.1 * expected)
        fail(probe, "%s: %ld callbacks, expected %.0f within a tenth", what, (long)callbacks, expected);
    if (read_counter(&stream.badIndex)) fail(probe, "%s: a buffer switch with an index other than 0 or 1", what);
    if (checked == 0 && stream.inputs > 0) fail(probe, "%s: no input buffer had a sample type to check", what);
    if ((silent + broken) * 100 > checked) fail(probe, "%s: more than one input buffer in a hundred lost", what);
}

static void step_stream(Probe* probe) {
    if (options.seconds <= 0.0) return;
    if (!probe->initialised || probe->inputs <= 0) {
        printf("  streaming: skipped, the driver has no input to stream from\n");
        return;
    }
    double rate = 0.0;
    CALL1(probe, getSampleRate, &rate);
    verify_call(probe);
    if (!create_all_buffers(probe)) return;
    static const AsioError ok[] = {kAsioOk, 1};
    AsioError error = CALL0(probe, start);
    verify_call(probe);
    printf("  start: %s\n", error_name(error) ? error_name(error) : "?");
    if (check_code(probe, error, ok)) {
        const LONG before = read_counter(&stream.callbacks);
        const DWORD begin = GetTickCount();
        wait_serving_messages((DWORD)(options.seconds * 1000.0));
        const LONG after = read_counter(&stream.callbacks);
        const double seconds = (GetTickCount() - begin) / 1000.0;
        judge_run(probe, "streaming", after - before, seconds, rate);
        AsioSamples position;
        AsioTimeStamp stamp;
        error = CALL2(probe, getSamplePosition, &position, &stamp);
        verify_call(probe);
        const double frames = position.hi * 4294967296.0 + position.lo;
        printf("  getSamplePosition (running): %s, %.0f frames\n", error_name(error) ? error_name(error) : "?", frames);
        if (check_code(probe, error, ok) && frames < (double)after * stream.bufferSize * 0.9)
            fail(probe, "getSamplePosition: %.0f frames after %ld buffers", frames, (long)after);
    }
    stop_and_dispose(probe);
    const LONG stopped = read_counter(&stream.callbacks);
    wait_serving_messages(200);
    if (read_counter(&stream.callbacks) != stopped) fail(probe, "callbacks came after stop");
}

/* A host that changes the rate while the stream runs (a project at another rate opened): the driver must answer
 * with an ASIO code, go on calling back or ask for a reset, and report the new rate. */
static void step_rate_while_running(Probe* probe) {
    if (options.seconds <= 0.0 || !probe->initialised || probe->inputs <= 0) return;
    double original = 0.0;
    CALL1(probe, getSampleRate, &original);
    verify_call(probe);
    const double other = original == 48000.0 ? 96000.0 : 48000.0;
    if (!create_all_buffers(probe)) return;
    static const AsioError ok[] = {kAsioOk, 1};
    if (!check_code(probe, CALL0(probe, start), ok)) return;
    wait_serving_messages(500);
    AsioError error = CALL1(probe, setSampleRate, other);
    verify_call(probe);
    printf("  setSampleRate(%.0f) while running: %s\n", other, error_name(error) ? error_name(error) : "?");
    static const AsioError answers[] = {kAsioOk, kAsioNoClock, kAsioInvalidMode, 1};
    if (check_code(probe, error, answers) && error == kAsioOk) {
        double now = 0.0;
        CALL1(probe, getSampleRate, &now);
        verify_call(probe);
        if (now != other) fail(probe, "getSampleRate: %.0f after setSampleRate(%.0f)", now, other);
        const LONG before = read_counter(&stream.callbacks);
        wait_serving_messages(1000);
        const LONG after = read_counter(&stream.callbacks);
        printf("  after the change: %ld callbacks in 1 s, %ld rate change(s) announced, %ld reset request(s)\n",
               (long)(after - before), (long)read_counter(&stream.rateChanges),
               (long)read_counter(&stream.resetRequests));
        if (after == before && read_counter(&stream.resetRequests) == 0)
            fail(probe, "setSampleRate while running: no callback since, and no reset request");
        if (read_counter(&stream.rateChanges) == 0 && read_counter(&stream.resetRequests) == 0)
            fail(probe, "setSampleRate while running: the host was not told of the change");
    }
    stop_and_dispose(probe);
    error = CALL1(probe, setSampleRate, original);
    verify_call(probe);
    check_code(probe, error, ok);
}

/* A host that stops and disposes from inside its buffer switch (an error path): both calls return, the
 * callbacks end, and the host's own stop and dispose afterwards are harmless. */
static void step_stop_inside_callback(Probe* probe) {
    if (options.seconds <= 0.0 || !probe->initialised || probe->inputs <= 0) return;
    if (!create_all_buffers(probe)) return;
    stream.stopAt = 20;
    static const AsioError ok[] = {kAsioOk, 1};
    if (!check_code(probe, CALL0(probe, start), ok)) return;
    const DWORD begin = GetTickCount();
    while (!read_counter(&stream.stoppedInside) && GetTickCount() - begin < 5000) wait_serving_messages(10);
    if (!read_counter(&stream.stoppedInside)) {
        fail(probe, "stop inside the callback: callback %ld never came", (long)stream.stopAt);
        stop_and_dispose(probe);
        return;
    }
    wait_serving_messages(200);
    const LONG calls = read_counter(&stream.callbacks);
    printf("  stop and disposeBuffers inside callback %ld: %s, %s; %ld callbacks in all\n", (long)stream.stopAt,
           error_name(stream.insideStop) ? error_name(stream.insideStop) : "?",
           error_name(stream.insideDispose) ? error_name(stream.insideDispose) : "?", (long)calls);
    check_code(probe, stream.insideStop, ok);
    check_code(probe, stream.insideDispose, ok);
    if (calls != stream.stopAt) fail(probe, "callbacks went on after stop inside the callback");
    AsioError error = CALL0(probe, stop);
    verify_call(probe);
    check_code(probe, error, ok);
    error = CALL0(probe, disposeBuffers);
    verify_call(probe);
    static const AsioError disposed[] = {kAsioOk, kAsioInvalidMode, 1};
    check_code(probe, error, disposed);
    printf("  stop and disposeBuffers after that: ok\n");
    /* The driver must stream again after all this. */
    if (!create_all_buffers(probe)) return;
    if (check_code(probe, CALL0(probe, start), ok)) {
        wait_serving_messages(500);
        if (read_counter(&stream.callbacks) == 0) fail(probe, "no callback when started again");
    }
    stop_and_dispose(probe);
}

/* The host's call sequence, in order. */
static const struct {
    const char* name;
    void (*run)(Probe* probe);
} kSteps[] = {
    {"init", step_init},
    {"names", step_names},
    {"channels", step_channels},
    {"buffer sizes", step_buffer_sizes},
    {"sample rates", step_rates},
    {"clock sources", step_clock_sources},
    {"position", step_position},
    {"null pointers", step_null_pointers},
    {"streaming", step_stream},
    {"rate while running", step_rate_while_running},
    {"stop inside callback", step_stop_inside_callback},
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

/* Hosts that scan their drivers create, initialise and release each one, often many times in a row: every cycle
 * must initialise as the first did and leave no reference behind. */
static void create_init_release_cycles(Probe* probe, const CLSID* classId) {
    const AsioBool first = probe->initialised;
    int done = 0;
    for (int cycle = 0; cycle < options.cycles; ++cycle) {
        HRESULT result = CoCreateInstance(classId, NULL, CLSCTX_INPROC_SERVER, classId, (void**)&probe->driver);
        if (FAILED(result) || !probe->driver) {
            fail(probe, "cycle %d: CoCreateInstance failed with %#lx", cycle + 1, (unsigned long)result);
            break;
        }
        const AsioBool initialised = CALL1(probe, init, (void*)GetDesktopWindow());
        verify_call(probe);
        if (initialised != first)
            fail(probe, "cycle %d: init returned %ld, the first %ld", cycle + 1, (long)initialised, (long)first);
        int32_t inputs = -1, outputs = -1;
        CALL2(probe, getChannels, &inputs, &outputs);
        verify_call(probe);
        if (first && (inputs != probe->inputs || outputs != probe->outputs))
            fail(probe, "cycle %d: %ld in, %ld out", cycle + 1, (long)inputs, (long)outputs);
        probe->call = "Release";
        ULONG left = ((__typeof__(probe->driver->lpVtbl->Release))call_check_arm((void*)probe->driver->lpVtbl->Release,
                                                                                 sizeof(void*)))(probe->driver);
        verify_call(probe);
        if (left != 0) fail(probe, "cycle %d: Release left %lu references", cycle + 1, (unsigned long)left);
        ++done;
    }
    printf("  create-init-release cycles: %d of %d\n", done, options.cycles);
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
    if (options.cycles > 0) create_init_release_cycles(&probe, &classId);
    currentProbe = NULL;
    return probe.failures == 0;
}

int main(int argc, char** argv) {
    int expected = 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--expect") == 0 && i + 1 < argc)
            expected = atoi(argv[++i]);
        else if (strcmp(argv[i], "--stream") == 0 && i + 1 < argc)
            options.seconds = atof(argv[++i]);
        else if (strcmp(argv[i], "--cycles") == 0 && i + 1 < argc)
            options.cycles = atoi(argv[++i]);
        else if (strcmp(argv[i], "--ramp") == 0)
            options.ramp = 1;
        else {
            fprintf(stderr, "usage: %s [--expect N] [--stream SECONDS [--ramp]] [--cycles N]\n", argv[0]);
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
