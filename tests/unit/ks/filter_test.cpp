// A filter's pins: how they are sorted, which ones an audio filter keeps, and how a pin for a format is chosen.
#include <gtest/gtest.h>

#include "ks_test_helpers.h"

using namespace kstest;

namespace {

ScriptedPin PinOf(ULONG dataFlow, ULONG communication) {
    ScriptedPin pin = CaptureDevice().pins[0];
    pin.dataFlow = dataFlow;
    pin.communication = communication;
    return pin;
}

std::vector<ULONG> Ids(const std::vector<CKsPin*>& pins) {
    std::vector<ULONG> ids;
    for (const CKsPin* pin : pins) ids.push_back(pin->m_pinId);
    return ids;
}

TEST(Filter, PinsAreSortedByDataFlowAndCommunication) {
    ScopedKernel kernel;
    ScriptedDevice device = CaptureDevice();
    device.pins = {
        PinOf(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK),   PinOf(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK),
        PinOf(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BOTH),   PinOf(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SOURCE),
        PinOf(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE),   PinOf(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH),
        PinOf(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE)};
    kernel->devices = {device};
    HRESULT hr = E_FAIL;
    CKsEnumFilters filters(hr);
    ASSERT_EQ(Enumerate(filters, CKsFilter::eUnknown), S_OK);
    CKsFilter& filter = *filters.m_listFilters[0];
    EXPECT_EQ(filter.m_listPins.size(), 7u);
    EXPECT_EQ(Ids(filter.m_listRenderSinkPins), (std::vector<ULONG>{0, 2}));
    EXPECT_EQ(Ids(filter.m_listRenderSourcePins), (std::vector<ULONG>{2}));
    EXPECT_EQ(Ids(filter.m_listCaptureSinkPins), (std::vector<ULONG>{1, 5}));
    EXPECT_EQ(Ids(filter.m_listCaptureSourcePins), (std::vector<ULONG>{3, 5}));
    EXPECT_EQ(Ids(filter.m_listNoCommPins), (std::vector<ULONG>{4}));
}

TEST(Filter, AudioFiltersKeepOnlyUsableStreamingPins) {
    ScopedKernel kernel;
    ScriptedDevice device = CaptureDevice();
    ScriptedPin noStandardInterface = PinOf(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK);
    noStandardInterface.interfaces = {Identifier(KSMEDIUMSETID_Standard, 0)};
    ScriptedPin noAudioRange = PinOf(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK);
    noAudioRange.dataRanges = AudioRange(2, 16, 16, 8000, 8000, GUID{0x12345678, 1, 2, {}});
    device.pins = {PinOf(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK),
                   PinOf(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK),
                   PinOf(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SOURCE),
                   PinOf(KSPIN_DATAFLOW_OUT, 9),
                   noStandardInterface,
                   noAudioRange,
                   PinOf(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE)};
    kernel->devices = {device};
    HRESULT hr = E_FAIL;
    CKsEnumFilters filters(hr);
    ASSERT_EQ(Enumerate(filters, CKsFilter::eCapture), S_OK);
    CKsFilter& filter = *filters.m_listFilters[0];
    ASSERT_EQ(Ids(filter.m_listPins), (std::vector<ULONG>{0, 1, 2}));
    EXPECT_EQ(filter.m_listPins[0]->m_pinType, eKsPinCapture);
    EXPECT_EQ(filter.m_listPins[1]->m_pinType, eKsPinRender);
    EXPECT_EQ(filter.m_listPins[2]->m_pinType, eKsPinGeneric);
    EXPECT_NE(dynamic_cast<CKsAudPin*>(filter.m_listPins[2]), nullptr);

    // A filter with nothing but unconnectable pins is not a filter the driver can use.
    device.pins = {PinOf(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE)};
    kernel->devices = {device};
    EXPECT_EQ(Enumerate(filters, CKsFilter::eCapture), E_FAIL);
}

TEST(Filter, APinCountBeyondReasonIsRefusedNotWalked) {
    ScopedKernel kernel;
    kernel->devices = {CaptureDevice()};
    Answer absurd;
    absurd.bytes = BytesOf(ULONG(0xFFFFFFF0u));
    kernel->Override(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, ~0u, absurd);
    HRESULT hr = E_FAIL;
    CKsEnumFilters filters(hr);
    EXPECT_EQ(Enumerate(filters, CKsFilter::eCapture), E_FAIL);
    EXPECT_EQ(Enumerate(filters, CKsFilter::eUnknown), E_FAIL);
    EXPECT_LT(kernel->TakeRequests().size(), 10u);
}

TEST(Filter, RenderFallsBackToPinsThatTakeTheFormatCaptureDoesNot) {
    ScopedKernel kernel;
    ScriptedDevice render = RenderDevice();
    ScriptedDevice capture = CaptureDevice();
    // Neither pin lists 44100 Hz; both would open with it.
    kernel->devices = {render, capture};
    HRESULT hr = E_FAIL;
    CKsEnumFilters renderFilters(hr), captureFilters(hr);
    ASSERT_EQ(Enumerate(renderFilters, CKsFilter::eRender), S_OK);
    ASSERT_EQ(Enumerate(captureFilters, CKsFilter::eCapture), S_OK);
    auto* renderFilter = dynamic_cast<CKsAudRenFilter*>(renderFilters.m_listFilters[0]);
    auto* captureFilter = dynamic_cast<CKsAudCapFilter*>(captureFilters.m_listFilters[0]);
    ASSERT_TRUE(renderFilter && captureFilter);

    WAVEFORMATEX unlisted = Pcm(2, 44100, 16);
    EXPECT_EQ(renderFilter->FindViablePin(&unlisted), nullptr);
    CKsAudPin* rendered = renderFilter->CreateRenderPin(&unlisted, 1, 0);
    ASSERT_NE(rendered, nullptr);
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(rendered->GetHandle()));
    EXPECT_EQ(captureFilter->CreateCapturePin(&unlisted, 1, 0), nullptr);

    WAVEFORMATEX listed = Pcm(2, 48000, 16);
    CKsAudPin* captured = captureFilter->CreateCapturePin(&listed, 1, 0);
    ASSERT_NE(captured, nullptr);
    EXPECT_EQ(captured->m_pwfx->nSamplesPerSec, 48000u);
    EXPECT_EQ(kernel->OpenPins(), 2);
}

TEST(Filter, TopologyNodesMustAllBeThere) {
    ScopedKernel kernel;
    ScriptedDevice device = CaptureDevice();
    const GUID a{1, 0, 0, {}}, b{2, 0, 0, {}}, c{3, 0, 0, {}};
    device.nodes = {a, b, c};
    kernel->devices = {device};
    HRESULT hr = E_FAIL;
    CKsFilter filter(device.path.c_str(), hr);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    ASSERT_EQ(filter.EnumerateNodes(), S_OK);
    ASSERT_EQ(filter.m_listNodes.size(), 3u);
    EXPECT_EQ(filter.m_listNodes[2]->m_nodeId, 2u);
    EXPECT_EQ(filter.m_listNodes[2]->m_nodeType, c);

    // A list that claims more nodes than it carries is refused whole.
    Answer lying;
    lying.bytes = MultipleItem(BytesOf(a), 5);
    kernel->Override(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, ~0u, lying);
    EXPECT_EQ(filter.EnumerateNodes(), E_FAIL);
    EXPECT_TRUE(filter.m_listNodes.empty());
}

}  // namespace
