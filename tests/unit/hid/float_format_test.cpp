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

TEST(FloatFormat, NothingIsSentForOtherFormatsOrWithoutAChannel) {
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
}

// Each microphone answers in its own way; the handshakes run side by side, each on its own thread as each
// endpoint's start would, and each is timed.
TEST(FloatFormat, EachReplyHasItsEffectWithinItsTimeBound) {
    struct Case {
        HidReply reply;
        bool writeNeverCompletes;
        FloatFormatReply expected;
        bool floats;
        bool waitsOutTheWindow;
    };
    const std::vector<Case> cases = {
        {HidReply::EchoAndAck, false, FloatFormatReply::Acknowledged, true, false},
        {HidReply::EchoWithoutAck, false, FloatFormatReply::EchoWithoutAck, true, true},
        {HidReply::None, false, FloatFormatReply::NoEcho, false, true},
        {HidReply::OtherReportId, false, FloatFormatReply::NoEcho, false, true},
        {HidReply::EchoAndAck, true, FloatFormatReply::WriteFailed, false, true},
    };
    WorldConfig config;
    config.microphones.resize(cases.size());
    ScopedWorld world(config);

    struct Result {
        FloatFormatReply reply = FloatFormatReply::NotSent;
        bool floats = false;
        long long milliseconds = 0;
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
            auto start = std::chrono::steady_clock::now();
            results[i].reply = hid::RequestFloatSamples(channel, true, floatSamples);
            results[i].milliseconds =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            results[i].floats = floatSamples.load();
        });
    }
    for (auto& thread : threads) thread.join();

    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        EXPECT_EQ(results[i].reply, cases[i].expected);
        EXPECT_EQ(results[i].floats, cases[i].floats);
        if (cases[i].waitsOutTheWindow)
            EXPECT_GE(results[i].milliseconds, 2000);
        else
            EXPECT_LT(results[i].milliseconds, 2000);
        // The window and one read's own limit, with room for a loaded machine.
        EXPECT_LT(results[i].milliseconds, 4000 + 2000);
    }
    // Only the microphones that echoed switched their stream (none is open here, so none switched).
    EXPECT_EQ(world.microphone(2)->hid()->CommandsReceived(), 1);
    EXPECT_EQ(world.microphone(4)->hid()->CommandsReceived(), 0) << "a write that never completed was taken back";
}

TEST(FloatFormat, OtherInputReportsPassByUntilTheEcho) {
    ScopedWorld world(Machine({{}}));
    auto microphone = world.microphone(0);
    microphone->hid()->SetReplyDelay(100ms);
    HidChannel channel;
    ASSERT_TRUE(channel.Open(microphone->identity().containerId));
    // A button report waiting in the queue comes first; it carries report ID 1 but no echo.
    microphone->hid()->SendInputReport(1, {'B', 'A'});
    std::atomic<bool> floatSamples{false};
    EXPECT_EQ(hid::RequestFloatSamples(channel, true, floatSamples), FloatFormatReply::Acknowledged);
    EXPECT_TRUE(floatSamples.load());
}

}  // namespace
