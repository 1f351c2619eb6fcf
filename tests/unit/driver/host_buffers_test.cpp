// The channel model and the host's buffers as a host meets them, and the clock-source and future answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "driver/asio_driver.h"
#include "tests/support/driver_fixture.h"

namespace {

using drivertest::Entry;

int32_t timeInfoAnswer = 1;
int32_t timeInfoQuestions = 0;

int32_t HostMessage(int32_t selector, int32_t, void*, double*) {
    if (selector != kAsioSupportsTimeInfo) return 0;
    ++timeInfoQuestions;
    return timeInfoAnswer;
}
void HostSwitch(int32_t, ASIOBool) {}
ASIOCallbacks hostCallbacks = {&HostSwitch, nullptr, &HostMessage, nullptr};

// A driver as the open sequence leaves it with `microphones` attached (stand-in endpoints: the clock never
// touches them) and, optionally, a playback device on the output FIFO.
struct Driver : drivertest::OwnedDriver {
    explicit Driver(int microphones, bool isFloat = false, bool output = false) : OwnedDriver(isFloat) {
        drivertest::AttachStandInMicrophones(*driver, microphones);
        if (output) {
            driver->outputFifo.device = reinterpret_cast<CKSDevice*>(&driver->outputFifo);
            driver->outputFifo.channels = 2;
            driver->outputFifo.Configure(48000.0f, 96);
        }
    }
};

ASIOChannelInfo ChannelInfo(CAsioDriver* driver, bool input, int32_t channel, ASIOError* result) {
    ASIOChannelInfo info{};
    info.channel = channel;
    info.isInput = input ? ASIOTrue : ASIOFalse;
    *result = driver->getChannelInfo(&info);
    return info;
}

}  // namespace

TEST(HostBuffers, ChannelInfoReportsNamesTypesAndWhatTheHostActivated) {
    for (bool isFloat : {false, true}) {
        Driver driver(3, isFloat);
        std::vector<ASIOBufferInfo> infos = {Entry(true, 0), Entry(true, 2), Entry(false, 0), Entry(false, 1)};
        ASSERT_EQ(driver->createBuffers(infos.data(), 4, 288, &hostCallbacks), ASE_OK);
        EXPECT_EQ(driver->numActiveInputs, 2);
        EXPECT_EQ(driver->inputChannelMap[1], 2);

        ASIOError result = ASE_OK;
        const char* names[] = {"Tessel-1", "Tessel-2", "Tessel-3"};
        for (int32_t ch = 0; ch < 3; ++ch) {
            ASIOChannelInfo info = ChannelInfo(driver.driver, true, ch, &result);
            EXPECT_EQ(result, ASE_OK);
            EXPECT_EQ(info.isActive, ch == 1 ? ASIOFalse : ASIOTrue) << ch;
            EXPECT_STREQ(info.name, names[ch]);
            EXPECT_EQ(info.type, isFloat ? ASIOSTFloat32LSB : ASIOSTInt32LSB);
            EXPECT_EQ(info.channelGroup, 0);
        }
        EXPECT_STREQ(ChannelInfo(driver.driver, false, 0, &result).name, "Output L");
        EXPECT_STREQ(ChannelInfo(driver.driver, false, 1, &result).name, "Output R");
        EXPECT_EQ(ChannelInfo(driver.driver, false, 1, &result).isActive, ASIOTrue);

        for (auto [input, channel] : {std::pair{true, 3}, std::pair{true, -1}, std::pair{false, 2}}) {
            ASIOChannelInfo info = ChannelInfo(driver.driver, input, channel, &result);
            EXPECT_EQ(result, ASE_InvalidParameter);
            EXPECT_STREQ(info.name, "");
        }
    }
}

TEST(HostBuffers, BuffersAreZeroedDoubleHalvesAndTheHostIsAskedAboutTimeInfo) {
    Driver driver(2);
    timeInfoQuestions = 0;
    timeInfoAnswer = 1;
    std::vector<ASIOBufferInfo> infos = {Entry(true, 1), Entry(false, 1)};
    ASSERT_EQ(driver->createBuffers(infos.data(), 2, 256, &hostCallbacks), ASE_OK);
    EXPECT_EQ(timeInfoQuestions, 1);
    EXPECT_TRUE(driver->timeInfoMode);
    EXPECT_EQ(driver->asioTime.timeInfo.flags, 7u);
    EXPECT_EQ(driver->asioTime.timeInfo.sampleRate, 48000.0);
    EXPECT_EQ(driver->asioTime.timeCode.flags, 3u);
    for (const ASIOBufferInfo& info : infos) {
        const int32_t* first = static_cast<const int32_t*>(info.buffers[0]);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(static_cast<const int32_t*>(info.buffers[1]), first + 256);
        EXPECT_EQ(std::vector<int32_t>(first, first + 512), std::vector<int32_t>(512, 0));
    }
    int32_t inputLatency = 0, outputLatency = 0;
    driver->getLatencies(&inputLatency, &outputLatency);
    // Steered capture fill 2.5 buffers, half a packet, one frame of converter; output: two halves, steered
    // fill 3.5 buffers, one packet, one frame.
    EXPECT_EQ(inputLatency, 640 + 128 + 1);
    EXPECT_EQ(outputLatency, 512 + 896 + 256 + 1);

    // No channels at all still prepares the driver and asks again; a host without time info gets plain switches.
    timeInfoAnswer = 0;
    EXPECT_EQ(driver->createBuffers(nullptr, 0, 144, &hostCallbacks), ASE_OK);
    EXPECT_EQ(timeInfoQuestions, 2);
    EXPECT_FALSE(driver->timeInfoMode);
    EXPECT_EQ(driver->numActiveInputs + driver->numActiveOutputs, 0);
    EXPECT_EQ(driver->callbacks, &hostCallbacks);
    timeInfoAnswer = 1;

    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->callbacks, nullptr);
}

TEST(HostBuffers, BadRequestsAreRefusedAndLeaveNoBuffersBehind) {
    Driver driver(2);
    std::vector<ASIOBufferInfo> good = {Entry(true, 0), Entry(false, 0)};
    ASSERT_EQ(driver->createBuffers(good.data(), 2, 288, &hostCallbacks), ASE_OK);

    // Sizes the fixed stores cannot serve, and requests without callbacks or list: refused before anything
    // changes, so the earlier buffers stay in place.
    for (int32_t size : {0, -288, 2305, 1 << 30})
        EXPECT_EQ(driver->createBuffers(good.data(), 2, size, &hostCallbacks), ASE_InvalidParameter) << size;
    EXPECT_EQ(driver->createBuffers(good.data(), 2, 288, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(nullptr, 2, 288, &hostCallbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(good.data(), -1, 288, &hostCallbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->bufferSize, 288);
    EXPECT_EQ(driver->numActiveInputs, 1);
    EXPECT_EQ(driver->callbacks, &hostCallbacks);

    // A channel out of range, or more entries than channels: no buffers, no callbacks, the new size kept.
    const std::vector<std::vector<ASIOBufferInfo>> bad = {
        {Entry(true, 0), Entry(true, 2)},
        {Entry(false, 2)},
        {Entry(true, -1)},
        {Entry(true, 0), Entry(true, 1), Entry(true, 0)},
        {Entry(false, 0), Entry(false, 1), Entry(false, 1)},
        // A channel listed twice, within the count: it would be drained twice per tick.
        {Entry(true, 1), Entry(true, 1)},
        {Entry(false, 0), Entry(true, 0), Entry(false, 0)},
    };
    for (std::vector<ASIOBufferInfo> infos : bad) {
        EXPECT_EQ(driver->createBuffers(infos.data(), static_cast<int32_t>(infos.size()), 576, &hostCallbacks),
                  ASE_InvalidParameter);
        EXPECT_EQ(driver->numActiveInputs + driver->numActiveOutputs, 0);
        EXPECT_EQ(driver->inputBuffers[0], nullptr);
        EXPECT_EQ(driver->outputBuffers[0], nullptr);
        EXPECT_EQ(driver->callbacks, nullptr);
        EXPECT_EQ(driver->bufferSize, 576);
    }

    // The same channel number in both directions is two different channels.
    std::vector<ASIOBufferInfo> both = {Entry(true, 1), Entry(false, 1)};
    EXPECT_EQ(driver->createBuffers(both.data(), 2, 288, &hostCallbacks), ASE_OK);
    EXPECT_NE(both[0].buffers[0], both[1].buffers[0]);
}

TEST(HostBuffers, SizesHostsAskForAreAcceptedAndReachTheFifos) {
    Driver driver(2, false, true);
    driver->decimationFactor = 2;
    std::vector<ASIOBufferInfo> infos = {Entry(true, 0), Entry(false, 0)};
    for (int32_t size : {128, 256, 512, 576, 1, 2304}) {
        ASSERT_EQ(driver->createBuffers(infos.data(), 2, size, &hostCallbacks), ASE_OK) << size;
        EXPECT_EQ(driver->inputFifos[0].PeriodFrames(), static_cast<uint32_t>(size));
        EXPECT_EQ(driver->inputFifos[1].PeriodFrames(), static_cast<uint32_t>(size));
        EXPECT_EQ(driver->inputFifos[0].HostBufferFrames(), static_cast<uint32_t>(size));
        EXPECT_EQ(driver->outputFifo.PeriodFrames(), static_cast<uint32_t>(size / 2));
        // The output FIFO counts its buffer in the playback device's frames, as it counts its fill.
        EXPECT_EQ(driver->outputFifo.HostBufferFrames(), std::max(1u, static_cast<uint32_t>(size / 2)));
        EXPECT_EQ(driver->inputFifos[0].SampleRate(), 48000.0f);
    }
    // A FIFO without a microphone keeps its period.
    EXPECT_EQ(driver->inputFifos[2].PeriodFrames(), 96u);
}

TEST(ClockSources, OneInternalSourceAndTheFutureSelectors) {
    Driver driver(1);
    ASIOClockSource sources[2];
    std::memset(sources, 0x55, sizeof(sources));
    int32_t count = 2;
    ASSERT_EQ(driver->getClockSources(sources, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(sources[0].index, 0);
    EXPECT_EQ(sources[0].associatedChannel, -1);
    EXPECT_EQ(sources[0].associatedGroup, -1);
    EXPECT_EQ(sources[0].isCurrentSource, ASIOTrue);
    EXPECT_STREQ(sources[0].name, "Internal");
    EXPECT_EQ(driver->setClockSource(1), ASE_NotPresent);
    EXPECT_EQ(driver->setClockSource(-1), ASE_NotPresent);

    for (int32_t selector : {1, 2, 3, 9, 10, 11}) EXPECT_EQ(driver->future(selector, nullptr), ASE_SUCCESS);
    for (int32_t selector : {0, -1, 4, 5, 6, 7, 8, 12, 0x23111961})
        EXPECT_EQ(driver->future(selector, nullptr), ASE_NotPresent) << selector;
}
