// The test-only DLL's virtual machine: parsed from the environment, built on first use, kept for the life of the
// process (the driver may be loaded and released many times; its devices stay plugged in as real ones would).
#include "sim/win/virtual_machine.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

#include "sim/devices/device_wait.h"

namespace sim::win {
namespace {

using sim::devices::Signal;

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator)) parts.push_back(part);
    return parts;
}

bool ParseNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*value);
}

bool ParseSignal(const std::string& text, Signal* signal) {
    auto parts = Split(text, ':');
    if (parts.empty()) return false;
    double a = 0, level = 0;
    if (text == "ramp") {
        *signal = Signal::Ramp();
    } else if (text == "silence") {
        *signal = Signal::Silence();
    } else if (parts[0] == "sine" && (parts.size() == 2 || parts.size() == 3)) {
        if (!ParseNumber(parts[1], &a) || a <= 0 || a >= 96000) return false;
        if (parts.size() == 3 ? !ParseNumber(parts[2], &level) : (level = 0.25, false)) return false;
        if (level < 0 || level > 1) return false;
        *signal = Signal::Sine(a, level);
    } else if (parts[0] == "impulses" && (parts.size() == 2 || parts.size() == 3)) {
        if (!ParseNumber(parts[1], &a) || a < 1 || a > 1e9) return false;
        if (parts.size() == 3 ? !ParseNumber(parts[2], &level) : (level = 0.5, false)) return false;
        if (level < 0 || level > 1) return false;
        *signal = Signal::Impulses(static_cast<int64_t>(a), level);
    } else {
        return false;
    }
    return true;
}

// "2@1.5" or "3@2:200": a microphone counted from 1, a time in seconds, and for a stall its length.
bool ParseFault(const std::string& text, VirtualFault::Kind kind, VirtualFault* fault) {
    auto at = text.find('@');
    if (at == std::string::npos) return false;
    double microphone = 0, seconds = 0, ms = 0;
    auto timing = Split(text.substr(at + 1), ':');
    if (!ParseNumber(text.substr(0, at), &microphone) || microphone < 1 || microphone > 8 || timing.empty() ||
        !ParseNumber(timing[0], &seconds) || seconds < 0 || seconds > 86400)
        return false;
    if (kind == VirtualFault::Kind::Stall) {
        if (timing.size() != 2 || !ParseNumber(timing[1], &ms) || ms < 1 || ms > 60000) return false;
    } else if (timing.size() != 1) {
        return false;
    }
    fault->kind = kind;
    fault->microphone = static_cast<size_t>(microphone) - 1;
    fault->atSeconds = seconds;
    fault->stallMs = static_cast<int>(ms);
    return true;
}

// The devices' packets fall due on the performance counter to the microsecond, as a real device's DMA does; the
// C runtime's timed waits under Wine round up to whole milliseconds twice over. NtDelayExecution, which Sleep is
// built on, takes its time in 100 ns units: under Wine a non-alertable delay sleeps to the microsecond, on Windows
// it keeps the system timer's resolution, as Sleep does. How far before a deadline the device thread leaves its
// condition variable for this sleep: more than the rounding can make that wait late.
using NtDelayExecutionCall = LONG(NTAPI*)(BOOLEAN alertable, PLARGE_INTEGER interval);
NtDelayExecutionCall ntDelayExecution = nullptr;
constexpr auto kFineSleepMargin = std::chrono::milliseconds(4);

void FineSleep(sim::devices::Clock::duration duration) {
    LARGE_INTEGER interval{};
    // Negative: relative to now, in 100 ns units; at least one, since zero returns at once.
    interval.QuadPart =
        -std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count() / 100);
    ntDelayExecution(FALSE, &interval);
}

void InstallFineSleep() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    FARPROC address = ntdll ? GetProcAddress(ntdll, "NtDelayExecution") : nullptr;
    if (!address) return;  // the devices keep the plain timed wait
    ntDelayExecution = reinterpret_cast<NtDelayExecutionCall>(reinterpret_cast<void*>(address));
    sim::devices::SetFineSleep(&FineSleep, kFineSleepMargin);
}

void Report(const std::string& text) { OutputDebugStringA(("Tessel virtual machine: " + text + "\n").c_str()); }

// The machine once built, and what its microphones were configured with. Set once, inside EnsureVirtualMachine's
// once-only call, and never destroyed.
std::shared_ptr<sim::devices::World>* builtWorld = nullptr;
std::vector<std::string>* builtSignals = nullptr;

}  // namespace

bool ParseVirtualMachine(const std::string& text, VirtualMachineConfig* config, std::string* error) {
    size_t microphones = 4;
    std::vector<double> offsets{-80, -20, 30, 90};
    std::vector<Signal> signals{Signal::Ramp()};
    std::vector<std::string> signalTexts{"ramp"};
    std::vector<size_t> firmware;
    std::string playback = "Speakers";
    double playbackOffset = 0;
    config->faults.clear();
    for (const std::string& item : Split(text, ';')) {
        if (item.empty()) continue;
        auto equals = item.find('=');
        std::string key = item.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        double number = 0;
        bool ok = equals != std::string::npos;
        if (!ok) {
        } else if (key == "microphones") {
            ok = ParseNumber(value, &number) && number >= 0 && number <= 8 && number == static_cast<int>(number);
            microphones = static_cast<size_t>(number);
        } else if (key == "offsets") {
            offsets.clear();
            for (const std::string& part : Split(value, ',')) {
                ok = ok && ParseNumber(part, &number) && std::abs(number) <= 10000;
                offsets.push_back(number);
            }
        } else if (key == "signals") {
            signals.clear();
            signalTexts.clear();
            for (const std::string& part : Split(value, ',')) {
                Signal signal = Signal::Silence();
                ok = ok && ParseSignal(part, &signal);
                signals.push_back(signal);
                signalTexts.push_back(part);
            }
            ok = ok && !signals.empty();
        } else if (key == "firmware") {
            ok = ParseNumber(value, &number) && number >= 1 && number <= 8;
            firmware.push_back(static_cast<size_t>(number) - 1);
        } else if (key == "playback") {
            ok = !value.empty();
            playback = value;
        } else if (key == "playback-offset") {
            ok = ParseNumber(value, &playbackOffset) && std::abs(playbackOffset) <= 10000;
        } else if (key == "unplug" || key == "stall") {
            VirtualFault fault;
            ok = ParseFault(value, key == "unplug" ? VirtualFault::Kind::Unplug : VirtualFault::Kind::Stall, &fault);
            config->faults.push_back(fault);
        } else {
            ok = false;
        }
        if (!ok) {
            *error = "malformed item \"" + item + "\"";
            return false;
        }
    }
    config->world = sim::devices::WorldConfig{};
    config->signals.clear();
    for (size_t i = 0; i < microphones; ++i) {
        sim::devices::MicrophoneConfig mic;
        mic.offsetPpm = i < offsets.size() ? offsets[i] : 0.0;
        mic.signal = signals[i < signals.size() ? i : signals.size() - 1];
        config->signals.push_back(signalTexts[i < signalTexts.size() ? i : signalTexts.size() - 1]);
        for (size_t index : firmware) mic.needsFirmware = mic.needsFirmware || index == i;
        config->world.microphones.push_back(mic);
    }
    if (playback != "none") {
        sim::devices::PlaybackConfig speakers;
        speakers.name = playback;
        speakers.offsetPpm = playbackOffset;
        config->world.playbacks.push_back(speakers);
    }
    for (const VirtualFault& fault : config->faults) {
        if (fault.microphone >= microphones) {
            *error = "a fault names microphone " + std::to_string(fault.microphone + 1) + " of " +
                     std::to_string(microphones);
            return false;
        }
    }
    return true;
}

void EnsureVirtualMachine() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* text = std::getenv("TESSEL_VIRTUAL_MACHINE");
        VirtualMachineConfig config;
        std::string error;
        if (!ParseVirtualMachine(text ? text : "", &config, &error)) {
            Report("TESSEL_VIRTUAL_MACHINE: " + error + "; the machine has no devices");
            config = VirtualMachineConfig{};
        }
        // Never destroyed: the devices' threads must outlive every driver the process loads, and a process
        // that exits takes them down with it.
        InstallFineSleep();
        auto* world = new std::shared_ptr<sim::devices::World>(sim::devices::World::Create(config.world));
        (*world)->Install();
        builtWorld = world;
        builtSignals = new std::vector<std::string>(config.signals);
        if (config.faults.empty()) return;
        // Faults fall due on the machine's own clock, from the moment it was built.
        std::thread([weak = std::weak_ptr<sim::devices::World>(*world), faults = config.faults] {
            auto start = std::chrono::steady_clock::now();
            for (const VirtualFault& fault : faults) {
                std::this_thread::sleep_until(start + std::chrono::duration<double>(fault.atSeconds));
                auto world = weak.lock();
                if (!world) return;
                auto microphones = world->Microphones();
                if (fault.microphone >= microphones.size()) continue;
                if (fault.kind == VirtualFault::Kind::Unplug)
                    microphones[fault.microphone]->Shutdown();
                else
                    microphones[fault.microphone]->Stall(std::chrono::milliseconds(fault.stallMs));
            }
        }).detach();
    });
}

std::shared_ptr<sim::devices::World> VirtualWorld() {
    EnsureVirtualMachine();
    return *builtWorld;
}

std::string VirtualSignalText(size_t index) {
    EnsureVirtualMachine();
    return index < builtSignals->size() ? (*builtSignals)[index] : std::string();
}

}  // namespace sim::win
