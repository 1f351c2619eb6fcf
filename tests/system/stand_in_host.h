// A stand-in ASIO host for the system tests: it reaches the driver only as a real host does (the driver module
// registered in the simulated registry, the ASIO key, COM with the class ID as interface ID) and keeps what the
// driver hands it: every input buffer as floats, the time info, the messages.
//
// Threads: the test's thread makes the IASIO calls; the driver's clock thread runs the callbacks, which append to
// the record under a mutex (this is a test host, not an audio path).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "asio/asio.h"
#include "driver/asio_driver.h"

// The sanitizers slow every thread several times: long real-time runs are shortened there and their timing is not
// judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// The driver object behind a host's interface, and what the tests probe of it at every switch: its drop-out count,
// and when the tick now switching was due (the steady clock's nanoseconds; the simulated counter counts 100 ns),
// which is where the host's buffer stands on the timeline however late the clock thread ran.
inline CAsioDriver* Inside(IASIO* driver) { return static_cast<CAsioDriver*>(driver); }
inline uint32_t DropOuts(IASIO* driver) { return Inside(driver)->dropOutCount.load(); }
inline int64_t TickDue(IASIO* driver) { return Inside(driver)->tickCounter * 100; }

class StandInHost {
public:
    enum class Class { Integer, Float };
    // Registers the linked-in driver module (as regsvr32 would) in the test's fresh registry.
    static bool RegisterDriverModule();

    explicit StandInHost(Class driverClass = Class::Integer);
    ~StandInHost();
    StandInHost(const StandInHost&) = delete;
    StandInHost& operator=(const StandInHost&) = delete;

    IASIO* operator->() const { return driver_; }
    IASIO* driver() const { return driver_; }
    bool created() const { return driver_ != nullptr; }
    // Releases the driver (the host's one reference).
    void Release();

    // createBuffers for every input and both outputs with the host's callbacks.
    ASIOError Prepare(int32_t bufferFrames);
    // Waits (polling) until `count` more switches have arrived; false if the stream stalls for two seconds.
    bool WaitForSwitches(int count);

    // What arrived, per input channel, as floats in order (a copy).
    std::vector<std::vector<float>> Inputs() { return Locked(received_); }
    std::vector<uint32_t> TimeFlags() { return Locked(timeFlags_); }
    // When each switch arrived (steady clock, nanoseconds), one entry per switch in order.
    std::vector<int64_t> SwitchTimes() { return Locked(switchTimes_); }
    // A value read at every switch (for instance the driver's drop-out count), one entry per switch in order.
    void SetProbe(uint32_t (*probe)(IASIO*)) { probe_ = probe; }
    std::vector<uint32_t> ProbeValues() { return Locked(probeValues_); }
    // A time read at every switch (for instance when the driver's tick was due), one entry per switch in order.
    void SetTimeProbe(int64_t (*probe)(IASIO*)) { timeProbe_ = probe; }
    std::vector<int64_t> ProbeTimes() { return Locked(probeTimes_); }
    std::vector<double> RateChanges() { return Locked(rateChanges_); }
    // What the host writes into output channel 0 and 1 at every switch (silence by default), as a function of
    // the sample's running index across switches.
    void SetOutputSignal(float (*signal)(uint64_t frame)) { outputSignal_ = signal; }

private:
    static void OnSwitch(int32_t index, ASIOBool);
    static ASIOTime* OnSwitchTimeInfo(ASIOTime* time, int32_t index, ASIOBool);
    static void OnRateChange(ASIOSampleRate rate);
    static int32_t OnMessage(int32_t selector, int32_t value, void*, double*);
    void Take(int32_t index, const ASIOTime* time);
    template <class Record>
    Record Locked(const Record& record) {
        std::lock_guard<std::mutex> lock(mutex_);
        return record;
    }

    IASIO* driver_ = nullptr;
    bool floatSamples_ = false;
    int32_t frames_ = 0;
    int32_t inputs_ = 0;
    std::vector<ASIOBufferInfo> buffers_;
    ASIOCallbacks callbacks_{};
    std::mutex mutex_;
    std::vector<std::vector<float>> received_;
    std::vector<uint32_t> timeFlags_;
    std::vector<int64_t> switchTimes_;
    std::vector<uint32_t> probeValues_;
    uint32_t (*probe_)(IASIO*) = nullptr;
    std::vector<int64_t> probeTimes_;
    int64_t (*timeProbe_)(IASIO*) = nullptr;
    std::vector<double> rateChanges_;
    std::atomic<int> switches_{0};
    uint64_t outputFrame_ = 0;
    float (*outputSignal_)(uint64_t) = nullptr;
};
