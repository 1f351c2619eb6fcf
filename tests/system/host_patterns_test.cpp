// Patterns seen in real hosts, through COM from the registry down: probing, repeated create/init/release.
#include <gtest/gtest.h>

#include "com/module_state.h"
#include "sim/os/sim_control.h"
#include "stand_in_host.h"
#include "tests/support/driver_fixture.h"

using drivertest::ReadSetting;
using drivertest::StoreSetting;

// Twenty rounds of create, init, release, as hosts do when they scan their drivers, some without init at all:
// nothing leaks, no thread is left to be terminated (the test main counts those), the settings come out as they
// went in.
TEST(HostPatterns, CreateInitReleaseTwentyTimes) {
    ASSERT_TRUE(StandInHost::RegisterDriverModule());
    StoreSetting("Buffer Size Preferred", 576);
    StoreSetting("Modeless Control Panel", 1);
    StoreSetting("Output Device", REG_SZ, "Studio Monitors");
    for (int round = 0; round < 20; ++round) {
        StandInHost host(round % 2 ? StandInHost::Class::Float : StandInHost::Class::Integer);
        ASSERT_TRUE(host.created());
        int32_t inputs = -1, outputs = -1;
        EXPECT_EQ(host->getChannels(&inputs, &outputs), ASE_OK);
        if (round % 3) host->init(nullptr);  // no microphone on this machine: fails, cleanly
        host.Release();
        EXPECT_EQ(objectCount, 0) << round;
    }
    EXPECT_EQ(ReadSetting("Buffer Size Preferred").AsDword(), 576u);
    EXPECT_EQ(ReadSetting("Modeless Control Panel").AsDword(), 1u);
    EXPECT_EQ(ReadSetting("Output Device").bytes, "Studio Monitors");
    EXPECT_EQ(sim::os::ApartmentInitCount(), 0);
}
