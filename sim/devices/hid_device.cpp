#include "sim/devices/hid_device.h"

#include <cstring>

#include "sim/os/hid_class.h"

namespace sim::devices {

using sim::os::IoAnswer;
using sim::os::IoCompletion;
using sim::os::KernelFile;

namespace {
constexpr size_t kInputQueueReports = 32;
constexpr BYTE kCommandReport = 2;
constexpr BYTE kReplyReport = 1;
constexpr BYTE kOtherReport = 3;
constexpr BYTE kFloatCommand = 'M';
constexpr USHORT kVendorId = 0x5E2D;
constexpr DWORD kErrorNotConnected = 1167;  // the device is gone
}  // namespace

class HidFile : public KernelFile {
public:
    explicit HidFile(std::shared_ptr<HidDevice> device) : device_(std::move(device)) {}
    // Closing the last handle of a file ends its outstanding requests.
    ~HidFile() override { device_->Cancel(this, 0, true); }
    IoAnswer DeviceIoControl(DWORD code, const void*, DWORD, void* out, DWORD outSize, const IoCompletion&) override {
        return device_->Control(code, out, outSize);
    }
    IoAnswer Read(void* buffer, DWORD size, const IoCompletion& completion) override {
        return device_->Read(this, buffer, size, completion);
    }
    IoAnswer Write(const void* buffer, DWORD size, const IoCompletion& completion) override {
        return device_->Write(this, buffer, size, completion);
    }
    void CancelRequests(DWORD thread) override { device_->Cancel(this, thread, false); }

private:
    std::shared_ptr<HidDevice> device_;
};

HidDevice::HidDevice(HidSetup setup, std::function<void()> onFloatCommand)
    : setup_(setup), onFloatCommand_(std::move(onFloatCommand)), replyDelay_(setup.replyDelay) {
    thread_ = std::thread([this] { Run(); });
}

HidDevice::~HidDevice() { Shutdown(); }

void HidDevice::Shutdown() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        quit_ = true;
        for (auto& pending : pending_) pending.completion.Complete(ERROR_OPERATION_ABORTED, 0);
        pending_.clear();
        timers_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

DWORD HidDevice::Open(DWORD, std::shared_ptr<KernelFile>& file) {
    if (setup_.refuseOpen) return ERROR_ACCESS_DENIED;
    file = std::make_shared<HidFile>(shared_from_this());
    return ERROR_SUCCESS;
}

void HidDevice::SetReply(HidReply reply) {
    std::lock_guard<std::mutex> guard(lock_);
    reply_ = reply;
}

void HidDevice::WritesNeverComplete(bool never) {
    std::lock_guard<std::mutex> guard(lock_);
    writesNeverComplete_ = never;
}

void HidDevice::DelayWrites(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> guard(lock_);
    writeDelay_ = delay;
}

void HidDevice::SetReplyDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> guard(lock_);
    replyDelay_ = delay;
}

void HidDevice::SendInputReport(BYTE reportId, const std::vector<BYTE>& bytes) {
    std::vector<BYTE> report(setup_.inputReportBytes, 0);
    if (report.empty()) return;
    report[0] = reportId;
    std::memcpy(report.data() + 1, bytes.data(), std::min<size_t>(bytes.size(), report.size() - 1));
    std::lock_guard<std::mutex> guard(lock_);
    Deliver(std::move(report));
}

int HidDevice::CommandsReceived() const {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

int HidDevice::OutputReportsReceived() const {
    std::lock_guard<std::mutex> guard(lock_);
    return outputReports_;
}

IoAnswer HidDevice::Control(DWORD code, void* out, DWORD outSize) {
    sim::os::HidPreparsedData preparsed{};
    preparsed.tag = sim::os::kHidPreparsedTag;
    preparsed.caps.Usage = 0x01;
    preparsed.caps.UsagePage = 0xFF00;  // vendor-defined: the command channel
    preparsed.caps.InputReportByteLength = setup_.inputReportBytes;
    preparsed.caps.OutputReportByteLength = setup_.outputReportBytes;
    preparsed.caps.NumberLinkCollectionNodes = 1;
    if (code == sim::os::kIoctlHidGetCollectionInformation) {
        sim::os::HidCollectionInformation info{};
        info.DescriptorSize = sizeof preparsed;
        info.VendorID = kVendorId;
        info.ProductID = 0x0102;
        info.VersionNumber = 0x0100;
        if (!out || outSize < sizeof info) return {ERROR_INSUFFICIENT_BUFFER, 0};
        std::memcpy(out, &info, sizeof info);
        return {ERROR_SUCCESS, sizeof info};
    }
    if (code == sim::os::kIoctlHidGetCollectionDescriptor) {
        if (!out || outSize < sizeof preparsed) return {ERROR_INSUFFICIENT_BUFFER, 0};
        std::memcpy(out, &preparsed, sizeof preparsed);
        return {ERROR_SUCCESS, sizeof preparsed};
    }
    return {ERROR_INVALID_FUNCTION, 0};
}

// A read takes one whole input report; a buffer shorter than the report is refused, as the HID class does.
IoAnswer HidDevice::Read(const void* file, void* buffer, DWORD size, const IoCompletion& completion) {
    std::lock_guard<std::mutex> guard(lock_);
    if (quit_) return {kErrorNotConnected, 0};
    if (size < setup_.inputReportBytes || setup_.inputReportBytes == 0) return {ERROR_INVALID_USER_BUFFER, 0};
    if (!inputQueue_.empty()) {
        std::memcpy(buffer, inputQueue_.front().data(), setup_.inputReportBytes);
        inputQueue_.pop_front();
        return {ERROR_SUCCESS, setup_.inputReportBytes};
    }
    pending_.push_back({nextId_++, file, GetCurrentThreadId(), static_cast<BYTE*>(buffer), {}, completion, false});
    return {ERROR_IO_PENDING, 0};
}

// A write carries exactly one output report.
IoAnswer HidDevice::Write(const void* file, const void* buffer, DWORD size, const IoCompletion& completion) {
    std::vector<BYTE> report;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (quit_) return {kErrorNotConnected, 0};
        if (size != setup_.outputReportBytes || size == 0) return {ERROR_INVALID_USER_BUFFER, 0};
        report.assign(static_cast<const BYTE*>(buffer), static_cast<const BYTE*>(buffer) + size);
        if (writesNeverComplete_ || writeDelay_.count() > 0) {
            uint64_t id = nextId_++;
            pending_.push_back({id, file, GetCurrentThreadId(), nullptr, report, completion, true});
            if (!writesNeverComplete_) {
                At(writeDelay_, [this, id] {
                    std::vector<BYTE> written;
                    {
                        std::lock_guard<std::mutex> guard(lock_);
                        bool found = false;
                        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
                            if (it->id != id) continue;
                            it->completion.Complete(ERROR_SUCCESS, static_cast<DWORD>(it->written.size()));
                            written = std::move(it->written);
                            pending_.erase(it);
                            found = true;
                            break;
                        }
                        if (!found) return;  // cancelled: the report never reached the device
                    }
                    Take(written);
                });
            }
            return {ERROR_IO_PENDING, 0};
        }
    }
    Take(report);
    return {ERROR_SUCCESS, size};
}

void HidDevice::Take(const std::vector<BYTE>& report) {
    HidReply reply;
    std::chrono::milliseconds delay;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++outputReports_;
        if (report.size() < 2 || report[0] != kCommandReport || report[1] != kFloatCommand) return;
        ++commands_;
        reply = reply_;
        delay = replyDelay_;
    }
    if (reply == HidReply::None) return;
    if (onFloatCommand_) onFloatCommand_();
    std::vector<BYTE> answer(setup_.inputReportBytes, 0);
    if (answer.size() >= 3) {
        answer[0] = reply == HidReply::OtherReportId ? kOtherReport : kReplyReport;
        answer[1] = kFloatCommand;
        answer[2] = reply == HidReply::EchoWithoutAck ? 'N' : 'A';
    }
    std::lock_guard<std::mutex> guard(lock_);
    At(delay, [this, answer] {
        std::lock_guard<std::mutex> guard(lock_);
        Deliver(answer);
    });
}

void HidDevice::Deliver(std::vector<BYTE> report) {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->write) continue;
        std::memcpy(it->readBuffer, report.data(), report.size());
        it->completion.Complete(ERROR_SUCCESS, static_cast<DWORD>(report.size()));
        pending_.erase(it);
        return;
    }
    if (inputQueue_.size() == kInputQueueReports) inputQueue_.pop_front();
    inputQueue_.push_back(std::move(report));
}

void HidDevice::Cancel(const void* file, DWORD thread, bool anyThread) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->file == file && (anyThread || it->thread == thread)) {
            it->completion.Complete(ERROR_OPERATION_ABORTED, 0);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

void HidDevice::At(std::chrono::milliseconds delay, std::function<void()> action) {
    timers_.emplace(std::chrono::steady_clock::now() + delay, std::move(action));
    wake_.notify_all();
}

void HidDevice::Run() {
    std::unique_lock<std::mutex> lock(lock_);
    while (!quit_) {
        if (timers_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto first = timers_.begin();
        // A copy: the timer may be gone (Shutdown clears them) while this thread waits for it.
        const auto due = first->first;
        if (due > std::chrono::steady_clock::now()) {
            wake_.wait_until(lock, due);
            continue;
        }
        std::function<void()> action = std::move(first->second);
        timers_.erase(first);
        lock.unlock();
        action();
        lock.lock();
    }
}

}  // namespace sim::devices
