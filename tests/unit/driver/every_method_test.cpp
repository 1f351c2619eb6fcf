// Every IASIO method in every state a host can bring the driver into, with null and absurd arguments: each call
// answers with a code (the one in the table), never a crash, a hang or a write through a null pointer.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
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
struct DriverInState {
    explicit DriverInState(State state) {
        HRESULT hr = S_OK;
        driver = new CAsioDriver(nullptr, &hr, false);
        driver->NonDelegatingAddRef();
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
    ~DriverInState() { driver->NonDelegatingRelease(); }
    CAsioDriver* driver;
    std::vector<ASIOBufferInfo> buffers;
};

constexpr ASIOError kAny = 12345;  // the call has no code to check (void, or a count), only that it returns
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Row {
    const char* call;
    std::function<ASIOError(CAsioDriver*)> run;
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

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        // Queries with null outputs: refused, nothing written.
        {"getDriverName(null)",
         [](CAsioDriver* d) {
             d->getDriverName(nullptr);
             return kAny;
         },
         {kAny, kAny, kAny, kAny, kAny}},
        {"getErrorMessage(null)",
         [](CAsioDriver* d) {
             d->getErrorMessage(nullptr);
             return kAny;
         },
         {kAny, kAny, kAny, kAny, kAny}},
        {"getDriverVersion", [](CAsioDriver* d) { return d->getDriverVersion() == 1 ? OK : IP; }, {OK, OK, OK, OK, OK}},
        {"getChannels(null, x)", [](CAsioDriver* d) { return d->getChannels(nullptr, scratch); }, {IP, IP, IP, IP, IP}},
        {"getChannels(x, null)", [](CAsioDriver* d) { return d->getChannels(scratch, nullptr); }, {IP, IP, IP, IP, IP}},
        {"getChannels", [](CAsioDriver* d) { return d->getChannels(scratch, scratch + 1); }, {OK, OK, OK, OK, OK}},
        {"getLatencies(null, null)",
         [](CAsioDriver* d) { return d->getLatencies(nullptr, nullptr); },
         {IP, IP, IP, IP, IP}},
        {"getLatencies", [](CAsioDriver* d) { return d->getLatencies(scratch, scratch + 1); }, {OK, OK, OK, OK, OK}},
        {"getBufferSize(one null)",
         [](CAsioDriver* d) { return d->getBufferSize(scratch, scratch, scratch, nullptr); },
         {IP, IP, IP, IP, IP}},
        {"getSampleRate(null)", [](CAsioDriver* d) { return d->getSampleRate(nullptr); }, {IP, IP, IP, IP, IP}},
        {"getSampleRate", [](CAsioDriver* d) { return d->getSampleRate(&rate); }, {OK, OK, OK, OK, OK}},
        {"getClockSources(null, n)",
         [](CAsioDriver* d) {
             scratch[0] = 4;
             return d->getClockSources(nullptr, scratch);
         },
         {IP, IP, IP, IP, IP}},
        {"getClockSources(a, null)",
         [](CAsioDriver* d) { return d->getClockSources(clockSources, nullptr); },
         {IP, IP, IP, IP, IP}},
        {"getClockSources(a, -5)",
         [](CAsioDriver* d) {
             scratch[0] = -5;
             return d->getClockSources(clockSources, scratch);
         },
         {IP, IP, IP, IP, IP}},
        {"getSamplePosition(null, t)",
         [](CAsioDriver* d) { return d->getSamplePosition(nullptr, &stamp); },
         {IP, IP, IP, IP, IP}},
        {"getSamplePosition(p, null)",
         [](CAsioDriver* d) { return d->getSamplePosition(&position, nullptr); },
         {IP, IP, IP, IP, IP}},
        {"getSamplePosition",
         [](CAsioDriver* d) { return d->getSamplePosition(&position, &stamp); },
         {OK, OK, OK, OK, OK}},
        {"getChannelInfo(null)", [](CAsioDriver* d) { return d->getChannelInfo(nullptr); }, {IP, IP, IP, IP, IP}},
        {"getChannelInfo(in 0)", [](CAsioDriver* d) { return ChannelInfo(d, 0, ASIOTrue); }, {IP, IP, OK, OK, OK}},
        {"getChannelInfo(out 1)", [](CAsioDriver* d) { return ChannelInfo(d, 1, ASIOFalse); }, {IP, OK, OK, OK, OK}},
        {"getChannelInfo(in -1)", [](CAsioDriver* d) { return ChannelInfo(d, -1, ASIOTrue); }, {IP, IP, IP, IP, IP}},
        {"getChannelInfo(in INT_MAX)",
         [](CAsioDriver* d) { return ChannelInfo(d, INT_MAX, ASIOTrue); },
         {IP, IP, IP, IP, IP}},
        {"getChannelInfo(out 2, isInput 7)", [](CAsioDriver* d) { return ChannelInfo(d, 2, 7); }, {IP, IP, IP, IP, IP}},
        // Rates: only the three exact values.
        {"canSampleRate(44100)", [](CAsioDriver* d) { return d->canSampleRate(44100.0); }, {NC, NC, NC, NC, NC}},
        {"canSampleRate(NaN)", [](CAsioDriver* d) { return d->canSampleRate(kNaN); }, {NC, NC, NC, NC, NC}},
        {"canSampleRate(-inf)", [](CAsioDriver* d) { return d->canSampleRate(-kInf); }, {NC, NC, NC, NC, NC}},
        {"setSampleRate(NaN)", [](CAsioDriver* d) { return d->setSampleRate(kNaN); }, {NC, NC, NC, NC, NC}},
        {"setSampleRate(1e300)", [](CAsioDriver* d) { return d->setSampleRate(1e300); }, {NC, NC, NC, NC, NC}},
        {"setSampleRate(48000)", [](CAsioDriver* d) { return d->setSampleRate(48000.0); }, {OK, OK, OK, OK, OK}},
        {"setClockSource(INT_MIN)", [](CAsioDriver* d) { return d->setClockSource(INT_MIN); }, {NP, NP, NP, NP, NP}},
        {"setClockSource(0)", [](CAsioDriver* d) { return d->setClockSource(0); }, {OK, OK, OK, OK, OK}},
        // Buffers: bad lists, sizes and callbacks are refused; a refused list leaves no buffers.
        {"createBuffers(null list, 2)", [](CAsioDriver* d) { return Create(d, {}, 2, 288); }, {IP, IP, IP, IP, IP}},
        {"createBuffers(count -1)",
         [](CAsioDriver* d) { return Create(d, {Entry(true, 0)}, -1, 288); },
         {IP, IP, IP, IP, IP}},
        {"createBuffers(count INT_MAX)",
         [](CAsioDriver* d) { return Create(d, {Entry(false, 0)}, INT_MAX, 288); },
         {IP, IP, IP, IP, IP}},
        {"createBuffers(size 0)",
         [](CAsioDriver* d) { return Create(d, {Entry(false, 0)}, 1, 0); },
         {IP, IP, IP, IP, IP}},
        {"createBuffers(size -288)",
         [](CAsioDriver* d) { return Create(d, {Entry(false, 0)}, 1, -288); },
         {IP, IP, IP, IP, IP}},
        {"createBuffers(size INT_MAX)",
         [](CAsioDriver* d) { return Create(d, {Entry(false, 0)}, 1, INT_MAX); },
         {IP, IP, IP, IP, IP}},
        {"createBuffers(no callbacks)",
         [](CAsioDriver* d) { return Create(d, {Entry(false, 0)}, 1, 288, nullptr); },
         {IP, IP, IP, IP, IP}},
        {"createBuffers(in 5)",
         [](CAsioDriver* d) { return Create(d, {Entry(true, 5)}, 1, 288); },
         {IP, IP, IP, IP, IP}},
        {"createBuffers(out INT_MIN)",
         [](CAsioDriver* d) { return Create(d, {Entry(false, INT_MIN)}, 1, 288); },
         {IP, IP, IP, IP, IP}},
        {"createBuffers(in 0 twice)",
         [](CAsioDriver* d) {
             return Create(d, {Entry(true, 0), Entry(true, 0)}, 2, 288);
         },
         {IP, IP, IP, IP, IP}},
        {"createBuffers(out 0, 144)",
         [](CAsioDriver* d) { return Create(d, {Entry(false, 0)}, 1, 144); },
         {IP, OK, OK, OK, OK}},
        {"createBuffers(empty callbacks)",
         [](CAsioDriver* d) { return Create(d, {}, 0, 288, &emptyCallbacks); },
         {OK, OK, OK, OK, OK}},
        {"disposeBuffers", [](CAsioDriver* d) { return d->disposeBuffers(); }, {OK, OK, OK, OK, OK}},
        // Streaming.
        {"stop", [](CAsioDriver* d) { return d->stop(); }, {OK, OK, OK, OK, OK}},
        {"start", [](CAsioDriver* d) { return d->start(); }, {NP, NP, NP, OK, OK}},
        {"outputReady", [](CAsioDriver* d) { return d->outputReady(); }, {NP, NP, NP, NP, NP}},
        {"future(INT_MIN, junk)",
         [](CAsioDriver* d) { return d->future(INT_MIN, reinterpret_cast<void*>(1)); },
         {NP, NP, NP, NP, NP}},
        {"future(kAsioSetInputMonitor, null)",
         [](CAsioDriver* d) { return d->future(kAsioSetInputMonitor, nullptr); },
         {SU, SU, SU, SU, SU}},
        {"future(kAsioGetInputMeter, junk)",
         [](CAsioDriver* d) { return d->future(kAsioGetInputMeter, reinterpret_cast<void*>(1)); },
         {NP, NP, NP, NP, NP}},
        {"init(junk handle)",
         [](CAsioDriver* d) {
             d->init(reinterpret_cast<void*>(1));
             return kAny;
         },
         {kAny, kAny, kAny, kAny, kAny}},
    };
    return rows;
}

}  // namespace

TEST(EveryMethod, AnswersWithACodeInEveryState) {
    for (int state = 0; state < kStates; ++state) {
        for (const Row& row : Rows()) {
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
