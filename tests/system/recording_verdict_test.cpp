// The verdict tessel-rec ends a recording with: a loss passes only where every break is one the driver counted or a
// late packet of that input's device, and the drop-outs the driver counted are the devices' late packets but for
// one in ten seconds, and the devices ran late rarely.
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

TEST(RecordingVerdict, OnlyCountedLossesPassAndOnlyWhileRare) {
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
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereMachineStalled) << why;
    // A break the driver counted, in a channel whose device was on time: still the count explains it.
    loss.channels[0].breaks = 1;
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereMachineStalled) << why;
    // One break more than the count and that channel's late packets explain.
    loss.channels[0].breaks = 2;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
    EXPECT_NE(why.find("input 1"), std::string::npos) << why;

    // A break nobody counted fails, however many late packets other devices had.
    loss = Clean();
    loss.channels[1] = {true, 1, true, 0};
    loss.channels[2].latePackets = 3;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
    EXPECT_NE(why.find("input 2"), std::string::npos) << why;

    // Drop-outs the driver counted beyond the devices' late packets (its own threads held up, a playback device's
    // packet, a capture catch-up that broke no input): one in ten seconds passes, a second does not.
    loss = Clean();
    loss.driverDropOuts = 1;
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereMachineStalled) << why;
    loss.channels[0].breaks = 1;  // and the break it made
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereMachineStalled) << why;
    loss.driverDropOuts = 2;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
    loss.seconds = 10.02;  // a few frames over ten seconds still allow one
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
    loss.seconds = 20.0;
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereMachineStalled) << why;
    loss.seconds = 10.0;
    loss.channels[3].latePackets = 1;
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereMachineStalled) << why;
    loss.driverDropOuts = 3;
    EXPECT_EQ(Judge(loss, &why), Verdict::Lost);
    loss.channels[3].latePackets = 2;
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereMachineStalled) << why;

    // More than one late packet a second over all devices: the machine was too busy to judge the driver by.
    loss.channels[0].latePackets = 8;
    EXPECT_EQ(Judge(loss, &why), Verdict::LostWhereMachineStalled) << why;  // 10 in 10 s
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
