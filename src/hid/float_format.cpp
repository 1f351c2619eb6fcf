#include "hid/float_format.h"

namespace hid {

FloatFormatReply RequestFloatSamples(HidChannel& channel, bool format24In32, std::atomic<bool>& floatSamples) {
    if (!format24In32 || !channel.IsOpen()) return FloatFormatReply::NotSent;

    const BYTE command[kCommandPayloadBytes] = {kFloatFormatCommand};
    // Sent once: a microphone that missed it keeps delivering integers, which the endpoint converts as such.
    if (!channel.WriteReport(command, kCommandPayloadBytes, kCommandReportId)) return FloatFormatReply::WriteFailed;

    FloatFormatReply outcome = FloatFormatReply::NoEcho;
    BYTE reply[kCommandPayloadBytes] = {};
    const DWORD start = timeGetTime();
    // The window is checked before each read, so a read begun just before it closes may still add its own limit.
    while (timeGetTime() - start < kReplyWindowMs) {
        if (!channel.ReadReport(reply, kCommandPayloadBytes, kReplyReportId)) continue;
        // Other input reports of the microphone pass by; only the echo answers the command.
        if (reply[0] != kFloatFormatCommand) continue;
        floatSamples.store(true, std::memory_order_release);
        outcome = FloatFormatReply::EchoWithoutAck;
        if (reply[1] == kAcknowledge) return FloatFormatReply::Acknowledged;
    }
    return outcome;
}

}  // namespace hid
