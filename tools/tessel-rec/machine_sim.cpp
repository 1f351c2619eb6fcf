// Linux: a virtual machine made of the simulation's virtual hardware, with its own registry in memory in which
// the linked-in driver module registers itself as regsvr32 would. It can look into the driver, which is linked
// into this process.
#include <chrono>
#include <cstdlib>
#include <memory>

#include "device/ks_device.h"
#include "driver/asio_driver.h"
#include "machine.h"
#include "sim/devices/world.h"
#include "sim/os/sim_control.h"

namespace {

using sim::devices::Signal;

bool ParseSignal(const std::string& text, Signal* signal) {
    auto number = [&](size_t from, double fallback, double* value) {
        if (from >= text.size()) {
            *value = fallback;
            return true;
        }
        char* end = nullptr;
        *value = std::strtod(text.c_str() + from, &end);
        return end != text.c_str() + from && (*end == '\0' || *end == ':');
    };
    double a = 0, level = 0;
    if (text == "ramp")
        *signal = Signal::Ramp();
    else if (text == "silence")
        *signal = Signal::Silence();
    else if (text.rfind("sine:", 0) == 0) {
        const size_t colon = text.find(':', 5);
        if (!number(5, 0, &a) || !number(colon == std::string::npos ? text.size() : colon + 1, 0.25, &level) ||
            a <= 0 || a >= 96000)
            return false;
        *signal = Signal::Sine(a, level);
    } else if (text.rfind("impulses:", 0) == 0) {
        const size_t colon = text.find(':', 9);
        if (!number(9, 0, &a) || !number(colon == std::string::npos ? text.size() : colon + 1, 0.5, &level) || a < 1)
            return false;
        *signal = Signal::Impulses(static_cast<int64_t>(a), level);
    } else {
        return false;
    }
    return true;
}

struct Fault {
    enum class Kind { None, Unplug, Stall } kind = Kind::None;
    double atSeconds = 0;
    int stallMs = 0;
    bool done = false;
};

bool ParseFault(const std::string& text, Fault* fault) {
    if (text.empty()) return true;
    char* end = nullptr;
    if (text.rfind("unplug:", 0) == 0) {
        fault->kind = Fault::Kind::Unplug;
        fault->atSeconds = std::strtod(text.c_str() + 7, &end);
        return *end == '\0' && fault->atSeconds >= 0;
    }
    if (text.rfind("stall:", 0) == 0) {
        fault->kind = Fault::Kind::Stall;
        fault->atSeconds = std::strtod(text.c_str() + 6, &end);
        if (*end != ':') return false;
        fault->stallMs = static_cast<int>(std::strtol(end + 1, &end, 10));
        return *end == '\0' && fault->atSeconds >= 0 && fault->stallMs > 0 && fault->stallMs <= 60000;
    }
    return false;
}

sim::devices::WorldConfig RoomOf(const MachineSetup& setup) {
    sim::devices::WorldConfig config;
    config.room.intervalSeconds = setup.eventIntervalSeconds;
    config.room.firstSeconds = setup.firstEventSeconds;
    config.room.sound =
        setup.eventBursts ? sim::devices::RoomConfig::Sound::Burst : sim::devices::RoomConfig::Sound::Click;
    return config;
}

class Virtual : public Machine {
public:
    Virtual(const MachineSetup& setup, std::vector<Fault> faults)
        : setup_(setup), faults_(std::move(faults)), world_(sim::devices::World::Create(RoomOf(setup))) {}

    bool Build(std::string* error) {
        for (const MicrophoneSetup& mic : setup_.microphones) {
            sim::devices::MicrophoneConfig config;
            config.name = "Tessel";
            config.offsetPpm = mic.offsetPpm;
            config.needsFirmware = mic.needsFirmware;
            config.acousticDelayMs = mic.acousticDelayMs;
            if (!ParseSignal(mic.signal, &config.signal)) {
                *error = "unknown signal \"" + mic.signal + "\"";
                return false;
            }
            world_->AddMicrophone(config);
        }
        if (setup_.playback) {
            sim::devices::PlaybackConfig config;
            config.name = setup_.playbackName;
            config.offsetPpm = setup_.playbackOffsetPpm;
            world_->AddPlayback(config);
        }
        world_->Install();
        // The user has picked the virtual playback device for the outputs, as in the control panel.
        if (setup_.playback) {
            HKEY key = nullptr;
            if (RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Korvel\\Tessel ASIO\\1.00", 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr) == ERROR_SUCCESS) {
                RegSetValueExA(key, "Output Device", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(setup_.playbackName.c_str()),
                               static_cast<DWORD>(setup_.playbackName.size()));
                RegCloseKey(key);
            }
        }
        return true;
    }
    ~Virtual() override { world_->Uninstall(); }

    void Attach(IASIO*) override {}
    bool CrystalFrame(size_t index, int64_t steadyNs, double rate, int64_t* frame) override {
        const auto microphones = world_->Microphones();
        if (index >= microphones.size()) return false;
        const sim::devices::Clock::time_point at{std::chrono::nanoseconds(steadyNs)};
        *frame = microphones[index]->crystal().FramesSinceEpoch(at, rate);
        return true;
    }
    std::string Signal(size_t index) override {
        return index < setup_.microphones.size() ? setup_.microphones[index].signal : std::string();
    }
    void Tick(double elapsedSeconds) override {
        const auto microphones = world_->Microphones();
        for (size_t i = 0; i < faults_.size() && i < microphones.size(); ++i) {
            Fault& fault = faults_[i];
            if (fault.kind == Fault::Kind::None || fault.done || elapsedSeconds < fault.atSeconds) continue;
            fault.done = true;
            if (fault.kind == Fault::Kind::Unplug)
                microphones[i]->Shutdown();
            else
                microphones[i]->Stall(std::chrono::milliseconds(fault.stallMs));
        }
    }
    MicrophoneMetrics Metrics(IASIO* driver, size_t index) override {
        CAsioDriver* d = static_cast<CAsioDriver*>(driver);
        MicrophoneMetrics metrics;
        if (index >= static_cast<size_t>(CAsioDriver::kMaxInputs) || !d->inputFifos[index].device) return metrics;
        DeviceFifo& fifo = d->inputFifos[index];
        metrics.known = true;
        metrics.converterRatio = fifo.Ratio();
        // The endpoint's own measurement of its device's rate against the performance counter; its first window
        // takes a few seconds, before which there is none.
        const double measured = fifo.device->MeasuredRate();
        metrics.offsetKnown = measured > 0.0;
        if (metrics.offsetKnown) metrics.offsetPpm = (measured / d->sampleRate - 1.0) * 1e6;
        metrics.fifoFillFrames = fifo.FillFrames();
        metrics.slowFillFrames = fifo.SlowFill();
        return metrics;
    }
    uint32_t DriverDropOuts(IASIO* driver) override { return static_cast<CAsioDriver*>(driver)->dropOutCount; }
    bool DeviceLatePackets(size_t index, uint64_t* packets) override {
        const auto microphones = world_->Microphones();
        if (index >= microphones.size()) return false;
        *packets = microphones[index]->LatePackets();
        return true;
    }
    bool HearsOutputs() override { return !world_->Playbacks().empty(); }
    std::vector<int64_t> OutputEdges(float level) override {
        std::vector<int64_t> edges;
        const auto playbacks = world_->Playbacks();
        if (playbacks.empty()) return edges;
        const sim::devices::PlayedRecord played = playbacks[0]->TakePlayed();
        if (played.channels == 0) return edges;
        const size_t frames = played.samples.size() / played.channels;
        const float threshold = 0.5f * level;
        for (size_t f = 1; f < frames; ++f) {
            if (!(played.samples[(f - 1) * played.channels] < threshold &&
                  played.samples[f * played.channels] >= threshold))
                continue;
            if (const auto at = played.TimeOf(f))
                edges.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(at->time_since_epoch()).count());
        }
        return edges;
    }

private:
    MachineSetup setup_;
    std::vector<Fault> faults_;
    std::shared_ptr<sim::devices::World> world_;
};

// Off Windows there is no hardware to record from; a machine that knows nothing beyond what IASIO says.
class Hardware : public Machine {
public:
    void Attach(IASIO*) override {}
    bool CrystalFrame(size_t, int64_t, double, int64_t*) override { return false; }
    std::string Signal(size_t) override { return std::string(); }
    void Tick(double) override {}
    MicrophoneMetrics Metrics(IASIO*, size_t) override { return {}; }
    uint32_t DriverDropOuts(IASIO*) override { return 0; }
    bool DeviceLatePackets(size_t, uint64_t*) override { return false; }
    bool HearsOutputs() override { return false; }
    std::vector<int64_t> OutputEdges(float) override { return {}; }
};

}  // namespace

std::unique_ptr<Machine> RealMachine() { return std::make_unique<Hardware>(); }

std::unique_ptr<Machine> VirtualMachine(const MachineSetup& setup, std::string* error) {
    std::vector<Fault> faults(setup.microphones.size());
    for (size_t i = 0; i < setup.microphones.size(); ++i)
        if (!ParseFault(setup.microphones[i].fault, &faults[i])) {
            *error = "unknown fault \"" + setup.microphones[i].fault + "\"";
            return nullptr;
        }
    // The virtual machine has its own registry (the devices' system registration goes there too), in which the
    // driver module registers itself.
    sim::os::UseMemoryRegistry();
    auto machine = std::make_unique<Virtual>(setup, std::move(faults));
    if (!machine->Build(error)) return nullptr;
    HMODULE module = LoadLibraryA("Tessel-ASIO-x64.dll");
    typedef HRESULT(STDAPICALLTYPE * ServerFunction)();
    auto reg =
        module ? reinterpret_cast<ServerFunction>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")))
               : nullptr;
    if (!reg || FAILED(reg())) {
        *error = "the driver module could not register itself in the virtual machine";
        return nullptr;
    }
    return machine;
}
