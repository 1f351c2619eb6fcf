#include "wav_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {
void Put16(unsigned char* at, uint32_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}
void Put32(unsigned char* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}
constexpr uint32_t kHeaderBytes = 58;  // RIFF, fmt (18 bytes of format), fact, data headers
}  // namespace

bool WavWriter::Open(const std::string& path, Format format, uint32_t channels, uint32_t sampleRate) {
    Close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return false;
    format_ = format;
    channels_ = channels;
    sampleRate_ = sampleRate;
    frames_ = 0;
    failed_ = false;
    return WriteHeader();
}

// Written at the start with empty sizes and again at the end. The fact chunk is what readers expect of a
// non-PCM (float) file; PCM readers skip it.
bool WavWriter::WriteHeader() {
    const uint32_t bytesPerSample = format_ == Format::Float32 ? 4 : 3;
    const uint64_t dataBytes64 = frames_ * channels_ * bytesPerSample;
    const uint32_t dataBytes = static_cast<uint32_t>(std::min<uint64_t>(dataBytes64, 0xFFFFFFFFu - kHeaderBytes));
    unsigned char header[kHeaderBytes] = {};
    std::memcpy(header, "RIFF", 4);
    Put32(header + 4, kHeaderBytes - 8 + dataBytes);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    Put32(header + 16, 18);
    Put16(header + 20, format_ == Format::Float32 ? 3 : 1);
    Put16(header + 22, channels_);
    Put32(header + 24, sampleRate_);
    Put32(header + 28, sampleRate_ * channels_ * bytesPerSample);
    Put16(header + 32, channels_ * bytesPerSample);
    Put16(header + 34, bytesPerSample * 8);
    Put16(header + 36, 0);
    std::memcpy(header + 38, "fact", 4);
    Put32(header + 42, 4);
    Put32(header + 46, static_cast<uint32_t>(frames_));
    std::memcpy(header + 50, "data", 4);
    Put32(header + 54, dataBytes);
    if (std::fseek(file_, 0, SEEK_SET) != 0 || std::fwrite(header, 1, sizeof header, file_) != sizeof header) {
        failed_ = true;
        return false;
    }
    return std::fseek(file_, 0, SEEK_END) == 0;
}

bool WavWriter::Write(const float* interleaved, uint32_t frames) {
    if (!file_ || failed_) return false;
    const size_t samples = static_cast<size_t>(frames) * channels_;
    if (format_ == Format::Float32) {
        failed_ = std::fwrite(interleaved, sizeof(float), samples, file_) != samples;
    } else {
        std::vector<unsigned char> bytes(samples * 3);
        for (size_t i = 0; i < samples; ++i) {
            const float x = std::isnan(interleaved[i]) ? 0.0f : std::clamp(interleaved[i], -1.0f, 1.0f);
            const long value = std::clamp(std::lround(static_cast<double>(x) * 8388608.0), -8388608L, 8388607L);
            const uint32_t bits = static_cast<uint32_t>(value);
            bytes[3 * i] = static_cast<unsigned char>(bits);
            bytes[3 * i + 1] = static_cast<unsigned char>(bits >> 8);
            bytes[3 * i + 2] = static_cast<unsigned char>(bits >> 16);
        }
        failed_ = std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size();
    }
    if (!failed_) frames_ += frames;
    return !failed_;
}

bool WavWriter::Close() {
    if (!file_) return !failed_;
    WriteHeader();
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return closed && !failed_;
}
