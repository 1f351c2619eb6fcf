// HidChannel: the HID interface of one microphone, found by the container ID of the microphone's audio device and
// opened for overlapped I/O, over which single reports are exchanged with a fixed time limit.
//
// Ownership and life: each capture endpoint embeds one. The endpoint opens it when it is created (when its system
// endpoint has a container ID), uses it only in its start sequence (the float-format command, float_format.h)
// and closes it with itself. There is no reconnection: a microphone that goes away is a new endpoint.
//
// Threads: a channel is used by one thread at a time, the one that starts its endpoint. One OVERLAPPED record and
// one event serve reads and writes alike, so transfers are strictly sequential. A transfer that does not finish
// in time is cancelled and waited for before the call returns, so nothing of it is outstanding afterwards.
#pragma once

#include <string>

#include "platform/win32.h"

class HidChannel {
public:
    // Every transfer ends within this many milliseconds (a cancelled one a moment later).
    static constexpr DWORD kTransferTimeoutMs = 2000;
    // Reports travel through a buffer of this size: the report ID byte and at most 255 payload bytes.
    static constexpr ULONG kReportBufferBytes = 256;

    HidChannel();
    // Copies share nothing: each holds its own duplicates of the other's file and event handles.
    HidChannel(const HidChannel& other);
    HidChannel& operator=(const HidChannel& other);
    ~HidChannel();

    // Finds the HID interface whose device belongs to the physical device `containerId` (its base container
    // ID) and opens it. False when there is none or it cannot be opened; an all-zero ID matches nothing.
    bool Open(const GUID& containerId);
    bool IsOpen() const;
    // Sends one output report: `reportId`, then `length` payload bytes (length + 1 bytes in all).
    bool WriteReport(const BYTE* payload, BYTE length, BYTE reportId);
    // Receives one input report. True only when it carries `reportId`; then its first `length` payload bytes
    // are copied to `payload`. A report with another ID copies nothing.
    bool ReadReport(BYTE* payload, BYTE length, BYTE reportId);
    // Cancels pending I/O, closes both handles, forgets the path.
    void Close();

    const std::string& Path() const { return path; }
    ULONG InputReportLength() const { return inputReportLength; }
    ULONG OutputReportLength() const { return outputReportLength; }

private:
    // One overlapped read or write of `bytes` bytes through `buffer`, bounded by kTransferTimeoutMs.
    bool Transfer(bool write, BYTE* buffer, DWORD bytes);

    std::string path;       // the HID device-interface path that was opened; empty when closed
    HANDLE file;            // INVALID_HANDLE_VALUE when closed
    OVERLAPPED overlapped;  // its hEvent is the channel's auto-reset event, INVALID_HANDLE_VALUE when closed
    // From the device's capabilities, report ID byte included. The input length is held to the report buffer.
    ULONG inputReportLength;
    ULONG outputReportLength;
};
