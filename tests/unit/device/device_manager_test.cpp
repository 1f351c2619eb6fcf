// The device manager on virtual machines: matching, ownership limits, the running list, resizing, removal and the
// gain accessors.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/unit/device/endpoint_support.h"

using endpointtest::ComJoined;
using endpointtest::kMatchStrings;
using endpointtest::WaitFor;
using sim::devices::Machine;
using sim::devices::MicrophoneConfig;
using sim::devices::ScopedWorld;

namespace {
MicrophoneConfig Mic(bool oldFirmware = false) {
    MicrophoneConfig config;
    config.needsFirmware = oldFirmware;
    config.hid = false;
    return config;
}
}  // namespace

// Nine microphones: all open, product 0101 first; the match ignores case and takes '\' for '#'.
TEST(DeviceManager, OpensEveryMatchingMicrophoneInMatchStringOrder) {
    ComJoined com;
    std::vector<MicrophoneConfig> configs(9, Mic());
    configs[4].needsFirmware = true;
    configs[7].needsFirmware = true;
    ScopedWorld world(Machine(configs, {{}}));
    CKSDeviceManager manager;
    EXPECT_TRUE(manager.Enumerate());
    auto endpoints = manager.OpenCaptureDevices(kMatchStrings, 48000, 1, 288, nullptr, nullptr);
    ASSERT_EQ(endpoints.size(), 9u);
    EXPECT_EQ(manager.GetMatchString(endpoints[0]), kMatchStrings[0]);
    EXPECT_EQ(manager.GetMatchString(endpoints[1]), kMatchStrings[0]);
    for (size_t i = 2; i < 9; ++i) EXPECT_EQ(manager.GetMatchString(endpoints[i]), kMatchStrings[1]);
    EXPECT_EQ(manager.GetFriendlyName(endpoints[2]).empty(), false);
    EXPECT_FALSE(manager.GetDeviceInstanceId(endpoints[2]).empty());
    EXPECT_FALSE(manager.Enumerate()) << "refreshes nothing while endpoints are open";

    // Volume as gain.
    float minDb = 1, maxDb = 1, stepDb = 1;
    manager.GetVolumeRange(endpoints[0], &minDb, &maxDb, &stepDb);
    EXPECT_EQ(minDb, -10.0f);
    EXPECT_EQ(maxDb, 30.0f);
    EXPECT_EQ(stepDb, 0.5f);
    manager.SetGainDb(endpoints[0], 12.3f);
    EXPECT_EQ(manager.GetGainDb(endpoints[0]), 12.5f);
    EXPECT_EQ(world.microphone(4)->volume()->LevelDb(), 12.5f) << "the first endpoint is the first 0101 device";

    // Another spelling of the same key.
    CKSDeviceManager other;
    manager.CloseAll();
    other.Enumerate();
    auto spelled = other.OpenCaptureDevices({"USB\\VID_5E2D&PID_0102"}, 48000, 1, 288, nullptr, nullptr);
    EXPECT_EQ(spelled.size(), 7u);
}

// The running list: StartAll twice starts nothing new, StopAll empties it, a removed endpoint leaves both lists,
// and a pointer the manager does not hold is ignored everywhere.
TEST(DeviceManager, RunningListRemovalAndForeignPointers) {
    ComJoined com;
    ScopedWorld world(Machine({Mic(), Mic(), Mic()}));
    CKSDeviceManager manager;
    manager.Enumerate();
    auto endpoints = manager.OpenCaptureDevices(kMatchStrings, 48000, 1, 144, nullptr, nullptr);
    ASSERT_EQ(endpoints.size(), 3u);
    manager.RemoveDevice(endpoints[2]);  // never ran
    EXPECT_EQ(manager.DeviceCount(), 2u);
    manager.StartAll();
    EXPECT_EQ(manager.RunningCount(), 2u);
    manager.StartAll();
    EXPECT_EQ(manager.RunningCount(), 2u);
    EXPECT_TRUE(WaitFor([&] { return endpoints[0]->PacketsTransferred() > 10; }));
    manager.RemoveDevice(endpoints[0]);
    EXPECT_EQ(manager.RunningCount(), 1u);
    EXPECT_EQ(manager.DeviceCount(), 1u);
    manager.StopAll();
    EXPECT_EQ(manager.RunningCount(), 0u);

    auto* foreign = reinterpret_cast<CKSDevice*>(&manager);
    manager.RemoveDevice(foreign);
    manager.ResizeDevice(foreign, 288);
    manager.SetDataCallback(foreign, nullptr, nullptr);
    manager.SetGainDb(foreign, 3.0f);
    EXPECT_EQ(manager.GetGainDb(foreign), 0.0f);
    EXPECT_EQ(manager.GetFriendlyName(foreign), "");
    float untouched = 7.0f;
    manager.GetVolumeRange(nullptr, &untouched, &untouched, &untouched);
    EXPECT_EQ(untouched, 7.0f);
    EXPECT_EQ(manager.DeviceCount(), 1u);
    manager.CloseAll();
    EXPECT_EQ(manager.DeviceCount(), 0u);
    EXPECT_TRUE(manager.Enumerate());
}

// 33 microphones: 32 endpoints, the 33rd refused rather than left without an owner (the sanitizer build checks
// that nothing leaks); a microphone without a system volume reads as no gain.
TEST(DeviceManager, RefusesTheThirtyThirdEndpoint) {
    ComJoined com;
    std::vector<MicrophoneConfig> configs(33, Mic());
    configs[0].volume.hardware = false;
    ScopedWorld world(Machine(configs));
    CKSDeviceManager manager;
    manager.Enumerate();
    auto endpoints = manager.OpenCaptureDevices(kMatchStrings, 48000, 1, 1152, nullptr, nullptr);
    EXPECT_EQ(endpoints.size(), CKSDeviceManager::kMaxDevices);
    EXPECT_EQ(manager.DeviceCount(), CKSDeviceManager::kMaxDevices);
    EXPECT_TRUE(manager.OpenRenderDevices({""}, 48000, 2, 1152, nullptr, nullptr).empty());
    float minDb = 1, maxDb = 1, stepDb = 1;
    manager.GetVolumeRange(endpoints[0], &minDb, &maxDb, &stepDb);
    EXPECT_EQ(minDb, 0.0f);
    EXPECT_EQ(maxDb, 0.0f);
    EXPECT_EQ(stepDb, 0.0f);
    manager.StartAll();
    EXPECT_EQ(manager.RunningCount(), CKSDeviceManager::kMaxDevices);
}
