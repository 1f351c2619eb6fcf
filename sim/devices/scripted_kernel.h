// A scripted kernel for tests of the kernel-streaming layer: devices, filters and pins described by plain
// tables, answers that can be made to fail, pend, lie about sizes or report "not found", and a record of every
// request the layer sent. It stands behind the same seam as the virtual hardware (sim/os/virtual_kernel.h).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/os/virtual_kernel.h"

namespace kstest {

// ---- Builders of answer bytes.
KSIDENTIFIER Identifier(const GUID& set, ULONG id);
std::vector<BYTE> MultipleItem(const std::vector<BYTE>& items, ULONG count);
std::vector<BYTE> Identifiers(const std::vector<KSIDENTIFIER>& items);
// One audio range, `formatSize` bytes long (the real size by default).
std::vector<BYTE> AudioRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate,
                             const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM,
                             ULONG formatSize = sizeof(KSDATARANGE_AUDIO),
                             const GUID& majorFormat = KSDATAFORMAT_TYPE_AUDIO, const GUID& specifier = GUID{});
std::vector<BYTE> Concat(const std::vector<std::vector<BYTE>>& parts);
template <class T>
std::vector<BYTE> BytesOf(const T& value) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(p, p + sizeof value);
}

// An answer that replaces what the script would say.
struct Answer {
    DWORD error = ERROR_SUCCESS;  // a failure to report (with no bytes)
    std::vector<BYTE> bytes;      // otherwise these bytes, with the usual size-query rules
    bool pend = false;            // answer late, from another thread, after ERROR_IO_PENDING
    // Report this byte count instead of the true one (size queries and completed reads).
    bool overrideCount = false;
    DWORD count = 0;
};

struct ScriptedPin {
    ULONG communication = KSPIN_COMMUNICATION_SINK;
    ULONG dataFlow = KSPIN_DATAFLOW_OUT;
    std::vector<KSIDENTIFIER> interfaces{Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_LOOPED_STREAMING)};
    std::vector<KSIDENTIFIER> mediums{Identifier(KSMEDIUMSETID_Standard, 0)};
    std::vector<BYTE> dataRanges;  // the ranges, back to back (the KSMULTIPLE_ITEM header is added)
    ULONG dataRangeCount = 0;
    std::string name = "Pin";
    // Behaviour of an open pin.
    DWORD createError = ERROR_SUCCESS;  // pin creation refused with this error
    int refusedState = -1;              // a state the pin refuses to enter
    int refusedBufferRequests = 0;      // WaveRT buffer requests refused before one is granted
    ULONG bufferPadBytes = 0;           // the granted buffer is this much larger than asked
};

struct ScriptedDevice {
    std::string path;
    std::string instanceId;
    std::string friendlyName;  // empty: no value in the interface key
    // The categories the device has an interface in, with the interface's flags.
    std::vector<std::pair<GUID, DWORD>> interfaces;
    std::vector<BYTE> busRelations;  // the raw DEVPKEY_Device_BusRelations value; empty: absent
    bool openFails = false;
    std::vector<ScriptedPin> pins;
    std::vector<GUID> nodes;
};

// One request as the kernel saw it.
struct Request {
    std::string target;  // the filter's path, or "pin <id>"
    DWORD ioctl = 0;
    GUID set{};
    ULONG id = 0;
    ULONG flags = 0;
    ULONG pinId = ~0u;        // for KSP_PIN requests
    std::vector<BYTE> extra;  // bytes behind the KSPROPERTY (or KSP_PIN)
    std::vector<BYTE> value;  // the output buffer's bytes as sent (SET)
    DWORD outSize = 0;
};

class ScriptedKernel : public sim::os::VirtualKernel, public std::enable_shared_from_this<ScriptedKernel> {
public:
    ~ScriptedKernel() override;

    std::vector<ScriptedDevice> devices;

    // Replaces the answer to (set, id) for the given pin id (~0u: any) on the filter or on open pins.
    void Override(const GUID& set, ULONG id, ULONG pinId, Answer answer);

    // What the layer sent, in order; clears the record.
    std::vector<Request> TakeRequests();
    std::vector<Request> Requests(const GUID& set, ULONG id);
    std::vector<std::vector<BYTE>> ConnectBlocks();
    std::vector<HANDLE> RegisteredEvents();
    int InterfaceQueries() const { return interfaceQueries_; }
    int OpenPins() const { return openPins_; }

    // sim::os::VirtualKernel
    std::vector<sim::os::DeviceInterface> Interfaces(const GUID& category) override;
    DWORD Open(const std::string& path, DWORD access, std::shared_ptr<sim::os::KernelFile>& file) override;
    bool DeviceProperty(const std::string& instanceId, const DEVPROPKEY& key, DEVPROPTYPE& type,
                        std::vector<BYTE>& value) override;

    // Used by the kernel's files.
    sim::os::IoAnswer Answer(const std::string& target, ScriptedDevice* device, int pinId, DWORD code, const void* in,
                             DWORD inSize, void* out, DWORD outSize, const sim::os::IoCompletion& completion,
                             struct PinState* pin);
    DWORD CreatePin(ScriptedDevice& device, const KSPIN_CONNECT* connect, DWORD size,
                    std::shared_ptr<sim::os::KernelFile>& file);
    void PinClosed() { --openPins_; }

private:
    struct OverrideEntry {
        GUID set;
        ULONG id;
        ULONG pinId;
        kstest::Answer answer;
    };
    sim::os::IoAnswer Deliver(const kstest::Answer& answer, void* out, DWORD outSize,
                              const sim::os::IoCompletion& completion);

    std::mutex lock_;
    std::vector<OverrideEntry> overrides_;
    std::vector<Request> requests_;
    std::vector<std::vector<BYTE>> connects_;
    std::vector<HANDLE> events_;
    std::vector<std::thread> lateAnswers_;
    int interfaceQueries_ = 0;
    int openPins_ = 0;
};

// Installs a scripted kernel for the life of the object.
class ScopedKernel {
public:
    ScopedKernel();
    ~ScopedKernel();
    ScriptedKernel& operator*() { return *kernel_; }
    ScriptedKernel* operator->() { return kernel_.get(); }
    std::shared_ptr<ScriptedKernel> kernel_;
};

// Wave formats for tests.
WAVEFORMATEX Pcm(WORD channels, DWORD rate, WORD bits);
WAVEFORMATEXTENSIBLE Extensible(WORD channels, DWORD rate, WORD containerBits, WORD validBits,
                                const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM);

}  // namespace kstest
