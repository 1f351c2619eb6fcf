// The analysis that tessel-rec and the alignment test judge recordings by: where a sound lands in a channel, and
// how the channels' arrivals compare.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sim/devices/room.h"
#include "tools/tessel-rec/alignment.h"

namespace {

// A channel of `seconds` at `rate` with the room's sound centred at each of `at` (frames, fractional).
std::vector<float> Channel(double rate, double seconds, const std::vector<double>& at, bool burst = false) {
    std::vector<float> samples(static_cast<size_t>(seconds * rate), 0.0f);
    const double sigma = (burst ? sim::devices::Room::kBurstSigmaSeconds : sim::devices::Room::kClickSigmaSeconds);
    for (double centre : at)
        for (size_t i = 0; i < samples.size(); ++i) {
            const double dt = (static_cast<double>(i) - centre) / rate;
            if (std::fabs(dt) > 6 * sigma) continue;
            const double envelope = 0.5 * std::exp(-0.5 * (dt / sigma) * (dt / sigma));
            samples[i] += static_cast<float>(burst ? envelope * std::sin(2 * M_PI * sim::devices::Room::kBurstHz * dt)
                                                   : envelope);
        }
    return samples;
}

}  // namespace

TEST(AlignmentAnalysis, FindsClicksAndBurstsToAFractionOfAFrame) {
    for (double rate : {48000.0, 192000.0}) {
        for (bool burst : {false, true}) {
            SCOPED_TRACE(testing::Message() << rate << (burst ? " burst" : " click"));
            const std::vector<double> at = {0.3 * rate + 0.25, 0.8 * rate + 0.5, 1.3 * rate + 0.75};
            const std::vector<float> samples = Channel(rate, 1.5, at, burst);
            // Whole, and in blocks of an odd size as a host hands them over: the same events.
            alignment::EventFinder finder(rate);
            for (size_t i = 0; i < samples.size(); i += 287)
                finder.Add(samples.data() + i, std::min<size_t>(287, samples.size() - i));
            for (const std::vector<double>& found : {alignment::FindEvents(samples, rate), finder.Events()}) {
                ASSERT_EQ(found.size(), at.size());
                for (size_t k = 0; k < at.size(); ++k) EXPECT_NEAR(found[k], at[k], 0.05);
            }
        }
    }
    // A sound already under way when the recording starts, or one too quiet, is no event.
    EXPECT_TRUE(alignment::FindEvents(Channel(48000, 0.5, {2.0}), 48000).empty());
    std::vector<float> quiet = Channel(48000, 0.5, {10000});
    for (float& x : quiet) x *= 0.1f;
    EXPECT_TRUE(alignment::FindEvents(quiet, 48000).empty());
}

TEST(AlignmentAnalysis, SpreadAndWanderAfterSettling) {
    const double rate = 48000;
    // Channel 1 steady 10 frames after channel 0; channel 2 steady at first, then drifting by 30 frames; channel
    // 2 misses one event, which is then not counted.
    std::vector<std::vector<double>> arrivals(3);
    for (int k = 0; k < 10; ++k) {
        const double slot = 1000.0 + k * rate;
        arrivals[0].push_back(slot);
        arrivals[1].push_back(slot + 10);
        if (k != 7) arrivals[2].push_back(slot - 5 + (k >= 5 ? 6.0 * (k - 4) : 0.0));
    }
    const alignment::Report early = alignment::Compare(arrivals, rate, 1.0, 0.0);
    EXPECT_EQ(early.events, 9u);
    EXPECT_NEAR(early.maxSpreadFrames, 25.0, 1e-9);  // the last event: channel 2 at +25, channel 0 at 0
    EXPECT_NEAR(early.wanderFrames[0], 0.0, 1e-9);
    EXPECT_NEAR(early.wanderFrames[1], 0.0, 1e-9);
    EXPECT_NEAR(early.wanderFrames[2], 30.0, 1e-9);
    EXPECT_NEAR(early.offsetFrames[1], 10.0, 1e-9);
    // Only the events from 2 s on.
    const alignment::Report late = alignment::Compare(arrivals, rate, 1.0, 2.0);
    EXPECT_EQ(late.events, 7u);
}

TEST(AlignmentAnalysis, ArrivalsArePlacedOnTheClocksSchedule) {
    const double rate = 48000;
    const size_t n = 480;
    const double period = 1e9 * n / rate;  // 10 ms
    // Switch 2 reached the host 3 ms late; then the clock fell behind and skipped two periods.
    std::vector<int64_t> arrived = {0, 10'000'000, 23'000'000, 30'000'000, 60'000'000, 70'000'000};
    const std::vector<double> schedule = alignment::ScheduleOfSwitches(arrived, period);
    ASSERT_EQ(schedule.size(), arrived.size());
    EXPECT_DOUBLE_EQ(schedule[2], 20e6);
    EXPECT_DOUBLE_EQ(schedule[4], 60e6);
    // A sound in the middle of buffer 2 and one in buffer 4, which follows the skip: the latter 20 ms later than
    // its place in the recording says.
    const std::vector<double> placed = alignment::OnSchedule({2 * n + 100.0, 4 * n + 100.0, 9 * n}, schedule, n, rate);
    ASSERT_EQ(placed.size(), 2u);
    EXPECT_DOUBLE_EQ(placed[0], 2 * n + 100.0);
    EXPECT_DOUBLE_EQ(placed[1], 6 * n + 100.0);
}
