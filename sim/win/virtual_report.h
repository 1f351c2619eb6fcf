// What the test-only DLL tells a host that records through it: for each virtual microphone, the device's own
// side (its signal, its crystal, how often its thread ran late) and, given the IASIO object the host created
// from this DLL, the driver's view of it. tessel-rec uses it to judge a recording under Wine as it judges one
// on the simulated platform, where it looks into the linked-in driver and devices directly.
//
// Plain C. A host finds TesselVirtual_Report with GetProcAddress on the driver's module; the product DLL has
// no such export, and a host then knows only what IASIO says.
#pragma once

#include <stdint.h>

#define TESSEL_VIRTUAL_REPORT "TesselVirtual_Report"

typedef struct TesselVirtualMicrophone {
    uint32_t size;  // set by the caller to sizeof(TesselVirtualMicrophone); any other size is refused

    // The virtual device, whether or not a driver is given.
    char signal[48];          // as configured: "ramp", "silence", "sine:HZ:LEVEL", "impulses:FRAMES:LEVEL"
    double crystalOffsetPpm;  // the crystal runs at nominal rate x (1 + offset x 1e-6) ...
    int64_t crystalEpochNs;   // ... and started counting frames at this steady-clock time: at steady time T
                              // it has counted floor((T - epoch) x 1e-9 x rate x (1 + offset x 1e-6)) frames
                              // of a stream at nominal `rate`, and the signal is a function of that count
    int64_t steadyNs;         // the DLL's steady clock when the call was answered
    int64_t counterNs;        // and the performance counter, in nanoseconds, read right after it
    uint64_t latePackets;     // packets its thread completed more than a packet's length after they fell due,
                              // since the machine was built: audio it may have overwritten before a client
                              // could read it, where hardware would not have

    // The driver's view, only when `driver` is given; read it while the driver does not stream.
    int32_t driverKnown;  // the driver has this microphone open
    int32_t offsetKnown;  // the driver has measured the microphone's rate
    double offsetPpm;     // the rate offset it measured
    double converterRatio;
    uint32_t fifoFillFrames;
    double slowFillFrames;
    uint32_t driverDropOuts;  // the driver's drop-out count (all microphones and the outputs)
} TesselVirtualMicrophone;

// Fills `report` for microphone `microphone` (counted from 0, in the order the driver opens them). `driver` is
// null or the IASIO pointer of an object created from this DLL. Returns 0 for a microphone the machine does not
// have or a report of another size, 1 otherwise.
typedef int (*TesselVirtualReportFunction)(void* driver, uint32_t microphone, TesselVirtualMicrophone* report);
