// tessel-rec as an ASIO host: opens a driver as hosts do (the ASIO registry keys, COM with the class ID as the
// interface ID), init, createBuffers for every channel, start, and records every input for a while.
//
// Threads: the driver's clock thread runs the buffer switch, which only copies the input halves into a ring of
// blocks made at set-up (no allocation, no lock, no printing there). The main thread drains the ring into the WAV
// file and the level meters, prints the progress, and makes every IASIO call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asio/asio.h"
#include "machine.h"
#include "wav_writer.h"

struct RecordOptions {
    std::string driverFilter = "Tessel ASIO Driver";  // the key under SOFTWARE\\ASIO
    bool floatClass = false;
    double sampleRate = 48000.0;
    int32_t bufferSize = 0;  // 0: the driver's preferred size
    double seconds = 5.0;
    std::string outputPath = "tessel-rec.wav";
    WavWriter::Format format = WavWriter::Format::Float32;
    bool progress = true;
    // Where the recording holds a sound every input hears once every this many seconds (the virtual room's
    // events, or a click track in a real room): find it in each input and report the spread and wander; 0: don't.
    double eventIntervalSeconds = 0.0;
    double settleSeconds = 0.0;  // events before this are left out of that report
};

struct ChannelReport {
    std::string name;
    float peak = 0.0f;
    double sumSquares = 0.0;
    uint64_t frames = 0;      // frames since the channel started to deliver
    uint32_t dropOuts = 0;    // silent buffers after the start, and breaks in a known signal
    bool started = false;     // delivered anything at all
    double latencySum = 0.0;  // measured latencies (frames), when the signal and machine allow
    uint32_t latencyCount = 0;
    int64_t latencyMin = 0, latencyMax = 0;
    MicrophoneMetrics metrics;
    // Packets the microphone's device itself completed over a packet late while recording (virtual machines).
    bool deviceLateKnown = false;
    uint64_t deviceLatePackets = 0;
};

struct RecordResult {
    int exitCode = 1;
    std::vector<ChannelReport> channels;
    int32_t inputLatency = 0, outputLatency = 0;
    // The output latency measured from pulses written to the outputs, where the machine hears its outputs.
    uint32_t outputLatencyCount = 0;
    double outputLatencySum = 0.0;
    double outputLatencyMin = 0.0, outputLatencyMax = 0.0;
    int32_t bufferSize = 0;
    double sampleRate = 0;
    uint64_t framesWritten = 0;
    uint32_t hostOverruns = 0;    // blocks tessel-rec itself could not keep
    uint32_t driverDropOuts = 0;  // as the driver counted them (virtual machine only)
    bool driverDropOutsKnown = false;
};

// Records as the options say; prints progress and the summary. The exit code is non-zero when the driver could
// not be opened or when audio was lost: 3 in general, 4 where only the virtual devices' own lateness explains
// every loss (verdict.h).
RecordResult Record(const RecordOptions& options, Machine& machine);
