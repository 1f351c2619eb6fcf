// Every IASIO method in every state a host can bring the driver into, with null and absurd arguments: each call
// answers with a code (the one in the table), never a crash, a hang or a write through a null pointer.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "driver/asio_driver.h"
#include "tests/support/driver_fixture.h"

namespace {

using drivertest::Entry;

enum State { NotInitialised, FailedInit, Initialised, Prepared, Running, kStates };
const char* const kStateNames[kStates] = {"not initialised", "failed init", "initialised", "buffers created",
                                          "running"};

void Switch(int32_t, ASIOBool) {}
ASIOTime* SwitchTimeInfo(ASIOTime* time, int32_t, ASIOBool) { return time; }
int32_t Message(int32_t selector, int32_t, void*, double*) { return selector == kAsioSupportsTimeInfo; }
ASIOCallbacks callbacks = {&Switch, nullptr, &Message, &SwitchTimeInfo};
ASIOCallbacks emptyCallbacks = {nullptr, nullptr, nullptr, nullptr};

// A driver brought into `state`. Initialised means what a successful open leaves: two microphones attached
// (stand-in endpoints; their FIFOs stay empty, so the host gets silence) and the two outputs.
struct DriverInState : drivertest::OwnedDriver {
    explicit DriverInState(State state) {
        if (state == FailedInit) {
            EXPECT_EQ(driver->init(nullptr), ASIOFalse);
        }
        if (state >= Initialised) {
            drivertest::AttachStandInMicrophones(*driver, 2, 288);
            driver->initialised = true;
        }
        if (state >= Prepared) {
            buffers = {Entry(true, 0), Entry(true, 1), Entry(false, 0), Entry(false, 1)};
            EXPECT_EQ(driver->createBuffers(buffers.data(), 4, 288, &callbacks), ASE_OK);
        }
        if (state >= Running) {
            EXPECT_EQ(driver->start(), ASE_OK);
        }
    }
    std::vector<ASIOBufferInfo> buffers;
};

constexpr ASIOError kAny = 12345;  // the call has no code to check (void, or a count), only that it returns
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Row {
    const char* call;
    ASIOError (*run)(CAsioDriver*);
    ASIOError expected[kStates];
};

int32_t scratch[8];
ASIOSampleRate rate;
ASIOClockSource clockSources[4];
ASIOSamples position;
ASIOTimeStamp stamp;

ASIOError ChannelInfo(CAsioDriver* d, int32_t channel, ASIOBool isInput) {
    ASIOChannelInfo info{};
    info.channel = channel;
    info.isInput = isInput;
    return d->getChannelInfo(&info);
}

ASIOError Create(CAsioDriver* d, std::vector<ASIOBufferInfo> infos, int32_t count, int32_t size,
                 ASIOCallbacks* withCallbacks = &callbacks) {
    return d->createBuffers(infos.empty() ? nullptr : infos.data(), count, size, withCallbacks);
}

const ASIOError OK = ASE_OK, NP = ASE_NotPresent, IP = ASE_InvalidParameter, NC = ASE_NoClock, SU = ASE_SUCCESS;

// One call on a driver `d`, named by its own text, and the code it must answer in each state; ALL gives one code
// for every state.
// clang-format off
#define ROW(expression, ...) {#expression, [](CAsioDriver* d) -> ASIOError { return expression; }, {__VA_ARGS__}}
// clang-format on
#define ALL(code) code, code, code, code, code

const Row kRows[] = {
    // Queries with null outputs: refused, nothing written.
    ROW((d->getDriverName(nullptr), kAny), ALL(kAny)),
    ROW((d->getErrorMessage(nullptr), kAny), ALL(kAny)),
    ROW(d->getDriverVersion() == 1 ? OK : IP, ALL(OK)),
    ROW(d->getChannels(nullptr, scratch), ALL(IP)),
    ROW(d->getChannels(scratch, nullptr), ALL(IP)),
    ROW(d->getChannels(scratch, scratch + 1), ALL(OK)),
    ROW(d->getLatencies(nullptr, nullptr), ALL(IP)),
    ROW(d->getLatencies(nullptr, scratch), ALL(IP)),
    ROW(d->getLatencies(scratch, scratch + 1), ALL(OK)),
    ROW(d->getBufferSize(scratch, scratch, scratch, nullptr), ALL(IP)),
    ROW(d->getSampleRate(nullptr), ALL(IP)),
    ROW(d->getSampleRate(&rate), ALL(OK)),
    ROW((scratch[0] = 4, d->getClockSources(nullptr, scratch)), ALL(IP)),
    ROW(d->getClockSources(clockSources, nullptr), ALL(IP)),
    ROW((scratch[0] = -5, d->getClockSources(clockSources, scratch)), ALL(IP)),
    ROW((scratch[0] = 0, d->getClockSources(clockSources, scratch)), ALL(IP)),
    ROW(d->getSamplePosition(nullptr, &stamp), ALL(IP)),
    ROW(d->getSamplePosition(&position, nullptr), ALL(IP)),
    ROW(d->getSamplePosition(&position, &stamp), ALL(OK)),
    ROW(d->getChannelInfo(nullptr), ALL(IP)),
    ROW(ChannelInfo(d, 0, ASIOTrue), IP, IP, OK, OK, OK),
    ROW(ChannelInfo(d, 1, ASIOFalse), IP, OK, OK, OK, OK),
    ROW(ChannelInfo(d, -1, ASIOTrue), ALL(IP)),
    ROW(ChannelInfo(d, INT_MAX, ASIOTrue), ALL(IP)),
    ROW(ChannelInfo(d, 2, 7), ALL(IP)),
    // Rates: only the three exact values.
    ROW(d->canSampleRate(44100.0), ALL(NC)),
    ROW(d->canSampleRate(kNaN), ALL(NC)),
    ROW(d->canSampleRate(-kInf), ALL(NC)),
    ROW(d->setSampleRate(kNaN), ALL(NC)),
    ROW(d->setSampleRate(1e300), ALL(NC)),
    ROW(d->setSampleRate(48000.0), ALL(OK)),
    ROW(d->setClockSource(INT_MIN), ALL(NP)),
    ROW(d->setClockSource(0), ALL(OK)),
    // Buffers: bad lists, sizes and callbacks are refused; a refused list leaves no buffers.
    ROW(Create(d, {}, 2, 288), ALL(IP)),
    ROW(Create(d, {Entry(true, 0)}, -1, 288), ALL(IP)),
    ROW(Create(d, {Entry(false, 0)}, INT_MAX, 288), ALL(IP)),
    ROW(Create(d, {Entry(false, 0)}, 1, 0), ALL(IP)),
    ROW(Create(d, {Entry(false, 0)}, 1, -288), ALL(IP)),
    ROW(Create(d, {Entry(false, 0)}, 1, INT_MAX), ALL(IP)),
    ROW(Create(d, {Entry(false, 0)}, 1, 288, nullptr), ALL(IP)),
    ROW(Create(d, {Entry(true, 5)}, 1, 288), ALL(IP)),
    ROW(Create(d, {Entry(false, INT_MIN)}, 1, 288), ALL(IP)),
    ROW(Create(d, {Entry(true, 0), Entry(true, 0)}, 2, 288), ALL(IP)),
    ROW(Create(d, {Entry(false, 0)}, 1, 144), IP, OK, OK, OK, OK),
    ROW(Create(d, {}, 0, 288, &emptyCallbacks), ALL(OK)),
    ROW(d->disposeBuffers(), ALL(OK)),
    // Streaming.
    ROW(d->stop(), ALL(OK)),
    ROW(d->start(), NP, NP, NP, OK, OK),
    ROW(d->outputReady(), ALL(NP)),
    ROW(d->future(INT_MIN, reinterpret_cast<void*>(1)), ALL(NP)),
    ROW(d->future(kAsioSetInputMonitor, nullptr), ALL(SU)),
    ROW(d->future(kAsioGetInputMeter, reinterpret_cast<void*>(1)), ALL(NP)),
    ROW((d->init(reinterpret_cast<void*>(1)), kAny), ALL(kAny)),
};

}  // namespace

TEST(EveryMethod, AnswersWithACodeInEveryState) {
    for (int state = 0; state < kStates; ++state) {
        for (const Row& row : kRows) {
            SCOPED_TRACE(std::string(row.call) + " while " + kStateNames[state]);
            DriverInState subject(static_cast<State>(state));
            const ASIOError result = row.run(subject.driver);
            if (row.expected[state] != kAny) {
                EXPECT_EQ(result, row.expected[state]);
            }
            // Whatever the call did, the driver still answers, and a host can still tear it down.
            int32_t inputs = -1, outputs = -1;
            EXPECT_EQ(subject.driver->getChannels(&inputs, &outputs), ASE_OK);
            EXPECT_EQ(subject.driver->disposeBuffers(), ASE_OK);
        }
    }
}

// A refused buffer list leaves the driver without buffers and without a running stream, in every state.
TEST(EveryMethod, RefusedBuffersLeaveNothingBehind) {
    for (int state = Initialised; state < kStates; ++state) {
        SCOPED_TRACE(kStateNames[state]);
        DriverInState subject(static_cast<State>(state));
        EXPECT_EQ(Create(subject.driver, {Entry(true, 0), Entry(true, 0)}, 2, 288), ASE_InvalidParameter);
        EXPECT_EQ(subject.driver->numActiveInputs + subject.driver->numActiveOutputs, 0);
        EXPECT_EQ(subject.driver->callbacks, nullptr);
        EXPECT_FALSE(subject.driver->clockRunning);
        EXPECT_EQ(subject.driver->start(), ASE_NotPresent);
    }
}
