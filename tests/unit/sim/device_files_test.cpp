// Device files of the simulated Windows report a request's end through its OVERLAPPED record as Windows does:
// a failed request is complete whatever its error, so no poller takes it for one still in flight.
#include <gtest/gtest.h>

#include <memory>

#include "platform/win32.h"
#include "sim/os/virtual_kernel.h"

namespace {

using sim::os::IoAnswer;
using sim::os::IoCompletion;
using sim::os::KernelFile;

// A file whose requests end with a chosen error, at once or later when the test completes them.
class ScriptedFile : public KernelFile {
public:
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
    bool pend = false;
    IoCompletion pending;

    IoAnswer DeviceIoControl(DWORD, const void*, DWORD, void*, DWORD, const IoCompletion& completion) override {
        if (!pend) return {error, bytes};
        pending = completion;
        return {ERROR_IO_PENDING, 0};
    }
};

class OneFileKernel : public sim::os::VirtualKernel {
public:
    std::shared_ptr<ScriptedFile> file = std::make_shared<ScriptedFile>();
    std::vector<sim::os::DeviceInterface> Interfaces(const GUID&) override { return {}; }
    DWORD Open(const std::string&, DWORD, std::shared_ptr<KernelFile>& opened) override {
        opened = file;
        return ERROR_SUCCESS;
    }
};

TEST(SimulatedDeviceFiles, EveryEndOfARequestReadsAsCompleteWithItsErrorAndBytes) {
    auto kernel = std::make_shared<OneFileKernel>();
    sim::os::InstallVirtualKernel(kernel);
    HANDLE device =
        CreateFileA("\\\\?\\scripted", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;

    // ERROR_NO_MORE_ITEMS has the number of STATUS_PENDING; a record holding it raw would never complete.
    for (DWORD error : {DWORD(ERROR_NO_MORE_ITEMS), DWORD(ERROR_OPERATION_ABORTED), DWORD(ERROR_MORE_DATA)}) {
        for (bool withEvent : {false, true}) {
            SCOPED_TRACE(testing::Message() << "error " << error << (withEvent ? " with" : " without") << " event");
            kernel->file->error = error;
            kernel->file->bytes = error == ERROR_MORE_DATA ? 8 : 0;
            OVERLAPPED overlapped{};
            overlapped.hEvent = withEvent ? event : nullptr;
            EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, nullptr, &overlapped));
            EXPECT_EQ(GetLastError(), error);
            EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped));
            EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
            EXPECT_EQ(GetLastError(), error);
            EXPECT_EQ(bytes, kernel->file->bytes);
        }
    }

    // The same for a request that ends later, from the device's side.
    kernel->file->pend = true;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    kernel->file->pending.Complete(ERROR_NO_MORE_ITEMS, 0);
    EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);

    // A success is a zero status, with its byte count.
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
    EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, nullptr, &overlapped));
    kernel->file->pending.Complete(ERROR_SUCCESS, 12);
    EXPECT_EQ(overlapped.Internal, 0u);
    EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 12u);

    // Without a record the call waits for the request itself.
    kernel->file->pend = false;
    kernel->file->error = ERROR_NO_MORE_ITEMS;
    EXPECT_FALSE(DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);

    CloseHandle(event);
    CloseHandle(device);
    sim::os::InstallVirtualKernel(nullptr);
}

}  // namespace
