// The verdict tessel-rec ends a recording with: a loss passes only where the virtual devices' own late packets
// explain every break and every drop-out the driver counted, and only while they stay rare.
#include <gtest/gtest.h>

#include <string>

#include "tools/tessel-rec/verdict.h"

namespace {

// Ten seconds from four inputs that all delivered, nothing lost, lateness known.
RecordingLoss Clean() {
    RecordingLoss loss;
    loss.seconds = 10.0;
    loss.driverDropOutsKnown = true;
    for (int k = 0; k < 4; ++k) loss.channels.push_back({true, 0, true, 0});
    return loss;
}

}  // namespace

TEST(RecordingVerdict, LateDevicesExplainOnlyTheLossesTheyCanAndOnlyWhileRare) {
    std::string why;
    RecordingLoss loss = Clean();
    EXPECT_EQ(Judge(loss, &why), Verdict::NoLoss);
    // Late packets without any loss change nothing, however many.
    loss.channels[1].latePackets = 500;
    EXPECT_EQ(Judge(loss, &why), Verdict::NoLoss);

    // A break in a channel whose device ran late; the driver counted it too.
    loss = Clean();
    loss.channels[2] = {true, 1, true, 2};
    loss.driverDropOuts = 1;
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereDevicesRanLate) << why;
    // A break the driver counted, in a channel whose device was on time: still the count explains it.
    loss.channels[0].breaks = 1;
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereDevicesRanLate) << why;
    // One break more than the count and that channel's late packets explain.
    loss.channels[0].breaks = 2;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
    EXPECT_NE(why.find("input 1"), std::string::npos) << why;

    // The driver counted more drop-outs than the devices ran late: its own loss.
    loss = Clean();
    loss.channels[3].latePackets = 1;
    loss.driverDropOuts = 2;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
    loss.channels[3].latePackets = 2;
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereDevicesRanLate) << why;

    // More than one late packet a second over all devices: the machine was too busy to judge the driver by.
    loss.channels[0].latePackets = 8;
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereDevicesRanLate) << why;  // 10 in 10 s
    loss.channels[0].latePackets = 9;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);

    // Where the machine cannot tell its devices' lateness (real hardware), any loss is lost audio.
    loss = Clean();
    loss.channels[2] = {true, 1, false, 0};
    loss.driverDropOuts = 1;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
}

TEST(RecordingVerdict, WhatNoLatenessExcuses) {
    std::string why;
    RecordingLoss loss = Clean();
    loss.channels[0].latePackets = 3;
    loss.hostOverruns = 1;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
    loss = Clean();
    loss.fileWritten = false;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
    loss = Clean();
    loss.channels[3].started = false;
    loss.channels[3].latePackets = 3;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
    EXPECT_NE(why.find("input 4"), std::string::npos) << why;
}
