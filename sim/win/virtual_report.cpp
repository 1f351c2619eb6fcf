// The test-only DLL's report export (virtual_report.h): what a host recording through this DLL may learn of the
// virtual machine and of the driver object it created, read where the simulated platform's tools read it.
#include "sim/win/virtual_report.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/ks_device.h"
#include "driver/asio_driver.h"
#include "sim/win/virtual_machine.h"

namespace {

int64_t Nanoseconds(sim::devices::Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

// The performance counter in nanoseconds, without overflowing for counters that have run for months.
int64_t CounterNanoseconds() {
    LARGE_INTEGER counter{}, frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    if (frequency.QuadPart <= 0) return 0;
    return counter.QuadPart / frequency.QuadPart * 1000000000LL +
           counter.QuadPart % frequency.QuadPart * 1000000000LL / frequency.QuadPart;
}

}  // namespace

extern "C" __declspec(dllexport) int TesselVirtual_Report(void* driver, uint32_t microphone,
                                                           TesselVirtualMicrophone* report) {
    if (!report || report->size != sizeof(TesselVirtualMicrophone)) return 0;
    std::memset(report, 0, sizeof *report);
    report->size = sizeof *report;
    const std::vector<std::shared_ptr<sim::devices::VirtualMicrophone>> microphones =
        sim::win::VirtualWorld()->Microphones();
    if (microphone >= microphones.size()) return 0;
    const sim::devices::VirtualMicrophone& device = *microphones[microphone];
    const std::string signal = sim::win::VirtualSignalText(microphone);
    std::memcpy(report->signal, signal.data(), std::min(signal.size(), sizeof report->signal - 1));
    report->crystalOffsetPpm = device.crystal().OffsetPpm();
    report->crystalEpochNs = Nanoseconds(device.crystal().Epoch());
    report->latePackets = device.LatePackets();
    report->steadyNs = Nanoseconds(sim::devices::Clock::now());
    report->counterNs = CounterNanoseconds();
    if (!driver) return 1;

    // The IASIO pointer a host holds is the driver object itself.
    CAsioDriver* d = static_cast<CAsioDriver*>(static_cast<IASIO*>(driver));
    report->driverDropOuts = d->dropOutCount.load();
    if (microphone >= static_cast<uint32_t>(CAsioDriver::kMaxInputs) || !d->inputFifos[microphone].device) return 1;
    DeviceFifo& fifo = d->inputFifos[microphone];
    report->driverKnown = 1;
    report->converterRatio = fifo.Ratio();
    // The endpoint's own measurement of its device's rate against the performance counter; its first window takes
    // a few seconds, before which there is none.
    const double measured = fifo.device->MeasuredRate();
    report->offsetKnown = measured > 0.0;
    if (report->offsetKnown) report->offsetPpm = (measured / d->sampleRate - 1.0) * 1e6;
    report->fifoFillFrames = fifo.FillFrames();
    report->slowFillFrames = fifo.SlowFill();
    return 1;
}
