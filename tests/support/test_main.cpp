// Every test starts on a fresh simulated machine: an empty registry in memory, no message boxes, a current
// system's timers, and it must not leave a thread that had to be terminated.
#include <gtest/gtest.h>

#include "sim/os/sim_control.h"

namespace {
class FreshMachine : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        sim::os::UseMemoryRegistry();
        sim::os::ClearMessageBoxes();
        sim::os::SetHighResolutionTimersAvailable(true);
        terminatedBefore = sim::os::TerminatedThreadCount();
    }
    void OnTestEnd(const testing::TestInfo&) override {
        EXPECT_EQ(sim::os::TerminatedThreadCount(), terminatedBefore) << "a thread did not end in time";
    }
    int terminatedBefore = 0;
};
}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    sim::os::UseMemoryRegistry();
    testing::UnitTest::GetInstance()->listeners().Append(new FreshMachine);
    return RUN_ALL_TESTS();
}
