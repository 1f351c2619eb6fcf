// Property requests and their result rules, as a device's answers reach the layer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ks/ks_trace.h"
#include "ks_test_helpers.h"

using namespace kstest;

namespace {

const GUID kSet = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};

class IrpTargetTest : public testing::Test {
protected:
    void SetUp() override {
        kernel->devices = {CaptureDevice()};
        filter = std::make_unique<CKsFilter>(kernel->devices[0].path.c_str(), constructed);
        ASSERT_EQ(constructed, S_OK);
        ASSERT_EQ(filter->Instantiate(), S_OK);
    }
    HRESULT Query(ULONG id, void* out, ULONG outSize, ULONG& bytes) {
        KSPROPERTY property{};
        property.Set = kSet;
        property.Id = id;
        property.Flags = KSPROPERTY_TYPE_GET;
        bytes = 0xDEAD;
        return filter->SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property, out, outSize,
                                 &bytes);
    }

    ScopedKernel kernel;
    HRESULT constructed = E_FAIL;
    std::unique_ptr<CKsFilter> filter;
};

TEST_F(IrpTargetTest, SizeQueriesNotFoundAndLateAnswersFollowTheResultRules) {
    Answer sized;
    sized.bytes = std::vector<BYTE>(40, 7);
    kernel->Override(kSet, 1, ~0u, sized);
    ULONG bytes = 0;
    // A size query learns the size.
    EXPECT_EQ(Query(1, nullptr, 0, bytes), S_OK);
    EXPECT_EQ(bytes, 40u);
    // The same "more data" with a buffer that is merely too small is a failure with no count.
    Answer tooSmall;
    tooSmall.error = ERROR_MORE_DATA;
    tooSmall.overrideCount = true;
    tooSmall.count = 40;
    kernel->Override(kSet, 2, ~0u, tooSmall);
    BYTE small[8];
    EXPECT_EQ(Query(2, small, sizeof small, bytes), E_FAIL);
    EXPECT_EQ(bytes, 0u);

    Answer notFound;
    notFound.error = ERROR_NOT_FOUND;
    kernel->Override(kSet, 3, ~0u, notFound);
    EXPECT_EQ(Query(3, small, sizeof small, bytes), E_NOTIMPL);
    EXPECT_EQ(bytes, 0u);

    // Completed late from another thread: success, the value arrives, but no byte count.
    Answer late;
    late.bytes = BytesOf(ULONG(1234));
    late.pend = true;
    kernel->Override(kSet, 4, ~0u, late);
    ULONG value = 0;
    EXPECT_EQ(Query(4, &value, sizeof value, bytes), S_OK);
    EXPECT_EQ(value, 1234u);
    EXPECT_EQ(bytes, 0u);

    // A request that fails late is a failure, not a success.
    Answer lateFailure;
    lateFailure.error = ERROR_INVALID_FUNCTION;
    lateFailure.pend = true;
    kernel->Override(kSet, 5, ~0u, lateFailure);
    EXPECT_EQ(Query(5, &value, sizeof value, bytes), E_FAIL);
}

TEST_F(IrpTargetTest, VariableSizeAnswersAreBoundedByWhatArrived) {
    CKsPropertyBlock block;
    Answer empty;  // no bytes at all: nothing to allocate
    kernel->Override(kSet, 1, ~0u, empty);
    EXPECT_EQ(filter->GetPropertyMulti(kSet, 1, block), S_OK);
    EXPECT_EQ(block.data, nullptr);

    Answer huge;  // a size no property has: refused before anything is allocated
    huge.error = ERROR_MORE_DATA;
    huge.overrideCount = true;
    huge.count = 0xFFFFFFF0u;
    kernel->Override(kSet, 2, ~0u, huge);
    EXPECT_EQ(filter->GetPropertyMulti(kSet, 2, block), E_FAIL);
    EXPECT_EQ(block.data, nullptr);

    Answer listed;
    listed.bytes = std::vector<BYTE>(40, 1);
    kernel->Override(kSet, 3, ~0u, listed);
    EXPECT_EQ(filter->GetPropertyMulti(kSet, 3, block), S_OK);
    ASSERT_NE(block.data, nullptr);
    EXPECT_EQ(block.size, 40u);
    EXPECT_EQ(block.data[39], 1);
}

TEST_F(IrpTargetTest, AbsentHandlesNeverReachTheDevice) {
    kernel->TakeRequests();
    ULONG bytes = 0;
    for (HANDLE absent : {HANDLE(nullptr), INVALID_HANDLE_VALUE}) {
        KSPROPERTY property{};
        EXPECT_EQ(filter->SyncIoctl(absent, IOCTL_KS_PROPERTY, &property, sizeof property, nullptr, 0, &bytes), E_FAIL);
    }
    EXPECT_TRUE(kernel->TakeRequests().empty());

    HANDLE handle = filter->m_handle;
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(handle));
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(handle));
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    filter->m_handle = INVALID_HANDLE_VALUE;
}

TEST(KsTrace, SilentByDefaultAndVerboseWhenRaised) {
    CKsIrpTarget target(INVALID_HANDLE_VALUE);
    testing::internal::CaptureStderr();
    target.SyncIoctl(INVALID_HANDLE_VALUE, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("[KS]"), std::string::npos);

    int previous = SetKsTraceThreshold(1);
    testing::internal::CaptureStderr();
    target.SyncIoctl(INVALID_HANDLE_VALUE, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, nullptr);
    std::string text = testing::internal::GetCapturedStderr();
    SetKsTraceThreshold(previous);
    EXPECT_NE(text.find("\n[KS]:CKsIrpTarget::SyncIoctl Invalid Handle"), std::string::npos) << text;
    EXPECT_EQ(text.find("Enter"), std::string::npos) << "level 6 must stay silent at threshold 1";
}

// The environment raises the threshold for a whole process; checked in a fresh one.
TEST(KsTrace, EnvironmentRaisesTheThreshold) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("TESSEL_KS_TRACE", "6", 1);
            CKsIrpTarget target(INVALID_HANDLE_VALUE);
            target.SyncIoctl(INVALID_HANDLE_VALUE, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, nullptr);
            std::exit(KsTraceThreshold() == 6 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "CKsIrpTarget::SyncIoctl\\(\\) Enter(.|\n)*Leave, returning 0x80004005");
}

}  // namespace
