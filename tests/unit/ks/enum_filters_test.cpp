// Finding filters by category: aliases, names, and device paths that do not fit.
#include <gtest/gtest.h>

#include <cstring>

#include "ks_test_helpers.h"

using namespace kstest;

namespace {

std::vector<BYTE> WideList(const std::u16string& first) {
    std::vector<BYTE> bytes((first.size() + 2) * sizeof(char16_t), 0);
    std::memcpy(bytes.data(), first.data(), first.size() * sizeof(char16_t));
    return bytes;
}

TEST(EnumFilters, KeepsOnlyDevicesWithAnEnabledAliasInEveryCategory) {
    ScopedKernel kernel;
    ScriptedDevice kept = CaptureDevice("\\\\?\\usb#kept");
    kept.busRelations = WideList(u"SWD\\MMDEVAPI\\{0.0.1.00000000}.{kept}");
    ScriptedDevice noAlias = CaptureDevice("\\\\?\\usb#no-alias");
    noAlias.interfaces = {{KSCATEGORY_AUDIO, SPINT_ACTIVE}};
    ScriptedDevice removed = CaptureDevice("\\\\?\\usb#removed");
    removed.interfaces[1].second = SPINT_ACTIVE | SPINT_REMOVED;
    ScriptedDevice disabled = CaptureDevice("\\\\?\\usb#disabled");
    disabled.interfaces[1].second = 0;
    ScriptedDevice unopenable = CaptureDevice("\\\\?\\usb#unopenable");
    unopenable.openFails = true;
    ScriptedDevice second = CaptureDevice("\\\\?\\usb#second");
    second.friendlyName.clear();
    kernel->devices = {kept, noAlias, removed, disabled, unopenable, second};

    HRESULT hr = E_FAIL;
    CKsEnumFilters filters(hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(Enumerate(filters, CKsFilter::eCapture), S_OK);
    ASSERT_EQ(filters.m_listFilters.size(), 2u);

    CKsFilter& first = *filters.m_listFilters[0];
    EXPECT_STREQ(first.m_szFilterName, "\\\\?\\usb#kept");
    EXPECT_STREQ(first.m_szFriendlyName, "Tessel Microphone");
    EXPECT_EQ(std::u16string(first.m_wszDeviceProperty), u"SWD\\MMDEVAPI\\{0.0.1.00000000}.{kept}");
    EXPECT_EQ(first.GetType(), CKsFilter::eCapture);
    EXPECT_NE(dynamic_cast<CKsAudCapFilter*>(&first), nullptr);
    EXPECT_EQ(first.m_listCaptureSinkPins.size(), 1u);

    CKsFilter& last = *filters.m_listFilters[1];
    EXPECT_STREQ(last.m_szFilterName, "\\\\?\\usb#second");
    EXPECT_STREQ(last.m_szFriendlyName, "");
    EXPECT_EQ(last.m_wszDeviceProperty[0], 0);

    // The next enumeration starts afresh; with nothing left to find it fails with an empty list.
    kernel->devices = {noAlias};
    EXPECT_EQ(Enumerate(filters, CKsFilter::eCapture), E_FAIL);
    EXPECT_TRUE(filters.m_listFilters.empty());
}

TEST(EnumFilters, RefusesMissingCategoriesWithoutAskingThePlatform) {
    ScopedKernel kernel;
    kernel->devices = {CaptureDevice()};
    HRESULT hr = E_FAIL;
    CKsEnumFilters filters(hr);
    const GUID zero[] = {GUID{}, KSCATEGORY_CAPTURE};
    EXPECT_EQ(filters.EnumFilters(eCapture, zero, 2, TRUE, FALSE, TRUE), E_FAIL);
    EXPECT_EQ(filters.EnumFilters(eCapture, nullptr, 2, TRUE, FALSE, TRUE), E_FAIL);
    EXPECT_EQ(filters.EnumFilters(eCapture, kCaptureCategories, 0, TRUE, FALSE, TRUE), E_FAIL);
    EXPECT_EQ(kernel->InterfaceQueries(), 0);
}

TEST(EnumFilters, NamesAndPathsThatDoNotFitAreCutOrRefusedNeverOverrun) {
    ScopedKernel kernel;
    ScriptedDevice longName = CaptureDevice("\\\\?\\usb#long-name");
    longName.friendlyName = std::string(259, 'n');  // fills the field to its terminator
    // A relation list that fills the whole property buffer without one terminator.
    longName.busRelations = std::vector<BYTE>(4096, 'A');
    ScriptedDevice tooLongName = CaptureDevice("\\\\?\\usb#too-long-name");
    tooLongName.friendlyName = std::string(400, 'x');
    ScriptedDevice longPath = CaptureDevice("\\\\?\\usb#" + std::string(300, 'p'));   // beyond the filter's field
    ScriptedDevice hugePath = CaptureDevice("\\\\?\\usb#" + std::string(1000, 'q'));  // beyond the detail record
    kernel->devices = {longName, tooLongName, longPath, hugePath};

    HRESULT hr = E_FAIL;
    CKsEnumFilters filters(hr);
    ASSERT_EQ(Enumerate(filters, CKsFilter::eCapture), S_OK);
    ASSERT_EQ(filters.m_listFilters.size(), 2u);
    EXPECT_EQ(std::string(filters.m_listFilters[0]->m_szFriendlyName), longName.friendlyName);
    EXPECT_EQ(std::u16string(filters.m_listFilters[0]->m_wszDeviceProperty).size(), 2047u);
    EXPECT_STREQ(filters.m_listFilters[1]->m_szFriendlyName, "");

    HRESULT nullPath = S_OK;
    CKsFilter unnamed(nullptr, nullPath);
    EXPECT_EQ(nullPath, E_INVALIDARG);
    EXPECT_STREQ(unnamed.m_szFilterName, "");
}

}  // namespace
