#include "sim/devices/scripted_kernel.h"

#include <chrono>
#include <cstring>
#include <optional>

namespace kstest {

using sim::os::IoAnswer;
using sim::os::IoCompletion;
using sim::os::KernelFile;

KSIDENTIFIER Identifier(const GUID& set, ULONG id) {
    KSIDENTIFIER item{};
    item.Set = set;
    item.Id = id;
    return item;
}

std::vector<BYTE> MultipleItem(const std::vector<BYTE>& items, ULONG count) {
    KSMULTIPLE_ITEM header{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size()), count};
    std::vector<BYTE> bytes = BytesOf(header);
    bytes.insert(bytes.end(), items.begin(), items.end());
    return bytes;
}

std::vector<BYTE> Identifiers(const std::vector<KSIDENTIFIER>& items) {
    std::vector<BYTE> bytes;
    for (const auto& item : items) {
        auto one = BytesOf(item);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return MultipleItem(bytes, static_cast<ULONG>(items.size()));
}

std::vector<BYTE> AudioRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate,
                             const GUID& subFormat, ULONG formatSize, const GUID& majorFormat, const GUID& specifier) {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = formatSize;
    range.DataRange.MajorFormat = majorFormat;
    range.DataRange.SubFormat = subFormat;
    range.DataRange.Specifier = specifier;
    range.MaximumChannels = maxChannels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    std::vector<BYTE> bytes = BytesOf(range);
    bytes.resize(formatSize, 0);
    return bytes;
}

std::vector<BYTE> Concat(const std::vector<std::vector<BYTE>>& parts) {
    std::vector<BYTE> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

WAVEFORMATEX Pcm(WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.cbSize = 0;
    return format;
}

WAVEFORMATEXTENSIBLE Extensible(WORD channels, DWORD rate, WORD containerBits, WORD validBits, const GUID& subFormat) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format = Pcm(channels, rate, containerBits);
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = validBits;
    format.dwChannelMask = channels == 1 ? KSAUDIO_SPEAKER_MONO : KSAUDIO_SPEAKER_STEREO;
    format.SubFormat = subFormat;
    return format;
}

struct PinState {
    ScriptedDevice* device = nullptr;
    ULONG pinId = 0;
    ULONG state = KSSTATE_STOP;
    int bufferRequests = 0;
    std::vector<BYTE> buffer;
    ULONG readPacket = 0;
};

namespace {

class FilterFile : public KernelFile {
public:
    FilterFile(std::shared_ptr<ScriptedKernel> kernel, ScriptedDevice& device) : kernel_(kernel), device_(device) {}
    IoAnswer DeviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                             const IoCompletion& completion) override {
        return kernel_->Answer(device_.path, &device_, -1, code, in, inSize, out, outSize, completion, nullptr);
    }
    DWORD CreatePin(const KSPIN_CONNECT* connect, DWORD size, ACCESS_MASK, std::shared_ptr<KernelFile>& pin) override {
        return kernel_->CreatePin(device_, connect, size, pin);
    }

private:
    std::shared_ptr<ScriptedKernel> kernel_;
    ScriptedDevice& device_;
};

class PinFile : public KernelFile {
public:
    PinFile(std::shared_ptr<ScriptedKernel> kernel, ScriptedDevice& device, ULONG pinId) : kernel_(kernel) {
        state_.device = &device;
        state_.pinId = pinId;
    }
    ~PinFile() override { kernel_->PinClosed(); }
    IoAnswer DeviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                             const IoCompletion& completion) override {
        return kernel_->Answer("pin " + std::to_string(state_.pinId), state_.device, static_cast<int>(state_.pinId),
                               code, in, inSize, out, outSize, completion, &state_);
    }

private:
    std::shared_ptr<ScriptedKernel> kernel_;
    PinState state_;
};

// The usual size rules of a KS property: a size query learns the size, a short buffer is refused.
IoAnswer AnswerBytes(const std::vector<BYTE>& bytes, void* out, DWORD outSize) {
    DWORD size = static_cast<DWORD>(bytes.size());
    if (outSize == 0 && size != 0) return {ERROR_MORE_DATA, size};
    if (outSize < size) return {ERROR_INSUFFICIENT_BUFFER, 0};
    if (size) std::memcpy(out, bytes.data(), size);
    return {ERROR_SUCCESS, size};
}

}  // namespace

ScriptedKernel::~ScriptedKernel() {
    for (auto& thread : lateAnswers_) thread.join();
}

void ScriptedKernel::Override(const GUID& set, ULONG id, ULONG pinId, kstest::Answer answer) {
    std::lock_guard<std::mutex> guard(lock_);
    overrides_.push_back({set, id, pinId, std::move(answer)});
}

std::vector<Request> ScriptedKernel::TakeRequests() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<Request> taken;
    taken.swap(requests_);
    return taken;
}

std::vector<Request> ScriptedKernel::Requests(const GUID& set, ULONG id) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<Request> found;
    for (const auto& request : requests_)
        if (request.set == set && request.id == id) found.push_back(request);
    return found;
}

std::vector<std::vector<BYTE>> ScriptedKernel::ConnectBlocks() {
    std::lock_guard<std::mutex> guard(lock_);
    return connects_;
}

std::vector<HANDLE> ScriptedKernel::RegisteredEvents() {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
}

std::vector<sim::os::DeviceInterface> ScriptedKernel::Interfaces(const GUID& category) {
    ++interfaceQueries_;
    std::vector<sim::os::DeviceInterface> found;
    for (const auto& device : devices) {
        for (const auto& [interfaceCategory, flags] : device.interfaces) {
            if (interfaceCategory != category) continue;
            sim::os::DeviceInterface item;
            item.category = category;
            item.path = device.path;
            item.deviceInstanceId = device.instanceId;
            item.referenceString = "global";
            item.flags = flags;
            if (!device.friendlyName.empty()) item.registryValues.push_back({"FriendlyName", device.friendlyName});
            found.push_back(item);
        }
    }
    return found;
}

DWORD ScriptedKernel::Open(const std::string& path, DWORD, std::shared_ptr<KernelFile>& file) {
    for (auto& device : devices) {
        if (device.path != path) continue;
        if (device.openFails) return ERROR_ACCESS_DENIED;
        file = std::make_shared<FilterFile>(shared_from_this(), device);
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

bool ScriptedKernel::DeviceProperty(const std::string& instanceId, const DEVPROPKEY& key, DEVPROPTYPE& type,
                                    std::vector<BYTE>& value) {
    static constexpr GUID kBusRelations = {
        0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}};
    if (key.fmtid != kBusRelations || key.pid != 7) return false;
    for (const auto& device : devices) {
        if (device.instanceId != instanceId || device.busRelations.empty()) continue;
        type = DEVPROP_TYPE_STRING_LIST;
        value = device.busRelations;
        return true;
    }
    return false;
}

DWORD ScriptedKernel::CreatePin(ScriptedDevice& device, const KSPIN_CONNECT* connect, DWORD size,
                                std::shared_ptr<KernelFile>& file) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        const BYTE* bytes = reinterpret_cast<const BYTE*>(connect);
        connects_.emplace_back(bytes, bytes + size);
    }
    if (connect->PinId >= device.pins.size()) return ERROR_INVALID_PARAMETER;
    const ScriptedPin& pin = device.pins[connect->PinId];
    if (pin.createError != ERROR_SUCCESS) return pin.createError;
    ++openPins_;
    file = std::make_shared<PinFile>(shared_from_this(), device, connect->PinId);
    return ERROR_SUCCESS;
}

IoAnswer ScriptedKernel::Deliver(const kstest::Answer& answer, void* out, DWORD outSize,
                                 const IoCompletion& completion) {
    IoAnswer result =
        answer.error != ERROR_SUCCESS ? IoAnswer{answer.error, 0} : AnswerBytes(answer.bytes, out, outSize);
    if (answer.overrideCount) result.bytes = answer.count;
    if (!answer.pend) return result;
    // Completed a little later from another thread, as a device would; the caller waits on its event.
    std::lock_guard<std::mutex> guard(lock_);
    lateAnswers_.emplace_back([completion, result] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        completion.Complete(result.error, result.bytes);
    });
    return {ERROR_IO_PENDING, 0};
}

IoAnswer ScriptedKernel::Answer(const std::string& target, ScriptedDevice* device, int pinFileId, DWORD code,
                                const void* in, DWORD inSize, void* out, DWORD outSize, const IoCompletion& completion,
                                PinState* pin) {
    if (code == IOCTL_KS_READ_STREAM || code == IOCTL_KS_WRITE_STREAM) {
        std::lock_guard<std::mutex> guard(lock_);
        Request request;
        request.target = target;
        request.ioctl = code;
        request.outSize = outSize;
        requests_.push_back(request);
        return {ERROR_SUCCESS, outSize};
    }
    if (code != IOCTL_KS_PROPERTY || inSize < sizeof(KSPROPERTY)) return {ERROR_INVALID_PARAMETER, 0};

    Request request;
    request.target = target;
    request.ioctl = code;
    KSPROPERTY property;
    std::memcpy(&property, in, sizeof property);
    request.set = property.Set;
    request.id = property.Id;
    request.flags = property.Flags;
    request.outSize = outSize;
    DWORD headerSize = sizeof(KSPROPERTY);
    if (!pin && property.Set == KSPROPSETID_Pin && inSize >= sizeof(KSP_PIN)) {
        KSP_PIN pinRequest;
        std::memcpy(&pinRequest, in, sizeof pinRequest);
        request.pinId = pinRequest.PinId;
        headerSize = sizeof(KSP_PIN);
    }
    const BYTE* inBytes = static_cast<const BYTE*>(in);
    request.extra.assign(inBytes + headerSize, inBytes + inSize);
    if ((property.Flags & KSPROPERTY_TYPE_SET) && out)
        request.value.assign(static_cast<BYTE*>(out), static_cast<BYTE*>(out) + outSize);

    ULONG pinId = pin ? static_cast<ULONG>(pinFileId) : request.pinId;
    std::optional<kstest::Answer> replaced;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(request);
        for (const auto& entry : overrides_)
            if (entry.set == property.Set && entry.id == property.Id && (entry.pinId == ~0u || entry.pinId == pinId)) {
                replaced = entry.answer;
                break;
            }
    }
    if (replaced) return Deliver(*replaced, out, outSize, completion);

    // ---- The script.
    if (!pin && property.Set == KSPROPSETID_Pin) {
        if (property.Id == KSPROPERTY_PIN_CTYPES) return AnswerBytes(BytesOf(ULONG(device->pins.size())), out, outSize);
        if (request.pinId >= device->pins.size()) return {ERROR_NOT_FOUND, 0};
        const ScriptedPin& scripted = device->pins[request.pinId];
        switch (property.Id) {
            case KSPROPERTY_PIN_COMMUNICATION:
                return AnswerBytes(BytesOf(scripted.communication), out, outSize);
            case KSPROPERTY_PIN_DATAFLOW:
                return AnswerBytes(BytesOf(scripted.dataFlow), out, outSize);
            case KSPROPERTY_PIN_INTERFACES:
                return AnswerBytes(Identifiers(scripted.interfaces), out, outSize);
            case KSPROPERTY_PIN_MEDIUMS:
                return AnswerBytes(Identifiers(scripted.mediums), out, outSize);
            case KSPROPERTY_PIN_DATARANGES:
                return AnswerBytes(MultipleItem(scripted.dataRanges, scripted.dataRangeCount), out, outSize);
            case KSPROPERTY_PIN_CINSTANCES:
            case KSPROPERTY_PIN_GLOBALCINSTANCES:
                return AnswerBytes(BytesOf(KSPIN_CINSTANCES{1, 0}), out, outSize);
            case KSPROPERTY_PIN_CATEGORY:
                return AnswerBytes(BytesOf(GUID{}), out, outSize);
            case KSPROPERTY_PIN_NAME: {
                std::vector<BYTE> name(scripted.name.begin(), scripted.name.end());
                name.push_back(0);
                if (outSize && outSize < name.size()) name.resize(outSize);
                return AnswerBytes(name, out, outSize);
            }
            default:
                return {ERROR_NOT_FOUND, 0};
        }
    }
    if (!pin && property.Set == KSPROPSETID_Topology && property.Id == KSPROPERTY_TOPOLOGY_NODES) {
        std::vector<BYTE> items;
        for (const GUID& node : device->nodes) {
            auto one = BytesOf(node);
            items.insert(items.end(), one.begin(), one.end());
        }
        return AnswerBytes(MultipleItem(items, static_cast<ULONG>(device->nodes.size())), out, outSize);
    }
    if (!pin) return {ERROR_NOT_FOUND, 0};

    const ScriptedPin& scripted = device->pins[pin->pinId];
    if (property.Set == KSPROPSETID_Connection && property.Id == KSPROPERTY_CONNECTION_STATE) {
        if (!(property.Flags & KSPROPERTY_TYPE_SET)) return AnswerBytes(BytesOf(pin->state), out, outSize);
        ULONG next = 0;
        if (outSize < sizeof next) return {ERROR_INSUFFICIENT_BUFFER, 0};
        std::memcpy(&next, out, sizeof next);
        // Real drivers accept only a neighbouring state.
        ULONG distance = next > pin->state ? next - pin->state : pin->state - next;
        if (distance != 1 || static_cast<int>(next) == scripted.refusedState) return {ERROR_INVALID_PARAMETER, 0};
        pin->state = next;
        return {ERROR_SUCCESS, 0};
    }
    if (property.Set == KSPROPSETID_AudioBufferDuration && property.Id == KSPROPERTY_AUDIOBUFFERDURATION)
        return {ERROR_SUCCESS, 0};
    if (property.Set == KSPROPSETID_RtAudio) {
        switch (property.Id) {
            case KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION: {
                KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION asked{};
                if (inSize < sizeof asked) return {ERROR_INVALID_PARAMETER, 0};
                std::memcpy(&asked, in, sizeof asked);
                if (++pin->bufferRequests <= scripted.refusedBufferRequests) return {ERROR_INVALID_PARAMETER, 0};
                pin->buffer.assign(asked.RequestedBufferSize + scripted.bufferPadBytes, 0);
                KSRTAUDIO_BUFFER granted{};
                granted.BufferAddress = pin->buffer.data();
                granted.ActualBufferSize = static_cast<ULONG>(pin->buffer.size());
                return AnswerBytes(BytesOf(granted), out, outSize);
            }
            case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT:
            case KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT: {
                KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY event{};
                if (inSize < sizeof event) return {ERROR_INVALID_PARAMETER, 0};
                std::memcpy(&event, in, sizeof event);
                std::lock_guard<std::mutex> guard(lock_);
                if (property.Id == KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT) {
                    events_.push_back(event.NotificationEvent);
                } else {
                    for (auto it = events_.begin(); it != events_.end(); ++it)
                        if (*it == event.NotificationEvent) {
                            events_.erase(it);
                            return {ERROR_SUCCESS, 0};
                        }
                    return {ERROR_INVALID_PARAMETER, 0};
                }
                return {ERROR_SUCCESS, 0};
            }
            case KSPROPERTY_RTAUDIO_POSITIONREGISTER:
                return {ERROR_NOT_FOUND, 0};
            case KSPROPERTY_RTAUDIO_PACKETCOUNT:
                return AnswerBytes(BytesOf(ULONG(pin->readPacket)), out, outSize);
            case KSPROPERTY_RTAUDIO_GETREADPACKET: {
                KSRTAUDIO_GETREADPACKET_INFO info{};
                info.PacketNumber = pin->readPacket++;
                return AnswerBytes(BytesOf(info), out, outSize);
            }
            case KSPROPERTY_RTAUDIO_SETWRITEPACKET:
                return {ERROR_SUCCESS, 0};
            default:
                return {ERROR_NOT_FOUND, 0};
        }
    }
    return {ERROR_NOT_FOUND, 0};
}

ScopedKernel::ScopedKernel() : kernel_(std::make_shared<ScriptedKernel>()) { sim::os::InstallVirtualKernel(kernel_); }

ScopedKernel::~ScopedKernel() { sim::os::InstallVirtualKernel(nullptr); }

}  // namespace kstest
