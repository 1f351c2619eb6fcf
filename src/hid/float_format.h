// The microphone's one command: switch its 32-bit samples to IEEE floats. A capture endpoint streaming 24 valid
// bits in 32-bit containers sends it while it starts; a microphone that echoes it delivers floats from then on.
//
// Runs on the thread that starts the endpoint (the clock thread, through the device manager's StartAll) while the
// endpoint's stream thread may already poll `floatSamples`. Blocks for at most the 2000 ms reply window plus the
// limit of the read under way when the window closes (HidChannel::kTransferTimeoutMs): about 4 seconds.
#pragma once

#include <atomic>

#include "hid/hid_channel.h"
#include "platform/win32.h"

namespace hid {

// Output report 2: the command byte, then eight zero bytes. Input report 1: the echo, then the acknowledgement.
inline constexpr BYTE kCommandReportId = 2;
inline constexpr BYTE kReplyReportId = 1;
inline constexpr BYTE kFloatFormatCommand = 0x4D;  // 'M'
inline constexpr BYTE kAcknowledge = 0x41;         // 'A'
inline constexpr BYTE kCommandPayloadBytes = 9;
inline constexpr DWORD kReplyWindowMs = 2000;

enum class FloatFormatReply {
    NotSent,         // not a 24-in-32 stream, or no HID channel: nothing was sent
    WriteFailed,     // the command could not be sent
    NoEcho,          // no reply echoed the command within the window
    EchoWithoutAck,  // echoed (floats from now on) but never acknowledged within the window
    Acknowledged,    // echoed and acknowledged
};

// Sends the float-format command when `format24In32` and the channel is open, and waits for the reply. An echo
// sets `floatSamples` (at once, for the stream thread); nothing ever clears it.
FloatFormatReply RequestFloatSamples(HidChannel& channel, bool format24In32, std::atomic<bool>& floatSamples);

}  // namespace hid
