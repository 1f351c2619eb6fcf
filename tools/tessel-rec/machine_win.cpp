// Windows: there is no virtual machine to build; tessel-rec records from the microphones the driver finds. A
// driver DLL built for testing under Wine, whose microphones are virtual, tells what it knows of them and of
// itself through its report export (sim/win/virtual_report.h): then the summary shows the driver's measurements
// and the latency measured from the ramp, as on the simulated platform. The product DLL has no such export, and
// tessel-rec knows only what IASIO says.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "machine.h"
#include "sim/win/virtual_report.h"

namespace {

class DriverModule : public Machine {
public:
    void Attach(IASIO* driver) override {
        // The object's first pointer is its table of methods, which lies in the driver's module. The module stays
        // loaded while tessel-rec holds the driver, which is as long as it asks anything of it.
        HMODULE module = nullptr;
        if (!driver || exported_ ||
            !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                *reinterpret_cast<LPCSTR*>(driver), &module))
            return;
        exported_ = reinterpret_cast<TesselVirtualReportFunction>(
            reinterpret_cast<void*>(GetProcAddress(module, TESSEL_VIRTUAL_REPORT)));
    }
    bool CrystalFrame(size_t index, int64_t steadyNs, double rate, int64_t* frame) override {
        const Device* device = DeviceOf(index);
        if (!device || !device->sameClock) return false;
        const double seconds = static_cast<double>(steadyNs - device->epochNs) * 1e-9;
        *frame = static_cast<int64_t>(std::floor(seconds * rate * (1.0 + device->offsetPpm * 1e-6)));
        return true;
    }
    std::string Signal(size_t index) override {
        const Device* device = DeviceOf(index);
        return device ? device->signal : std::string();
    }
    void Tick(double) override {}
    MicrophoneMetrics Metrics(IASIO* driver, size_t index) override {
        MicrophoneMetrics metrics;
        TesselVirtualMicrophone report;
        if (!Report(driver, index, &report) || !report.driverKnown) return metrics;
        metrics.known = true;
        metrics.converterRatio = report.converterRatio;
        metrics.offsetKnown = report.offsetKnown != 0;
        metrics.offsetPpm = report.offsetPpm;
        metrics.fifoFillFrames = report.fifoFillFrames;
        metrics.slowFillFrames = report.slowFillFrames;
        return metrics;
    }
    uint32_t DriverDropOuts(IASIO* driver) override {
        TesselVirtualMicrophone report;
        return Report(driver, 0, &report) ? report.driverDropOuts : 0;
    }
    bool DeviceLatePackets(size_t index, uint64_t* packets) override {
        TesselVirtualMicrophone report;
        if (!Report(nullptr, index, &report)) return false;
        *packets = report.latePackets;
        return true;
    }
    bool HearsOutputs() override { return false; }
    std::vector<int64_t> OutputEdges(float) override { return {}; }

private:
    struct Device {
        std::string signal;
        double offsetPpm = 0.0;
        int64_t epochNs = 0;
        bool sameClock = false;
    };

    bool Report(IASIO* driver, size_t index, TesselVirtualMicrophone* report) {
        if (!exported_ || index >= 64) return false;
        std::memset(report, 0, sizeof *report);
        report->size = sizeof *report;
        return exported_(driver, static_cast<uint32_t>(index), report) != 0;
    }

    // What stays fixed of a device, asked once it exists (the DLL builds its machine on the driver's first
    // device call).
    const Device* DeviceOf(size_t index) {
        if (index < devices_.size() && devices_[index]) return &*devices_[index];
        TesselVirtualMicrophone report;
        const int64_t before = SteadyNanoseconds();
        if (!Report(nullptr, index, &report)) return nullptr;
        const int64_t after = SteadyNanoseconds();
        Device device;
        device.signal.assign(report.signal, strnlen(report.signal, sizeof report.signal));
        device.offsetPpm = report.crystalOffsetPpm;
        device.epochNs = report.crystalEpochNs;
        // The crystal frames are compared with the times this process took its blocks at: only meaningful if the
        // DLL's steady clock is this one, and both are the performance counter the driver keeps its time by.
        device.sameClock = before <= report.steadyNs && report.steadyNs <= after &&
                           std::llabs(report.counterNs - report.steadyNs) < 1000000;
        if (!device.sameClock)
            std::fprintf(stderr,
                         "tessel-rec: the driver module's steady clock (%lld ns, counter %lld ns) is not this one's "
                         "(%lld..%lld ns): no latency is measured\n",
                         static_cast<long long>(report.steadyNs), static_cast<long long>(report.counterNs),
                         static_cast<long long>(before), static_cast<long long>(after));
        if (devices_.size() <= index) devices_.resize(index + 1);
        devices_[index] = device;
        return &*devices_[index];
    }

    TesselVirtualReportFunction exported_ = nullptr;
    std::vector<std::optional<Device>> devices_;
};

}  // namespace

std::unique_ptr<Machine> RealMachine() { return std::make_unique<DriverModule>(); }

std::unique_ptr<Machine> VirtualMachine(const MachineSetup&, std::string* error) {
    *error = "--sim needs the simulated Windows (the Linux build)";
    return nullptr;
}
