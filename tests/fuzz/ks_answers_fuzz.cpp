// Fuzz target: arbitrary device answers to everything the kernel-streaming layer asks while it enumerates a
// filter's pins and nodes, parses their interfaces, mediums and data ranges, chooses and opens a pin, steps its
// state and sets up its WaveRT buffer. The layer must neither read outside a buffer nor loop without end,
// whatever the device says.
//
// Input: a sequence of answers, one per request in the order the layer sends them. Each answer is
//   byte 0: how it ends (0-3 success, 4 not found, 5 other error, 6 late success, 7 late failure)
//   bytes 1-2: the length L of its data (little-endian); bytes 3-6: the byte count it reports
//   then L data bytes (fewer if the input ends).
// When the input runs out every further request is "not found".
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "ks/ks_filter.h"
#include "sim/os/handles.h"
#include "sim/os/virtual_kernel.h"

namespace {

class AnswerStream {
public:
    AnswerStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    sim::os::IoAnswer Next(void* out, DWORD outSize, const sim::os::IoCompletion& completion) {
        if (offset_ + 7 > size_) return {ERROR_NOT_FOUND, 0};
        uint8_t kind = data_[offset_] & 7;
        size_t length = data_[offset_ + 1] | (size_t(data_[offset_ + 2]) << 8);
        DWORD reported;
        std::memcpy(&reported, data_ + offset_ + 3, sizeof reported);
        offset_ += 7;
        if (length > size_ - offset_) length = size_ - offset_;
        const uint8_t* bytes = data_ + offset_;
        offset_ += length;

        sim::os::IoAnswer answer;
        if (kind == 4) {
            answer = {ERROR_NOT_FOUND, 0};
        } else if (kind == 5 || kind == 7) {
            answer = {ERROR_INVALID_FUNCTION, 0};
        } else if (outSize == 0) {
            // A size query: the device names a size (any size).
            answer = {length ? DWORD(ERROR_MORE_DATA) : DWORD(ERROR_SUCCESS), reported};
        } else {
            // A kernel never writes beyond the caller's buffer; what it reports is its own business.
            std::memcpy(out, bytes, length < outSize ? length : outSize);
            answer = {ERROR_SUCCESS, reported};
        }
        if (kind >= 6) {
            completion.Complete(answer.error, answer.bytes);
            return {ERROR_IO_PENDING, 0};
        }
        return answer;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

class FuzzFile : public sim::os::KernelFile {
public:
    explicit FuzzFile(std::shared_ptr<AnswerStream> stream) : stream_(std::move(stream)) {}
    sim::os::IoAnswer DeviceIoControl(DWORD, const void*, DWORD, void* out, DWORD outSize,
                                      const sim::os::IoCompletion& completion) override {
        return stream_->Next(out, outSize, completion);
    }
    DWORD CreatePin(const KSPIN_CONNECT*, DWORD, ACCESS_MASK, std::shared_ptr<sim::os::KernelFile>& pin) override {
        pin = std::make_shared<FuzzFile>(stream_);
        return ERROR_SUCCESS;
    }

private:
    std::shared_ptr<AnswerStream> stream_;
};

class FuzzKernel : public sim::os::VirtualKernel {
public:
    explicit FuzzKernel(std::shared_ptr<AnswerStream> stream) : stream_(std::move(stream)) {}
    std::vector<sim::os::DeviceInterface> Interfaces(const GUID&) override { return {}; }
    DWORD Open(const std::string&, DWORD, std::shared_ptr<sim::os::KernelFile>& file) override {
        file = std::make_shared<FuzzFile>(stream_);
        return ERROR_SUCCESS;
    }

private:
    std::shared_ptr<AnswerStream> stream_;
};

WAVEFORMATEX Pcm(WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto stream = std::make_shared<AnswerStream>(data, size);
    const size_t handlesBefore = sim::os::OpenHandleCount();
    sim::os::InstallVirtualKernel(std::make_shared<FuzzKernel>(stream));
    {
        HRESULT hr = E_FAIL;
        CKsAudCapFilter filter("\\\\?\\fuzz#capture", hr);
        if (SUCCEEDED(filter.Instantiate())) {
            filter.EnumerateNodes();
            filter.EnumeratePins();
            WAVEFORMATEXTENSIBLE extensible{};
            extensible.Format = Pcm(1, 48000, 32);
            extensible.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
            extensible.Format.cbSize = 22;
            extensible.Samples.wValidBitsPerSample = 24;
            extensible.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
            WAVEFORMATEX pcm = Pcm(2, 48000, 16);
            CKsAudPin* pin = filter.CreateCapturePin(&extensible.Format, 1, 0);
            if (!pin) pin = filter.CreateCapturePin(&pcm, 1, 0);
            if (pin) {
                void* buffer = nullptr;
                ULONG granted = 0;
                ULONG packet = 0;
                pin->SetBufferDuration(3);
                pin->AllocateBuffersWithNotification(1152, buffer, granted);
                pin->_SetState(KSSTATE_RUN);
                pin->GetPacketCount(packet);
                pin->GetReadPacket(packet);
                pin->SetWritePacket(packet);
                pin->Reset();
                pin->_SetState(KSSTATE_PAUSE);
            }
        }
    }
    sim::os::InstallVirtualKernel(nullptr);
    // Filters, pins and their events are gone again: nothing the device said may leak a handle.
    if (sim::os::OpenHandleCount() != handlesBefore) __builtin_trap();
    return 0;
}
