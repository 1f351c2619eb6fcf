// HidChannel against virtual microphones: finding the right HID interface among several, transfers that end
// late or never, copies that are independent channels, and input reports longer than the report buffer.
#include <gtest/gtest.h>

#include <chrono>

#include "hid/hid_channel.h"
#include "sim/devices/world.h"

using namespace std::chrono_literals;
using sim::devices::Machine;
using sim::devices::MicrophoneConfig;
using sim::devices::ScopedWorld;
using sim::devices::WorldConfig;

namespace {

const BYTE kCommand[9] = {'M'};

TEST(HidChannel, OpensTheInterfaceOfTheMatchingContainerOnly) {
    ScopedWorld world(Machine({{}, {}, {}}, {}, 2));
    auto wanted = world.microphone(1);

    HidChannel channel;
    ASSERT_TRUE(channel.Open(wanted->identity().containerId));
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_EQ(channel.Path(), wanted->identity().hidPath);
    EXPECT_EQ(channel.InputReportLength(), 10u);
    EXPECT_EQ(channel.OutputReportLength(), 10u);
    // The command reaches that microphone and no other.
    ASSERT_TRUE(channel.WriteReport(kCommand, 9, 2));
    EXPECT_EQ(wanted->hid()->CommandsReceived(), 1);
    EXPECT_EQ(world.microphone(0)->hid()->CommandsReceived(), 0);
    EXPECT_EQ(world.microphone(2)->hid()->CommandsReceived(), 0);

    HidChannel unmatched;
    GUID stranger = wanted->identity().containerId;
    stranger.Data4[0] ^= 0xFF;
    EXPECT_FALSE(unmatched.Open(stranger));
    EXPECT_FALSE(unmatched.IsOpen());
    EXPECT_TRUE(unmatched.Path().empty());
    EXPECT_FALSE(unmatched.Open(GUID{}));
    EXPECT_FALSE(unmatched.IsOpen());
    // A closed channel transfers nothing.
    BYTE reply[9] = {};
    EXPECT_FALSE(unmatched.WriteReport(kCommand, 9, 2));
    EXPECT_FALSE(unmatched.ReadReport(reply, 9, 1));
}

// On one microphone: reports of another ID are passed by, transfers that end late succeed, ones that never end are
// taken back, and copies of a channel are channels of their own.
TEST(HidChannel, ReadsItsOwnReportsTakesBackTransfersThatNeverEndAndCopiesAreIndependent) {
    ScopedWorld world(Machine({{}}));
    auto microphone = world.microphone(0);
    auto hid = microphone->hid();
    HidChannel channel;
    ASSERT_TRUE(channel.Open(microphone->identity().containerId));

    hid->SendInputReport(3, {'X', 'Y'});
    hid->SendInputReport(1, {'M', 'A', 7});
    BYTE reply[9] = {0xEE, 0xEE, 0xEE};
    EXPECT_FALSE(channel.ReadReport(reply, 9, 1));
    EXPECT_EQ(reply[0], 0xEE) << "a report with another ID copies nothing";
    ASSERT_TRUE(channel.ReadReport(reply, 9, 1));
    EXPECT_EQ(reply[0], 'M');
    EXPECT_EQ(reply[1], 'A');
    EXPECT_EQ(reply[2], 7);

    hid->DelayWrites(300ms);
    hid->SetReplyDelay(300ms);
    EXPECT_TRUE(channel.WriteReport(kCommand, 9, 2));
    reply[0] = 0;
    EXPECT_TRUE(channel.ReadReport(reply, 9, 1)) << "a reply 300 ms after the write is within the limit";
    EXPECT_EQ(reply[0], 'M');

    hid->DelayWrites(0ms);
    hid->WritesNeverComplete(true);
    EXPECT_FALSE(channel.WriteReport(kCommand, 9, 2));
    EXPECT_EQ(hid->CommandsReceived(), 1) << "the cancelled write never reached the microphone";

    // Nothing answers: the read ends at its limit, and the channel is free for the next transfer.
    EXPECT_FALSE(channel.ReadReport(reply, 9, 1));
    hid->WritesNeverComplete(false);
    hid->SetReplyDelay(0ms);
    EXPECT_TRUE(channel.WriteReport(kCommand, 9, 2));
    EXPECT_TRUE(channel.ReadReport(reply, 9, 1));

    HidChannel copy;
    copy = channel;
    ASSERT_TRUE(copy.IsOpen());
    EXPECT_EQ(copy.Path(), channel.Path());
    EXPECT_EQ(copy.InputReportLength(), channel.InputReportLength());
    copy = copy;
    EXPECT_TRUE(copy.IsOpen()) << "assigning a channel to itself keeps it open";

    channel.Close();
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_TRUE(channel.Path().empty());
    reply[1] = 0;
    EXPECT_TRUE(copy.WriteReport(kCommand, 9, 2));
    EXPECT_TRUE(copy.ReadReport(reply, 9, 1));
    EXPECT_EQ(reply[1], 'A');

    HidChannel second(copy);
    copy.Close();
    EXPECT_TRUE(second.WriteReport(kCommand, 9, 2));
    EXPECT_TRUE(second.ReadReport(reply, 9, 1));

    HidChannel closed;
    second = closed;
    EXPECT_FALSE(second.IsOpen());
}

TEST(HidChannel, AnInputReportLongerThanTheBufferFailsWithoutOverflow) {
    MicrophoneConfig longReports;
    longReports.hidSetup.inputReportBytes = 300;
    ScopedWorld world(Machine({longReports}));
    auto microphone = world.microphone(0);
    HidChannel channel;
    ASSERT_TRUE(channel.Open(microphone->identity().containerId));
    EXPECT_EQ(channel.InputReportLength(), HidChannel::kReportBufferBytes);

    ASSERT_TRUE(channel.WriteReport(kCommand, 9, 2));
    BYTE reply[9] = {};
    EXPECT_FALSE(channel.ReadReport(reply, 9, 1)) << "the device refuses a buffer shorter than its report";
}

}  // namespace
