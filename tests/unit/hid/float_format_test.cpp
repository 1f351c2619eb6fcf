// The float-format handshake against virtual microphones: when it is sent at all, and each way a microphone can
// answer, with its effect on the sample format and the time it takes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "hid/float_format.h"
#include "sim/devices/world.h"

using namespace std::chrono_literals;
using hid::FloatFormatReply;
using sim::devices::HidReply;
using sim::devices::Machine;
using sim::devices::MicrophoneConfig;
using sim::devices::ScopedWorld;
using sim::devices::WorldConfig;

namespace {

// Nothing is sent for another format or without a channel; a button report waiting in the queue (report ID 1, but
// no echo) is passed by until the echo.
TEST(FloatFormat, SentOnlyForFloatsOnAnOpenChannelAndOtherReportsPassByUntilTheEcho) {
    ScopedWorld world(Machine({{}}));
    auto microphone = world.microphone(0);
    HidChannel channel;
    ASSERT_TRUE(channel.Open(microphone->identity().containerId));
    std::atomic<bool> floatSamples{false};

    EXPECT_EQ(hid::RequestFloatSamples(channel, false, floatSamples), FloatFormatReply::NotSent);
    HidChannel closed;
    EXPECT_EQ(hid::RequestFloatSamples(closed, true, floatSamples), FloatFormatReply::NotSent);
    EXPECT_EQ(microphone->hid()->OutputReportsReceived(), 0);
    EXPECT_FALSE(floatSamples.load());

    microphone->hid()->SetReplyDelay(100ms);
    microphone->hid()->SendInputReport(1, {'B', 'A'});
    EXPECT_EQ(hid::RequestFloatSamples(channel, true, floatSamples), FloatFormatReply::Acknowledged);
    EXPECT_TRUE(floatSamples.load());
}

// Each microphone answers in its own way; the handshakes run side by side, each on its own thread as each
// endpoint's start would. Every one of them ends (join), whatever the microphone does; how long each took is not
// judged here, as a machine busy elsewhere stretches it.
TEST(FloatFormat, EachReplyHasItsEffect) {
    struct Case {
        HidReply reply;
        bool writeNeverCompletes;
        FloatFormatReply expected;
        bool floats;
    };
    const std::vector<Case> cases = {
        {HidReply::EchoAndAck, false, FloatFormatReply::Acknowledged, true},
        {HidReply::EchoWithoutAck, false, FloatFormatReply::EchoWithoutAck, true},
        {HidReply::None, false, FloatFormatReply::NoEcho, false},
        {HidReply::OtherReportId, false, FloatFormatReply::NoEcho, false},
        {HidReply::EchoAndAck, true, FloatFormatReply::WriteFailed, false},
    };
    WorldConfig config;
    config.microphones.resize(cases.size());
    ScopedWorld world(config);

    struct Result {
        FloatFormatReply reply = FloatFormatReply::NotSent;
        bool floats = false;
    };
    std::vector<Result> results(cases.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < cases.size(); ++i) {
        auto microphone = world.microphone(i);
        microphone->hid()->SetReply(cases[i].reply);
        microphone->hid()->WritesNeverComplete(cases[i].writeNeverCompletes);
        threads.emplace_back([&, i, microphone] {
            HidChannel channel;
            if (!channel.Open(microphone->identity().containerId)) return;
            std::atomic<bool> floatSamples{false};
            results[i].reply = hid::RequestFloatSamples(channel, true, floatSamples);
            results[i].floats = floatSamples.load();
        });
    }
    for (auto& thread : threads) thread.join();

    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        EXPECT_EQ(results[i].reply, cases[i].expected);
        EXPECT_EQ(results[i].floats, cases[i].floats);
    }
    // Only the microphones that echoed switched their stream (none is open here, so none switched).
    EXPECT_EQ(world.microphone(2)->hid()->CommandsReceived(), 1);
    EXPECT_EQ(world.microphone(4)->hid()->CommandsReceived(), 0) << "a write that never completed was taken back";
}

}  // namespace
