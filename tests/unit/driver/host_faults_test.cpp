// What hosts do that a driver must survive: releasing on another thread, calling stop, disposeBuffers or the last
// Release from inside their own buffer switch, and buffers for inputs a reopen took away.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "com/module_state.h"
#include "driver/asio_driver.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/wait_for.h"
#include "sim/os/sim_control.h"

namespace {

using drivertest::Entry;

CAsioDriver* NewDriver(bool isFloat = false) {
    HRESULT hr = S_OK;
    CAsioDriver* driver = new CAsioDriver(nullptr, &hr, isFloat);
    driver->NonDelegatingAddRef();
    return driver;
}

}  // namespace

// The apartment the driver joined on its creating thread is never left on another thread: that would unbalance
// (or tear down) the releasing thread's own apartment.
TEST(HostFaults, ReleaseOnAnotherThreadLeavesThatThreadsApartmentAlone) {
    CAsioDriver* driver = nullptr;
    std::thread creator([&] { driver = NewDriver(); });
    creator.join();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(sim::os::ApartmentInitCount(), 1);
    driver->init(nullptr);
    driver->NonDelegatingRelease();
    EXPECT_EQ(sim::os::ApartmentInitCount(), 1);
    CoUninitialize();
    EXPECT_EQ(objectCount, 0);
}

namespace {

// A host whose buffer switch makes one call into the driver at one of its switches (the fifth unless told
// otherwise), as hosts do on an error path.
enum class Misstep { Stop, DisposeBuffers, Release, CreateBuffers };
struct MisbehavingHost {
    CAsioDriver* driver = nullptr;
    Misstep misstep = Misstep::Stop;
    int misstepAt = 5;
    std::atomic<int> switches{0};
    std::atomic<bool> done{false};
    ASIOError result = ASE_OK;
};
MisbehavingHost* misbehaving = nullptr;
ASIOCallbacks misbehavingCallbacks{};

void MisbehavingSwitch(int32_t, ASIOBool) {
    if (++misbehaving->switches != misbehaving->misstepAt) return;
    CAsioDriver* driver = misbehaving->driver;
    switch (misbehaving->misstep) {
        case Misstep::Stop:
            misbehaving->result = driver->stop();
            break;
        case Misstep::DisposeBuffers:
            misbehaving->result = driver->disposeBuffers();
            break;
        case Misstep::Release:
            driver->NonDelegatingRelease();
            break;
        case Misstep::CreateBuffers: {
            ASIOBufferInfo info = Entry(true, 0);
            misbehaving->result = driver->createBuffers(&info, 1, 144, &misbehavingCallbacks);
            break;
        }
    }
    misbehaving->done = true;
}
int32_t NoTimeInfo(int32_t, int32_t, void*, double*) { return 0; }

}  // namespace

// stop, disposeBuffers, createBuffers or the last Release from inside the callback: the clock thread must not wait
// for itself (the test main counts a terminated thread), and the host can go on. A stop at the first switch, while
// start still waits, leaves start succeeding and the clock stopped.
TEST(HostFaults, CallsFromInsideTheCallbackEndTheClockWithoutWaitingOnItself) {
    misbehavingCallbacks = {&MisbehavingSwitch, nullptr, &NoTimeInfo, nullptr};
    const std::pair<Misstep, int> missteps[] = {{Misstep::Stop, 1},           {Misstep::Stop, 5},
                                                {Misstep::DisposeBuffers, 5}, {Misstep::CreateBuffers, 5},
                                                {Misstep::DisposeBuffers, 2}, {Misstep::Release, 5}};
    for (auto [misstep, at] : missteps) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(misstep) << " at switch " << at);
        MisbehavingHost host;
        host.misstep = misstep;
        host.misstepAt = at;
        misbehaving = &host;
        host.driver = NewDriver();
        drivertest::AttachStandInMicrophones(*host.driver, 2);
        ASIOBufferInfo infos[] = {Entry(true, 0), Entry(true, 1), Entry(false, 0)};
        ASSERT_EQ(host.driver->createBuffers(infos, 3, 288, &misbehavingCallbacks), ASE_OK);
        ASSERT_EQ(host.driver->start(), ASE_OK);
        ASSERT_TRUE(testwait::WaitFor([&] { return host.done.load(); }));
        EXPECT_EQ(host.result, ASE_OK);
        if (misstep == Misstep::Release) {
            // The clock thread on its way out touches nothing of the freed driver (ASan watches).
            EXPECT_EQ(objectCount, 0);
            continue;
        }
        // The call returned inside the switch that made it, the clock over by then.
        EXPECT_FALSE(host.driver->clockRunning);
        EXPECT_FALSE(host.driver->started);
        EXPECT_EQ(host.driver->clockThread, INVALID_HANDLE_VALUE);
        EXPECT_EQ(host.switches, at) << "the clock went on ticking";
        // The host can carry on: prepare again, start, stop, release.
        ASSERT_EQ(host.driver->createBuffers(infos, 3, 288, &misbehavingCallbacks), ASE_OK);
        host.misstep = Misstep::Stop;
        host.switches = 100;  // no further missteps
        ASSERT_EQ(host.driver->start(), ASE_OK);
        EXPECT_EQ(host.driver->stop(), ASE_OK);
        host.driver->NonDelegatingRelease();
    }
    misbehaving = nullptr;
}

namespace {
std::atomic<int> staleSwitches{0};
void CountSwitch(int32_t, ASIOBool) { ++staleSwitches; }
}  // namespace

// A host's buffers for a channel that a reopen no longer has (fewer microphones than when they were created)
// are silence, not the last audio replayed over and over.
TEST(HostFaults, InputsTheDriverNoLongerHasAreSilent) {
    CAsioDriver* driver = NewDriver(true);
    drivertest::AttachStandInMicrophones(*driver, 2);
    ASIOCallbacks callbacks{&CountSwitch, nullptr, &NoTimeInfo, nullptr};
    ASIOBufferInfo infos[] = {Entry(true, 0), Entry(true, 1)};
    ASSERT_EQ(driver->createBuffers(infos, 2, 144, &callbacks), ASE_OK);
    // Microphone 2 is gone after a reopen; what the host last received still sits in its buffer.
    driver->inputFifos[1].Reset();
    driver->numInputs = 1;
    std::vector<int32_t> stale(2 * 144, 0x3F000000);
    std::memcpy(infos[1].buffers[0], stale.data(), stale.size() * sizeof(int32_t));
    staleSwitches = 0;
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(testwait::WaitFor([] { return staleSwitches >= 4; }));
    driver->stop();
    const int32_t* buffer = static_cast<const int32_t*>(infos[1].buffers[0]);
    EXPECT_EQ(std::vector<int32_t>(buffer, buffer + 2 * 144), std::vector<int32_t>(2 * 144, 0));
    driver->NonDelegatingRelease();
}
