#include "sim/devices/ks_device.h"

#include <algorithm>
#include <cstring>

#include "sim/devices/device_wait.h"

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace sim::devices {

using sim::os::IoAnswer;
using sim::os::IoCompletion;
using sim::os::KernelFile;

namespace {

// Win32 errors of the device's refusals (the NTSTATUS codes a driver returns, as the client sees them).
constexpr DWORD kErrorNotReady = 21;        // STATUS_DEVICE_NOT_READY
constexpr DWORD kErrorBusy = 170;           // STATUS_DEVICE_BUSY: the one pin instance is taken
constexpr DWORD kErrorNoMatch = 1169;       // STATUS_NO_MATCH: a format outside the ranges
constexpr DWORD kErrorGenFailure = 31;      // STATUS_UNSUCCESSFUL
constexpr DWORD kErrorNotConnected = 1167;  // STATUS_DEVICE_NOT_CONNECTED: unplugged
constexpr ULONG kMaxBufferBytes = 1u << 20;
constexpr ULONG kStreamPin = 0;
constexpr ULONG kBridgePin = 1;
// Analog signal of a bridge pin (KSDATAFORMAT_SUBTYPE_ANALOG).
constexpr GUID kSubtypeAnalog = {0x6DBA3190, 0x67BD, 0x11CF, {0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};

template <class T>
std::vector<BYTE> BytesOf(const T& value) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(p, p + sizeof value);
}

std::vector<BYTE> MultipleItem(const std::vector<BYTE>& items, ULONG count) {
    KSMULTIPLE_ITEM header{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size()), count};
    std::vector<BYTE> bytes(sizeof header + items.size());
    std::memcpy(bytes.data(), &header, sizeof header);
    if (!items.empty()) std::memcpy(bytes.data() + sizeof header, items.data(), items.size());
    return bytes;
}

std::vector<BYTE> Identifier(const GUID& set, ULONG id) {
    KSIDENTIFIER item{};
    item.Set = set;
    item.Id = id;
    return MultipleItem(BytesOf(item), 1);
}

// A GET of a property value: a size query learns the size, a short buffer is refused.
IoAnswer Answer(const std::vector<BYTE>& bytes, void* out, DWORD outSize) {
    DWORD size = static_cast<DWORD>(bytes.size());
    if (outSize == 0 && size != 0) return {ERROR_MORE_DATA, size};
    if (outSize < size || !out) return {ERROR_INSUFFICIENT_BUFFER, 0};
    if (size) std::memcpy(out, bytes.data(), size);
    return {ERROR_SUCCESS, size};
}

bool IsGet(const KSPROPERTY& property) { return property.Flags == KSPROPERTY_TYPE_GET; }
bool IsSet(const KSPROPERTY& property) { return property.Flags == KSPROPERTY_TYPE_SET; }

}  // namespace

// ---- Files.

class FilterFile : public KernelFile {
public:
    explicit FilterFile(std::shared_ptr<KsAudioDevice> device) : device_(std::move(device)) {}
    IoAnswer DeviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                             const IoCompletion&) override {
        if (code != IOCTL_KS_PROPERTY) return {ERROR_INVALID_FUNCTION, 0};
        if (!in || inSize < sizeof(KSPROPERTY)) return {ERROR_INVALID_PARAMETER, 0};
        KSPROPERTY property;
        std::memcpy(&property, in, sizeof property);
        return device_->FilterProperty(property, static_cast<const BYTE*>(in), inSize, out, outSize);
    }
    DWORD CreatePin(const KSPIN_CONNECT* connect, DWORD size, ACCESS_MASK, std::shared_ptr<KernelFile>& pin) override {
        return device_->CreatePin(this, connect, size, pin);
    }

private:
    std::shared_ptr<KsAudioDevice> device_;
};

class PinFile : public KernelFile {
public:
    explicit PinFile(std::shared_ptr<KsAudioDevice> device) : device_(std::move(device)) {}
    ~PinFile() override { device_->ClosePin(this); }
    IoAnswer DeviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                             const IoCompletion& completion) override {
        if (code == IOCTL_KS_READ_STREAM || code == IOCTL_KS_WRITE_STREAM)
            return device_->StreamIo(this, code, out, outSize, completion);
        if (code != IOCTL_KS_PROPERTY) return {ERROR_INVALID_FUNCTION, 0};
        if (!in || inSize < sizeof(KSPROPERTY)) return {ERROR_INVALID_PARAMETER, 0};
        KSPROPERTY property;
        std::memcpy(&property, in, sizeof property);
        return device_->PinProperty(this, property, static_cast<const BYTE*>(in), inSize, out, outSize);
    }
    void CancelRequests(DWORD thread) override { device_->CancelPinRequests(this, thread); }

private:
    std::shared_ptr<KsAudioDevice> device_;
};

// ---- The device.

KsAudioDevice::KsAudioDevice(KsDeviceSetup setup) : setup_(std::move(setup)), crystal_(setup_.offsetPpm) {
    thread_ = std::thread([this] { Run(); });
}

KsAudioDevice::~KsAudioDevice() { Shutdown(); }

void KsAudioDevice::Shutdown() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        unplugged_ = true;
        quit_ = true;
        if (pin_) CancelRequests(pin_->file, 0, true);
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::shared_ptr<KernelFile> KsAudioDevice::OpenFilter() { return std::make_shared<FilterFile>(shared_from_this()); }

void KsAudioDevice::RefuseInstantiation(bool refuse) {
    std::lock_guard<std::mutex> guard(lock_);
    refuseInstantiation_ = refuse;
}

void KsAudioDevice::RefuseEveryBufferSize(bool refuse) {
    std::lock_guard<std::mutex> guard(lock_);
    refuseBuffers_ = refuse;
}

void KsAudioDevice::Stall(std::chrono::milliseconds duration) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto now = Clock::now();
        stallUntil_ = now + duration;
        UpdateClock(now);
    }
    wake_.notify_all();
}

void KsAudioDevice::HoldThread(std::chrono::milliseconds duration) {
    std::lock_guard<std::mutex> guard(lock_);
    heldUntil_ = Clock::now() + duration;
}

void KsAudioDevice::StopForGood() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        dead_ = true;
        UpdateClock(Clock::now());
    }
    wake_.notify_all();
}

void KsAudioDevice::DelayPackets(int everyNth, std::chrono::milliseconds delay) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        delayEvery_ = everyNth;
        delay_ = delay;
    }
    wake_.notify_all();
}

void KsAudioDevice::DeliverInBursts(int count) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        burst_ = count < 1 ? 1 : count;
    }
    wake_.notify_all();
}

bool KsAudioDevice::PinOpen() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pin_.has_value();
}

std::optional<StreamFormat> KsAudioDevice::Format() const {
    std::lock_guard<std::mutex> guard(lock_);
    if (!pin_) return std::nullopt;
    return pin_->format;
}

ULONG KsAudioDevice::PinState() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pin_ ? pin_->state : static_cast<ULONG>(KSSTATE_STOP);
}

uint64_t KsAudioDevice::CompletedPackets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pin_ ? pin_->packetsDone : 0;
}

uint64_t KsAudioDevice::LatePackets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return latePackets_;
}

void KsAudioDevice::Capture(const StreamFormat& format, int64_t, BYTE* destination, ULONG frames) {
    std::memset(destination, 0, static_cast<size_t>(frames) * format.blockAlign);
}

void KsAudioDevice::Render(const StreamFormat&, const BYTE*, ULONG, Clock::time_point) {}

// ---- Properties of the filter: the pin factories.

IoAnswer KsAudioDevice::FilterProperty(const KSPROPERTY& property, const BYTE* in, DWORD inSize, void* out,
                                       DWORD outSize) {
    std::lock_guard<std::mutex> guard(lock_);
    if (unplugged_) return {kErrorNotConnected, 0};
    if (property.Set == KSPROPSETID_Topology && property.Id == KSPROPERTY_TOPOLOGY_NODES && IsGet(property))
        return Answer(MultipleItem({}, 0), out, outSize);
    if (property.Set != KSPROPSETID_Pin || !IsGet(property)) return {ERROR_NOT_FOUND, 0};
    if (property.Id == KSPROPERTY_PIN_CTYPES) return Answer(BytesOf(ULONG{2}), out, outSize);
    if (inSize < sizeof(KSP_PIN)) return {ERROR_INVALID_PARAMETER, 0};
    KSP_PIN request;
    std::memcpy(&request, in, sizeof request);
    if (request.PinId != kStreamPin && request.PinId != kBridgePin) return {ERROR_INVALID_PARAMETER, 0};
    bool stream = request.PinId == kStreamPin;
    // The streaming pin faces the client; the bridge pin faces the microphone capsule or the speaker.
    ULONG flow = (setup_.capture == stream) ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    switch (property.Id) {
        case KSPROPERTY_PIN_COMMUNICATION:
            return Answer(BytesOf(ULONG(stream ? KSPIN_COMMUNICATION_SINK : KSPIN_COMMUNICATION_NONE)), out, outSize);
        case KSPROPERTY_PIN_DATAFLOW:
            return Answer(BytesOf(flow), out, outSize);
        case KSPROPERTY_PIN_INTERFACES:
            return Answer(Identifier(KSINTERFACESETID_Standard, setup_.streaming == Streaming::WaveRt && stream
                                                                    ? KSINTERFACE_STANDARD_LOOPED_STREAMING
                                                                    : KSINTERFACE_STANDARD_STREAMING),
                          out, outSize);
        case KSPROPERTY_PIN_MEDIUMS:
            return Answer(Identifier(KSMEDIUMSETID_Standard, 0), out, outSize);
        case KSPROPERTY_PIN_DATARANGES: {
            if (!stream) {
                KSDATARANGE analog{};
                analog.FormatSize = sizeof analog;
                analog.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
                analog.SubFormat = kSubtypeAnalog;
                analog.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
                return Answer(MultipleItem(BytesOf(analog), 1), out, outSize);
            }
            ULONG count = 0;
            std::vector<BYTE> ranges = DataRanges(setup_.formats, count);
            return Answer(MultipleItem(ranges, count), out, outSize);
        }
        case KSPROPERTY_PIN_CINSTANCES:
        case KSPROPERTY_PIN_GLOBALCINSTANCES:
            return Answer(BytesOf(KSPIN_CINSTANCES{stream ? 1u : 0u, stream && pin_ ? 1u : 0u}), out, outSize);
        case KSPROPERTY_PIN_CATEGORY:
            return Answer(BytesOf(GUID{}), out, outSize);
        case KSPROPERTY_PIN_NAME: {
            // Pin names are wide strings.
            const char* name = stream ? "Stream" : "Bridge";
            std::vector<BYTE> bytes;
            for (const char* c = name;; ++c) {
                bytes.push_back(static_cast<BYTE>(*c));
                bytes.push_back(0);
                if (!*c) break;
            }
            return Answer(bytes, out, outSize);
        }
        default:
            return {ERROR_NOT_FOUND, 0};
    }
}

// ---- Pin creation.

DWORD KsAudioDevice::CreatePin(const void*, const KSPIN_CONNECT* connect, DWORD connectSize,
                               std::shared_ptr<KernelFile>& file) {
    std::lock_guard<std::mutex> guard(lock_);
    if (unplugged_) return kErrorNotConnected;
    if (!connect || connectSize < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
        return ERROR_INVALID_PARAMETER;
    KSPIN_CONNECT head;
    std::memcpy(&head, connect, sizeof head);
    if (head.PinId != kStreamPin) return kErrorNoMatch;
    if (pin_) return kErrorBusy;
    if (refuseInstantiation_) return kErrorGenFailure;
    bool looped = setup_.streaming == Streaming::WaveRt;
    if (head.Interface.Set != KSINTERFACESETID_Standard ||
        head.Interface.Id != (looped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING) ||
        head.Medium.Set != KSMEDIUMSETID_Standard || head.Medium.Id != 0)
        return kErrorNoMatch;
    KSDATAFORMAT dataFormat;
    std::memcpy(&dataFormat, connect + 1, sizeof dataFormat);
    if (dataFormat.MajorFormat != KSDATAFORMAT_TYPE_AUDIO ||
        dataFormat.Specifier != KSDATAFORMAT_SPECIFIER_WAVEFORMATEX ||
        dataFormat.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) ||
        sizeof(KSPIN_CONNECT) + dataFormat.FormatSize > connectSize)
        return kErrorNoMatch;
    const auto* wave = reinterpret_cast<const BYTE*>(connect) + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
    std::vector<BYTE> copy(wave, wave + (dataFormat.FormatSize - sizeof(KSDATAFORMAT)));
    auto accepted = AcceptFormat(setup_.formats, reinterpret_cast<const WAVEFORMATEX*>(copy.data()),
                                 static_cast<ULONG>(copy.size()));
    if (!accepted) return kErrorNoMatch;

    auto pinFile = std::make_shared<PinFile>(shared_from_this());
    pin_.emplace();
    pin_->file = pinFile.get();
    pin_->format = *accepted;
    pin_->looped = looped;
    file = std::move(pinFile);
    return ERROR_SUCCESS;
}

void KsAudioDevice::ClosePin(const void* file) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!pin_ || pin_->file != file) return;
        CancelRequests(file, 0, true);
        if (pin_->notification) CloseHandle(pin_->notification);
        pin_.reset();
        clockRunning_ = false;
        StreamClosed();
    }
    wake_.notify_all();
}

void KsAudioDevice::CancelPinRequests(const void* file, DWORD thread) {
    std::lock_guard<std::mutex> guard(lock_);
    CancelRequests(file, thread, false);
}

void KsAudioDevice::CancelRequests(const void* file, DWORD thread, bool anyThread) {
    if (!pin_) return;
    auto& requests = pin_->requests;
    for (auto it = requests.begin(); it != requests.end();) {
        if (it->file == file && (anyThread || it->thread == thread)) {
            it->completion.Complete(ERROR_OPERATION_ABORTED, 0);
            it = requests.erase(it);
        } else {
            ++it;
        }
    }
}

// ---- Properties of the open pin.

IoAnswer KsAudioDevice::SetState(ULONG next) {
    Pin& pin = *pin_;
    if (next > KSSTATE_RUN) return {ERROR_INVALID_PARAMETER, 0};
    ULONG distance = next > pin.state ? next - pin.state : pin.state - next;
    if (distance > 1) return {ERROR_INVALID_PARAMETER, 0};
    // A looped pin has nothing to stream from before its buffer exists.
    if (pin.looped && next > KSSTATE_STOP && !pin.buffer) return {kErrorNotReady, 0};
    pin.state = next;
    if (next == KSSTATE_STOP) {
        // Stopping resets the stream: position and packet numbers start again, requests are given back.
        clockRunning_ = false;
        anchorFrames_ = 0;
        pin.packetsDone = 0;
        pin.announcedPacket = 0;
        pin.nextFrame = 0;
        CancelRequests(pin.file, 0, true);
    }
    UpdateClock(Clock::now());
    wake_.notify_all();
    return {ERROR_SUCCESS, 0};
}

IoAnswer KsAudioDevice::PinProperty(const void* file, const KSPROPERTY& property, const BYTE* in, DWORD inSize,
                                    void* out, DWORD outSize) {
    std::lock_guard<std::mutex> guard(lock_);
    if (unplugged_) return {kErrorNotConnected, 0};
    if (!pin_ || pin_->file != file) return {ERROR_INVALID_HANDLE, 0};
    Pin& pin = *pin_;

    if (property.Set == KSPROPSETID_Connection && property.Id == KSPROPERTY_CONNECTION_STATE) {
        if (IsGet(property)) return Answer(BytesOf(pin.state), out, outSize);
        if (!IsSet(property) || !out || outSize < sizeof(ULONG)) return {ERROR_INVALID_PARAMETER, 0};
        ULONG next;
        std::memcpy(&next, out, sizeof next);
        return SetState(next);
    }
    if (property.Set == KSPROPSETID_AudioBufferDuration && property.Id == KSPROPERTY_AUDIOBUFFERDURATION) {
        if (!IsSet(property) || inSize < sizeof(KSPROPERTY) + sizeof(ULONG)) return {ERROR_INVALID_PARAMETER, 0};
        return {ERROR_SUCCESS, 0};
    }
    if (property.Set != KSPROPSETID_RtAudio || !pin.looped) return {ERROR_NOT_FOUND, 0};

    switch (property.Id) {
        case KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION: {
            KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request;
            if (!IsGet(property) || inSize < sizeof request) return {ERROR_INVALID_PARAMETER, 0};
            std::memcpy(&request, in, sizeof request);
            if (outSize == 0) return {ERROR_MORE_DATA, sizeof(KSRTAUDIO_BUFFER)};
            if (!out || outSize < sizeof(KSRTAUDIO_BUFFER)) return {ERROR_INSUFFICIENT_BUFFER, 0};
            // The buffer is mapped while the stream stands still, and split into the two notified packets only.
            if (pin.state != KSSTATE_STOP) return {kErrorNotReady, 0};
            if (refuseBuffers_ || request.NotificationCount != 2 || request.RequestedBufferSize == 0 ||
                request.RequestedBufferSize > kMaxBufferBytes)
                return {ERROR_INVALID_PARAMETER, 0};
            ULONG block = pin.format.blockAlign;
            ULONG grain = std::max<ULONG>(1, setup_.bufferGranularityFrames);
            ULONG frames = (request.RequestedBufferSize + block - 1) / block;
            ULONG packetFrames = ((frames + 1) / 2 + grain - 1) / grain * grain;
            ULONG bytes = 2 * packetFrames * block;
            // A new buffer replaces the old one, whose mapping ends.
            pin.buffer.reset(new BYTE[bytes]());
            pin.bufferBytes = bytes;
            pin.packetFrames = packetFrames;
            KSRTAUDIO_BUFFER granted{};
            granted.BufferAddress = pin.buffer.get();
            granted.ActualBufferSize = bytes;
            granted.CallMemoryBarrier = FALSE;
            return Answer(BytesOf(granted), out, outSize);
        }
        case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT:
        case KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT: {
            KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request;
            if (!IsSet(property) || inSize < sizeof request) return {ERROR_INVALID_PARAMETER, 0};
            std::memcpy(&request, in, sizeof request);
            if (property.Id == KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT) {
                if (!pin.notification || !request.NotificationEvent) return {ERROR_INVALID_PARAMETER, 0};
                CloseHandle(pin.notification);
                pin.notification = nullptr;
                return {ERROR_SUCCESS, 0};
            }
            if (!pin.buffer || pin.notification) return {kErrorNotReady, 0};
            // The device keeps its own reference to the event, as a driver references the event object.
            HANDLE process = GetCurrentProcess();
            HANDLE reference = nullptr;
            if (!DuplicateHandle(process, request.NotificationEvent, process, &reference, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS))
                return {ERROR_INVALID_HANDLE, 0};
            pin.notification = reference;
            return {ERROR_SUCCESS, 0};
        }
        case KSPROPERTY_RTAUDIO_PACKETCOUNT:
            if (!IsGet(property)) return {ERROR_INVALID_PARAMETER, 0};
            CatchUp();
            return Answer(BytesOf(static_cast<ULONG>(pin.packetsDone)), out, outSize);
        case KSPROPERTY_RTAUDIO_GETREADPACKET: {
            if (!setup_.capture) return {ERROR_NOT_FOUND, 0};
            if (!IsGet(property)) return {ERROR_INVALID_PARAMETER, 0};
            CatchUp();
            if (pin.packetsDone == 0) return {kErrorNotReady, 0};
            // The number of packets completed since the stream started: the newest one is PacketNumber - 1.
            KSRTAUDIO_GETREADPACKET_INFO info{};
            info.PacketNumber = static_cast<ULONG>(pin.packetsDone);
            LARGE_INTEGER counter;
            QueryPerformanceCounter(&counter);
            info.PerformanceCounterValue = static_cast<ULONGLONG>(counter.QuadPart);
            info.MoreData = FALSE;
            return Answer(BytesOf(info), out, outSize);
        }
        case KSPROPERTY_RTAUDIO_SETWRITEPACKET: {
            if (setup_.capture || !setup_.writePacketSupport) return {ERROR_NOT_FOUND, 0};
            KSRTAUDIO_SETWRITEPACKET_INFO info;
            if (!IsSet(property)) return {ERROR_INVALID_PARAMETER, 0};
            if (inSize >= sizeof(KSPROPERTY) + sizeof info)
                std::memcpy(&info, in + sizeof(KSPROPERTY), sizeof info);
            else if (out && outSize >= sizeof info)
                std::memcpy(&info, out, sizeof info);
            else
                return {ERROR_INVALID_PARAMETER, 0};
            // Packets are announced in order, and not beyond what the two-packet buffer can hold.
            if (info.PacketNumber <= pin.announcedPacket || info.PacketNumber > pin.packetsDone + 2)
                return {ERROR_INVALID_PARAMETER, 0};
            pin.announcedPacket = info.PacketNumber;
            return {ERROR_SUCCESS, 0};
        }
        default:
            return {ERROR_NOT_FOUND, 0};
    }
}

// ---- Stream requests (standard streaming).

IoAnswer KsAudioDevice::StreamIo(const void* file, DWORD code, void* out, DWORD outSize,
                                 const IoCompletion& completion) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (unplugged_) return {kErrorNotConnected, 0};
        if (!pin_ || pin_->file != file) return {ERROR_INVALID_HANDLE, 0};
        Pin& pin = *pin_;
        if (pin.looped || code != (setup_.capture ? IOCTL_KS_READ_STREAM : IOCTL_KS_WRITE_STREAM))
            return {ERROR_INVALID_FUNCTION, 0};
        if (!out || outSize < sizeof(KSSTREAM_HEADER)) return {ERROR_INVALID_USER_BUFFER, 0};
        auto* header = static_cast<KSSTREAM_HEADER*>(out);
        ULONG block = pin.format.blockAlign;
        ULONG bytes = setup_.capture ? header->FrameExtent : header->DataUsed;
        if (header->Size < sizeof(KSSTREAM_HEADER) || !header->Data || bytes == 0 || bytes % block != 0 ||
            header->DataUsed > header->FrameExtent)
            return {ERROR_INVALID_PARAMETER, 0};
        if (pin.state == KSSTATE_STOP) return {kErrorNotReady, 0};
        // Frames that fell due while no request was waiting are gone: a capture pin lost them, a render pin
        // played silence in their place (one underrun for the whole gap).
        if (pin.requests.empty() && clockRunning_) {
            int64_t position = Position(Clock::now());
            if (!setup_.capture && position > pin.nextFrame)
                Render(pin.format, nullptr, static_cast<ULONG>(position - pin.nextFrame), FrameTime(pin.nextFrame));
            pin.nextFrame = std::max(pin.nextFrame, position);
        }
        pin.requests.push_back({header, completion, GetCurrentThreadId(), file});
    }
    wake_.notify_all();
    return {ERROR_IO_PENDING, 0};
}

// ---- Time.

int64_t KsAudioDevice::Position(Clock::time_point now) const {
    if (!clockRunning_ || !pin_) return anchorFrames_;
    return anchorFrames_ + crystal_.FramesBetween(anchorTime_, now, pin_->format.rate);
}

Clock::time_point KsAudioDevice::FrameTime(int64_t frame) const {
    return crystal_.TimeOfFrame(anchorTime_, frame - anchorFrames_, pin_->format.rate);
}

void KsAudioDevice::UpdateClock(Clock::time_point now) {
    if (stallUntil_ && now >= *stallUntil_) stallUntil_.reset();
    bool run = pin_ && pin_->state == KSSTATE_RUN && !stallUntil_ && !dead_ && !unplugged_;
    if (run == clockRunning_) return;
    if (run) {
        anchorTime_ = now;
        signalOffset_ = crystal_.FramesSinceEpoch(now, pin_->format.rate) - anchorFrames_;
        if (!pin_->requests.empty()) pin_->nextFrame = std::max(pin_->nextFrame, anchorFrames_);
    } else {
        anchorFrames_ = Position(now);
    }
    clockRunning_ = run;
}

std::optional<Clock::time_point> KsAudioDevice::NextDue(Clock::time_point* scheduled) const {
    if (!clockRunning_ || !pin_) return std::nullopt;
    const Pin& pin = *pin_;
    uint64_t index;
    int64_t dueFrame;
    int64_t ownFrame;  // where the packet itself ends, bursts or not
    if (pin.looped) {
        if (!pin.buffer || pin.packetFrames == 0) return std::nullopt;
        index = pin.packetsDone;
        uint64_t burst = static_cast<uint64_t>(burst_);
        dueFrame = static_cast<int64_t>((index / burst + 1) * burst * pin.packetFrames);
        ownFrame = static_cast<int64_t>((index + 1) * pin.packetFrames);
    } else {
        if (pin.requests.empty()) return std::nullopt;
        index = pin.packetsDone;
        const KSSTREAM_HEADER* header = pin.requests.front().header;
        ULONG bytes = setup_.capture ? header->FrameExtent : header->DataUsed;
        dueFrame = pin.nextFrame + bytes / pin.format.blockAlign;
        ownFrame = dueFrame;
    }
    Clock::time_point due = FrameTime(dueFrame);
    if (scheduled) *scheduled = FrameTime(ownFrame);
    if (delayEvery_ > 0 && (index + 1) % static_cast<uint64_t>(delayEvery_) == 0) due += delay_;
    return due;
}

Clock::duration KsAudioDevice::NextPacketLength() const {
    const Pin& pin = *pin_;
    ULONG frames = pin.packetFrames;
    if (!pin.looped) {
        const KSSTREAM_HEADER* header = pin.requests.front().header;
        frames = (setup_.capture ? header->FrameExtent : header->DataUsed) / pin.format.blockAlign;
    }
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(frames / crystal_.ActualRate(pin.format.rate)));
}

void KsAudioDevice::DmaTransfer(BYTE* to, const BYTE* from, size_t bytes) {
#if defined(__SANITIZE_THREAD__)
    __tsan_ignore_thread_begin();
#endif
    std::memcpy(to, from, bytes);
#if defined(__SANITIZE_THREAD__)
    __tsan_ignore_thread_end();
#endif
}

void KsAudioDevice::CompleteNext() {
    Pin& pin = *pin_;
    const StreamFormat& format = pin.format;
    if (pin.looped) {
        uint64_t k = pin.packetsDone;
        BYTE* packet = pin.buffer.get() + (k % 2) * pin.packetFrames * format.blockAlign;
        // The WaveRT buffer is shared with the client as a real device's DMA memory is: the hardware moves it
        // whenever its clock says, outside any lock or event the client could order its own accesses by. The
        // device's copy into or out of it is hidden from the thread sanitizer for that reason; everything else
        // the device does stays visible.
        const size_t bytes = static_cast<size_t>(pin.packetFrames) * format.blockAlign;
        dmaScratch_.resize(bytes);
        if (setup_.capture) {
            Capture(format, signalOffset_ + static_cast<int64_t>(k * pin.packetFrames), dmaScratch_.data(),
                    pin.packetFrames);
            DmaTransfer(packet, dmaScratch_.data(), bytes);
        } else {
            // A pin that takes packet announcements plays silence for a packet nobody announced.
            bool underrun = setup_.writePacketSupport && pin.announcedPacket < k + 1;
            DmaTransfer(dmaScratch_.data(), packet, bytes);
            Render(format, underrun ? nullptr : dmaScratch_.data(), pin.packetFrames,
                   FrameTime(static_cast<int64_t>((k + 1) * pin.packetFrames)));
        }
        pin.packetsDone = k + 1;
        pin.notifyPending = true;
        return;
    }
    StreamRequest request = pin.requests.front();
    pin.requests.pop_front();
    KSSTREAM_HEADER* header = request.header;
    if (setup_.capture) {
        ULONG frames = header->FrameExtent / format.blockAlign;
        Capture(format, signalOffset_ + pin.nextFrame, static_cast<BYTE*>(header->Data), frames);
        header->DataUsed = frames * format.blockAlign;
        pin.nextFrame += frames;
    } else {
        ULONG frames = header->DataUsed / format.blockAlign;
        Render(format, static_cast<const BYTE*>(header->Data), frames, FrameTime(pin.nextFrame + frames));
        pin.nextFrame += frames;
    }
    ++pin.packetsDone;
    request.completion.Complete(ERROR_SUCCESS, sizeof(KSSTREAM_HEADER));
}

// Hardware moves its buffer on its own clock and is never behind it, whatever the client's threads do; this thread
// can be held up by the machine. So whatever fell due meanwhile is completed at once, before the event is set (a
// client woken into the middle of it would take the device for one that stalled), and before the device's packet
// count is answered (a count behind the clock would tell the client of fewer packets than its buffer holds).
// Returns when the next packet falls due. Runs under the device's lock.
std::optional<Clock::time_point> KsAudioDevice::CatchUp() {
    for (;;) {
        Clock::time_point now = Clock::now();
        UpdateClock(now);
        Clock::time_point scheduled{};
        std::optional<Clock::time_point> due = NextDue(&scheduled);
        if (!due || *due > now) {
            if (pin_ && pin_->notifyPending) {
                pin_->notifyPending = false;
                if (pin_->notification) SetEvent(pin_->notification);
            }
            return due;
        }
        if (now - scheduled > NextPacketLength()) ++latePackets_;
        CompleteNext();
    }
}

void KsAudioDevice::Run() {
    std::unique_lock<std::mutex> lock(lock_);
    while (!quit_) {
        if (heldUntil_ && Clock::now() < *heldUntil_) {
            WaitForDeadline(wake_, lock, *heldUntil_);
            continue;
        }
        heldUntil_.reset();
        std::optional<Clock::time_point> until = CatchUp();
        if (stallUntil_ && (!until || *stallUntil_ < *until)) until = stallUntil_;
        if (until)
            WaitForDeadline(wake_, lock, *until);
        else
            wake_.wait(lock);
    }
}

}  // namespace sim::devices
