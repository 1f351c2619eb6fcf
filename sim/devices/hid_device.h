// The HID interface of a virtual microphone: a HID device in the microphone's container with one input and one
// output report of fixed lengths, and the microphone's command protocol behind it. Output report 2 carrying 'M'
// is the float-format command; the microphone answers with input report 1: the echo 'M', then 'A'. Reports that
// arrive while nobody reads wait in a queue of 32, as the HID class keeps them.
//
// Threads: reads and writes arrive on the client's threads; delayed replies and late write completions come from
// the device's own thread. One lock guards the queues.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/os/virtual_kernel.h"

namespace sim::devices {

enum class HidReply {
    EchoAndAck,      // 'M', 'A' in report 1; floats from then on
    None,            // the command is not understood: no reply, no change
    EchoWithoutAck,  // 'M' and something else in report 1; floats from then on
    OtherReportId,   // the right answer in report 3; floats from then on
};

struct HidSetup {
    USHORT inputReportBytes = 10;  // report ID included
    USHORT outputReportBytes = 10;
    std::chrono::milliseconds replyDelay{2};
    bool refuseOpen = false;  // a device the system keeps for itself (a keyboard, say)
};

class HidDevice : public std::enable_shared_from_this<HidDevice> {
public:
    // `onFloatCommand` runs (on the writer's or the device's thread, without the device lock) when the
    // microphone takes the float-format command.
    HidDevice(HidSetup setup, std::function<void()> onFloatCommand);
    ~HidDevice();
    HidDevice(const HidDevice&) = delete;
    HidDevice& operator=(const HidDevice&) = delete;

    void Shutdown();
    DWORD Open(DWORD access, std::shared_ptr<sim::os::KernelFile>& file);

    // ---- Faults.
    void SetReply(HidReply reply);
    // Writes stay pending until cancelled.
    void WritesNeverComplete(bool never);
    // Writes complete this late (the command takes effect then).
    void DelayWrites(std::chrono::milliseconds delay);
    void SetReplyDelay(std::chrono::milliseconds delay);
    // An input report the microphone sends of its own accord (`bytes` after the report ID).
    void SendInputReport(BYTE reportId, const std::vector<BYTE>& bytes);

    // ---- Observation.
    int CommandsReceived() const;
    int OutputReportsReceived() const;

private:
    friend class HidFile;
    struct Pending {
        uint64_t id;
        const void* file;
        DWORD thread;
        BYTE* readBuffer;           // reads
        std::vector<BYTE> written;  // writes
        sim::os::IoCompletion completion;
        bool write;
    };

    sim::os::IoAnswer Read(const void* file, void* buffer, DWORD size, const sim::os::IoCompletion& completion);
    sim::os::IoAnswer Write(const void* file, const void* buffer, DWORD size, const sim::os::IoCompletion& completion);
    sim::os::IoAnswer Control(DWORD code, void* out, DWORD outSize);
    void Cancel(const void* file, DWORD thread, bool anyThread);
    // Acts on one written output report; the lock is not held.
    void Take(const std::vector<BYTE>& report);
    void Deliver(std::vector<BYTE> report);  // lock held
    void At(std::chrono::milliseconds delay, std::function<void()> action);
    void Run();

    const HidSetup setup_;
    std::function<void()> onFloatCommand_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::vector<BYTE>> inputQueue_;
    std::deque<Pending> pending_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
    HidReply reply_ = HidReply::EchoAndAck;
    std::chrono::milliseconds replyDelay_;
    bool writesNeverComplete_ = false;
    std::chrono::milliseconds writeDelay_{0};
    uint64_t nextId_ = 1;
    int commands_ = 0;
    int outputReports_ = 0;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace sim::devices
