// Audio pins: what they accept, the connect block they send, their state steps, the WaveRT buffer, and the
// device answers they must not believe.
#include <gtest/gtest.h>

#include <cstring>

#include "ks_test_helpers.h"
#include "sim/os/sim_control.h"

using namespace kstest;

namespace {

class PinTest : public testing::Test {
protected:
    // Enumerates the first device as a capture filter and returns its first audio pin (null if none).
    CKsAudPin* OpenFilter() {
        if (Enumerate(filters, CKsFilter::eCapture) != S_OK || filters.m_listFilters.empty()) return nullptr;
        filter = dynamic_cast<CKsAudCapFilter*>(filters.m_listFilters[0]);
        if (!filter || filter->m_listPins.empty()) return nullptr;
        return dynamic_cast<CKsAudPin*>(filter->m_listPins[0]);
    }
    std::vector<ULONG> StatesSent() {
        std::vector<ULONG> states;
        for (const auto& request : kernel->Requests(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE)) {
            ULONG state = ~0u;
            std::memcpy(&state, request.value.data(), sizeof state);
            states.push_back(state);
        }
        kernel->TakeRequests();
        return states;
    }

    ScopedKernel kernel;
    HRESULT constructed = E_FAIL;
    CKsEnumFilters filters{constructed};
    CKsAudCapFilter* filter = nullptr;
};

TEST_F(PinTest, FormatSupportFollowsTheDataRanges) {
    kernel->devices = {CaptureDevice()};
    CKsAudPin* pin = OpenFilter();
    ASSERT_NE(pin, nullptr);
    WAVEFORMATEX stereo24 = Pcm(2, 48000, 24);
    EXPECT_TRUE(pin->IsFormatSupported(&stereo24));
    for (WAVEFORMATEX refused : {Pcm(3, 48000, 24), Pcm(2, 48000, 32), Pcm(2, 44100, 24), Pcm(2, 96000, 16)})
        EXPECT_FALSE(pin->IsFormatSupported(&refused));
    WAVEFORMATEX floats = stereo24;
    floats.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    EXPECT_FALSE(pin->IsFormatSupported(&floats)) << "the range is PCM only";

    // Extensible formats are judged by their valid bits, not their containers.
    WAVEFORMATEXTENSIBLE packed24 = Extensible(1, 48000, 32, 24);
    WAVEFORMATEXTENSIBLE full32 = Extensible(1, 48000, 32, 32);
    EXPECT_TRUE(pin->IsFormatSupported(&packed24.Format));
    EXPECT_FALSE(pin->IsFormatSupported(&full32.Format));
    // An extensible tag without its extension has no sub-format to compare and cannot be sent.
    WAVEFORMATEXTENSIBLE truncated = packed24;
    truncated.Format.cbSize = 0;
    EXPECT_FALSE(pin->IsFormatSupported(&truncated.Format));
    EXPECT_EQ(pin->SetFormat(&truncated.Format), E_INVALIDARG);
}

TEST_F(PinTest, TheConnectBlockFollowsTheFormatAndReachesTheDriver) {
    kernel->devices = {CaptureDevice()};
    CKsAudPin* pin = OpenFilter();
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->m_cbPinCreate, 154u);
    WAVEFORMATEXTENSIBLE extensible = Extensible(2, 48000, 32, 24);
    ASSERT_EQ(pin->SetFormat(&extensible.Format), S_OK);
    EXPECT_EQ(pin->m_cbPinCreate, 176u);
    EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 104u);
    WAVEFORMATEX pcm = Pcm(2, 48000, 24);
    ASSERT_EQ(pin->SetFormat(&pcm), S_OK);
    EXPECT_EQ(pin->m_cbPinCreate, 154u);
    EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 82u);
    EXPECT_FALSE(pin->IsFloatFormat());

    ASSERT_EQ(filter->CreateCapturePin(&pcm, 1, 0), pin);
    auto blocks = kernel->ConnectBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    ASSERT_EQ(blocks[0].size(), 154u);
    KSPIN_CONNECT connect;
    KSDATAFORMAT format;
    std::memcpy(&connect, blocks[0].data(), sizeof connect);
    std::memcpy(&format, blocks[0].data() + sizeof connect, sizeof format);
    EXPECT_EQ(connect.Interface.Set, KSINTERFACESETID_Standard);
    EXPECT_EQ(connect.Interface.Id, ULONG(KSINTERFACE_STANDARD_LOOPED_STREAMING)) << "the pin offers WaveRT";
    EXPECT_EQ(connect.Medium.Set, KSMEDIUMSETID_Standard);
    EXPECT_EQ(connect.Priority.PriorityClass, ULONG(KSPRIORITY_EXCLUSIVE));
    EXPECT_EQ(connect.Priority.PrioritySubClass, 1u);
    EXPECT_EQ(format.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_EQ(format.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(format.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    EXPECT_EQ(format.SampleSize, 6u);
    EXPECT_EQ(std::memcmp(blocks[0].data() + 136, &pcm, 18), 0);

    // Mode 1 forces standard streaming and flag 0 normal priority, on the next instance.
    ASSERT_EQ(filter->CreateCapturePin(&pcm, 0, 1), pin);
    blocks = kernel->ConnectBlocks();
    std::memcpy(&connect, blocks.back().data(), sizeof connect);
    EXPECT_EQ(connect.Interface.Id, ULONG(KSINTERFACE_STANDARD_STREAMING));
    EXPECT_EQ(connect.Priority.PriorityClass, ULONG(KSPRIORITY_NORMAL));
    EXPECT_EQ(kernel->OpenPins(), 1) << "re-opening must not leak the earlier instance";
}

TEST_F(PinTest, StatesAreSteppedOneAtATimeAndARefusalStops) {
    ScriptedDevice device = CaptureDevice("\\\\?\\usb#refuses-pause");
    device.pins[0].refusedState = KSSTATE_PAUSE;
    kernel->devices = {CaptureDevice(), device};
    WAVEFORMATEX pcm = Pcm(2, 48000, 16);
    CKsAudPin* pin = OpenFilter();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(filter->CreateCapturePin(&pcm, 1, 0), pin);
    kernel->TakeRequests();
    EXPECT_EQ(pin->_SetState(KSSTATE_RUN), S_OK);
    EXPECT_EQ(StatesSent(), (std::vector<ULONG>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
    EXPECT_EQ(pin->_SetState(KSSTATE_RUN), S_OK);
    EXPECT_TRUE(StatesSent().empty());
    EXPECT_EQ(pin->_SetState(KSSTATE_STOP), S_OK);
    EXPECT_EQ(StatesSent(), (std::vector<ULONG>{KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));

    auto* refusing = dynamic_cast<CKsAudCapFilter*>(filters.m_listFilters[1]);
    CKsAudPin* stubborn = refusing->CreateCapturePin(&pcm, 1, 0);
    ASSERT_NE(stubborn, nullptr);
    EXPECT_TRUE(FAILED(stubborn->_SetState(KSSTATE_RUN)));
    EXPECT_EQ(stubborn->m_state, KSSTATE_ACQUIRE);
    // Closing leaves a stopped pin; a new instance starts from stop again.
    stubborn->ClosePin();
    EXPECT_EQ(stubborn->m_state, KSSTATE_STOP);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(stubborn->GetHandle()));
    EXPECT_EQ(kernel->OpenPins(), 1);
}

TEST_F(PinTest, WaveRtBufferGrowsUntilGrantedOrTheLimitAndIsReusedUntilReset) {
    ScriptedDevice device = CaptureDevice();
    device.pins[0].refusedBufferRequests = 2;
    kernel->devices = {device};
    CKsAudPin* pin = OpenFilter();
    ASSERT_NE(pin, nullptr);
    WAVEFORMATEX stereo = Pcm(2, 48000, 16);
    ASSERT_EQ(filter->CreateCapturePin(&stereo, 1, 0), pin);
    kernel->TakeRequests();

    void* buffer = nullptr;
    ULONG granted = 0;
    ASSERT_EQ(pin->AllocateBuffersWithNotification(1000, buffer, granted), S_OK);
    std::vector<ULONG> asked;
    for (const auto& request : kernel->Requests(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION)) {
        KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION sent;
        std::memcpy(reinterpret_cast<BYTE*>(&sent) + sizeof(KSPROPERTY), request.extra.data(), request.extra.size());
        asked.push_back(sent.RequestedBufferSize);
        EXPECT_EQ(sent.NotificationCount, 2u);
    }
    EXPECT_EQ(asked, (std::vector<ULONG>{1000, 1002, 1004}));
    EXPECT_NE(buffer, nullptr);
    EXPECT_EQ(granted, 1004u);
    HANDLE first = pin->m_hNotificationEvent;
    EXPECT_EQ(kernel->RegisteredEvents(), std::vector<HANDLE>{first});

    // Again without a reset: the same buffer, no new request for it, a freshly registered event.
    kernel->TakeRequests();
    void* again = nullptr;
    ASSERT_EQ(pin->AllocateBuffersWithNotification(1000, again, granted), S_OK);
    EXPECT_EQ(again, buffer);
    EXPECT_TRUE(kernel->Requests(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION).empty());
    EXPECT_EQ(kernel->RegisteredEvents(), std::vector<HANDLE>{pin->m_hNotificationEvent});

    // A reset unregisters the event and forgets the buffer; the next allocation asks the new instance.
    kernel->devices[0].pins[0].refusedBufferRequests = 0;
    ASSERT_EQ(pin->Reset(), S_OK);
    EXPECT_TRUE(kernel->RegisteredEvents().empty());
    EXPECT_EQ(pin->m_hNotificationEvent, nullptr);
    EXPECT_EQ(pin->m_pBuffer, nullptr);
    kernel->TakeRequests();
    ASSERT_EQ(pin->AllocateBuffersWithNotification(960, buffer, granted), S_OK);
    EXPECT_EQ(kernel->Requests(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION).size(), 1u);
    EXPECT_EQ(granted, 960u);

    // A driver that refuses every size is given up at the limit, leaving neither buffer nor event.
    kernel->devices[0].pins[0].refusedBufferRequests = 1 << 30;
    ASSERT_EQ(pin->Reset(), S_OK);
    kernel->TakeRequests();
    buffer = reinterpret_cast<void*>(1);
    granted = 1;
    EXPECT_TRUE(FAILED(pin->AllocateBuffersWithNotification(65000, buffer, granted)));
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(granted, 0u);
    EXPECT_EQ(kernel->Requests(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION).size(), 268u);
    EXPECT_EQ(pin->m_hNotificationEvent, nullptr);
}

TEST_F(PinTest, DeviceListsAreReadOnlyAsFarAsTheyGo) {
    ScriptedDevice device = CaptureDevice();
    ScriptedPin& pin = device.pins[0];
    const GUID other = {0xABCD0000, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    std::vector<BYTE> zeroSized = AudioRange(4, 8, 8, 8000, 8000);
    std::memset(zeroSized.data(), 0, sizeof(ULONG));  // FormatSize 0
    // Before the first wave-format range nothing counts; after it every audio range does. A range too short for
    // its fields is skipped, and the walk ends at a range with a FormatSize of 0 although more are claimed.
    pin.dataRanges =
        Concat({AudioRange(8, 8, 8, 8000, 8000, other), AudioRange(2, 16, 24, 48000, 48000),
                AudioRange(1, 32, 32, 96000, 96000, other), AudioRange(1, 32, 32, 1, 1, KSDATAFORMAT_SUBTYPE_PCM, 64),
                zeroSized, AudioRange(4, 8, 8, 8000, 8000)});
    pin.dataRangeCount = 1000;
    kernel->devices = {device};
    // The interface list claims far more entries than it carries.
    Answer lying;
    lying.bytes = MultipleItem(BytesOf(Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING)), 100000);
    kernel->Override(KSPROPSETID_Pin, KSPROPERTY_PIN_INTERFACES, ~0u, lying);

    CKsAudPin* audio = OpenFilter();
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->m_cInterfaces, 1u);
    EXPECT_EQ(audio->m_bLoopedStreaming, 0u);
    ASSERT_EQ(audio->m_listDataRanges.size(), 2u);
    EXPECT_EQ(audio->m_listDataRanges[0].MaximumChannels, 2u);
    EXPECT_EQ(audio->m_listDataRanges[1].MinimumSampleFrequency, 96000u);

    // A range that runs past the answer ends the walk before it: no audio range, no pin.
    device.pins[0].dataRanges = AudioRange(2, 16, 24, 48000, 48000, KSDATAFORMAT_SUBTYPE_PCM, 88);
    device.pins[0].dataRanges.resize(80);
    device.pins[0].dataRangeCount = 1;
    kernel->devices = {device};
    EXPECT_EQ(Enumerate(filters, CKsFilter::eCapture), E_FAIL);
}

TEST_F(PinTest, PlainPinsHaveNothingToInstantiateAndUnreadablePropertiesStillMakeAPin) {
    kernel->devices = {CaptureDevice()};
    Answer missing;
    missing.error = ERROR_NOT_FOUND;
    kernel->Override(KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, ~0u, missing);
    HRESULT hr = E_FAIL;
    CKsFilter plainFilter(kernel->devices[0].path.c_str(), hr);
    ASSERT_EQ(plainFilter.Instantiate(), S_OK);
    CKsPin plain(&plainFilter, 0, hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_STREQ(plain.m_szPinName, "Pin");
    EXPECT_EQ(plain.Instantiate(TRUE, TRUE), S_OK);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(plain.GetHandle()));
    EXPECT_EQ(kernel->OpenPins(), 0);
}

TEST_F(PinTest, StreamRequestsGoStraightToTheOpenPin) {
    kernel->devices = {CaptureDevice()};
    CKsAudPin* pin = OpenFilter();
    ASSERT_NE(pin, nullptr);
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(pin->ReadData(&header, &overlapped), E_FAIL) << "not open yet";
    WAVEFORMATEX pcm = Pcm(2, 48000, 16);
    ASSERT_EQ(filter->CreateCapturePin(&pcm, 1, 1), pin);
    kernel->TakeRequests();
    EXPECT_EQ(pin->ReadData(&header, &overlapped), S_OK);
    EXPECT_EQ(pin->WriteData(&header, &overlapped), S_OK);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
    auto requests = kernel->TakeRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].ioctl, DWORD(IOCTL_KS_READ_STREAM));
    EXPECT_EQ(requests[1].ioctl, DWORD(IOCTL_KS_WRITE_STREAM));
    EXPECT_EQ(requests[0].outSize, 56u);
    CloseHandle(overlapped.hEvent);
}

// The pin creation function is resolved once per process, so each case runs in a fresh one.
TEST(PinCreation, KsCreatePinServesWhenKsCreatePin2IsMissing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sim::os::UseKsUserWithoutKsCreatePin2();
            ScopedKernel kernel;
            kernel->devices = {CaptureDevice()};
            HRESULT hr = E_FAIL;
            CKsEnumFilters filters(hr);
            Enumerate(filters, CKsFilter::eCapture);
            WAVEFORMATEX pcm = Pcm(2, 48000, 16);
            auto* filter = dynamic_cast<CKsAudCapFilter*>(filters.m_listFilters.at(0));
            std::exit(filter->CreateCapturePin(&pcm, 1, 0) && kernel->OpenPins() == 1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            sim::os::SetSystemLibraryPresent("ksuser.dll", false);
            ScopedKernel kernel;
            kernel->devices = {CaptureDevice()};
            HRESULT hr = E_FAIL;
            CKsEnumFilters filters(hr);
            Enumerate(filters, CKsFilter::eCapture);
            auto* pin = dynamic_cast<CKsAudPin*>(filters.m_listFilters.at(0)->m_listPins.at(0));
            std::exit(pin->Instantiate(TRUE, TRUE) == HRESULT(0x80070002u) ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
