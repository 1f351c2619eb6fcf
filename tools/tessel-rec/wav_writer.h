// A WAV file written as it grows: 32-bit float or 24-bit PCM, the sizes in the header patched when it closes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class WavWriter {
public:
    enum class Format { Float32, Pcm24 };
    WavWriter() = default;
    ~WavWriter() { Close(); }
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool Open(const std::string& path, Format format, uint32_t channels, uint32_t sampleRate);
    // Interleaved frames of full scale ±1; values beyond full scale are clipped in the PCM format.
    bool Write(const float* interleaved, uint32_t frames);
    // Patches the header; false if anything could not be written.
    bool Close();
    uint64_t FramesWritten() const { return frames_; }

private:
    bool WriteHeader();
    std::FILE* file_ = nullptr;
    Format format_ = Format::Float32;
    uint32_t channels_ = 0;
    uint32_t sampleRate_ = 0;
    uint64_t frames_ = 0;
    bool failed_ = false;
};
