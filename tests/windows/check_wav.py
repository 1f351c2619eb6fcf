#!/usr/bin/env python3
"""Checks a recording of virtual microphones that carry the ramp signal (frame n is (n mod 32768) / 32768).

After the settling time, every channel must advance one ramp step per frame: the converter resamples by a few
ppm, so the steps, judged unrounded, advance by its ratio and net a few repeated or skipped steps over the
recording, but any larger jump or a step back (other than the wrap from the top of the ramp to its start) is a
drop-out, and so is a stretch of silence. The levels must be the ramp's: peak at full scale, RMS that of a uniform ramp (1/sqrt(3), -4.77 dBFS).

A drop-out may be explained, by the rule tessel-rec's verdict judges breaks by: every break in a channel must be a
drop-out the driver counted or a late packet of that channel's own virtual device (a thread of the host process
held up, overwriting audio no hardware would have). The recording host passes that sum for each channel, and only
drop-outs beyond it fail; a break nobody counted is the driver's fault.

usage: check_wav.py FILE CHANNELS RATE [SETTLE_SECONDS [EXPLAINED,EXPLAINED,...]]
"""
import math
import struct
import sys

RAMP_PERIOD = 32768
SILENT_RUN = 4


def read_wav(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[0:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError("not a WAV file")
    pos, fmt, samples = 12, None, None
    while pos + 8 <= len(data):
        chunk, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
        body = data[pos + 8:pos + 8 + size]
        if chunk == b"fmt ":
            tag, channels, rate = struct.unpack_from("<HHI", body, 0)
            bits = struct.unpack_from("<H", body, 14)[0]
            if tag == 0xFFFE:
                tag = struct.unpack_from("<H", body, 24)[0]
            fmt = (tag, channels, rate, bits)
        elif chunk == b"data":
            samples = body
        pos += 8 + size + (size & 1)
    if fmt is None or samples is None:
        raise ValueError("no fmt or data chunk")
    tag, channels, rate, bits = fmt
    if tag == 3 and bits == 32:
        values = struct.unpack("<%df" % (len(samples) // 4), samples[:len(samples) // 4 * 4])
    elif tag == 1 and bits == 24:
        count = len(samples) // 3
        values = [int.from_bytes(samples[3 * i:3 * i + 3], "little", signed=True) / 8388608.0 for i in range(count)]
    else:
        raise ValueError("unsupported sample format %d/%d" % (tag, bits))
    frames = len(values) // channels
    return channels, rate, [values[c:frames * channels:channels] for c in range(channels)]


def main():
    path, want_channels, want_rate = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    settle = float(sys.argv[4]) if len(sys.argv) > 4 else 1.0
    explained = [int(n) for n in sys.argv[5].split(",")] if len(sys.argv) > 5 else []
    channels, rate, data = read_wav(path)
    failures = []
    if channels != want_channels or rate != want_rate:
        failures.append("format %d ch at %d Hz, expected %d ch at %d Hz" % (channels, rate, want_channels, want_rate))
    for index, samples in enumerate(data[:want_channels]):
        start = int(settle * rate)
        tail = samples[start:]
        if len(tail) < rate:
            failures.append("channel %d: only %d frames after settling" % (index + 1, len(tail)))
            continue
        steps = [x * RAMP_PERIOD for x in tail]
        # A stretch of silence is a buffer the driver had no audio for: the ramp is zero for one frame (or two,
        # where the converter straddles the wrap) per period, never for a run. Counted as one drop-out each.
        silent = [False] * len(steps)
        silences = 0
        run = 0
        for i, step in enumerate(steps + [1.0]):
            if step == 0.0:
                run += 1
                continue
            if run >= SILENT_RUN:
                silences += 1
                silent[i - run:i] = [True] * run
            run = 0
        # The converter interpolates: a sample falls between two ramp steps, so the steps are judged unrounded.
        # Each must advance by the converter's ratio, one step give or take a few hundred ppm; the sum of what
        # they advance beyond one step per frame is the net of the steps the converter repeated or skipped.
        drop_outs, net = silences, 0.0
        for i, (a, b) in enumerate(zip(steps, steps[1:])):
            if silent[i] or silent[i + 1]:
                continue
            delta = (b - a) % RAMP_PERIOD
            near_wrap = a < 4 or a > RAMP_PERIOD - 4 or b < 4 or b > RAMP_PERIOD - 4
            if abs(delta - 1.0) <= 0.5:
                net += delta - 1.0
            elif not near_wrap:
                drop_outs += 1
        peak = max(abs(x) for x in tail)
        rms = math.sqrt(sum(x * x for x in tail) / len(tail))
        peak_db = 20 * math.log10(peak) if peak > 0 else -math.inf
        rms_db = 20 * math.log10(rms) if rms > 0 else -math.inf
        # A crystal 100 ppm off makes the converter repeat (or skip) one step in ten thousand frames net, until
        # the steering has measured it; bound the net at twice that.
        net_allowed = int(len(tail) * 200e-6) + 2
        print("  channel %d: %d frames checked, %d drop-outs, net %+.1f steps repeated (-) or skipped (+) "
              "(%+.0f ppm), peak %.2f dBFS, RMS %.2f dBFS" % (index + 1, len(tail), drop_outs, net,
                                                            1e6 * net / len(tail), peak_db, rms_db))
        allowed = explained[index] if index < len(explained) else 0
        if drop_outs > allowed:
            failures.append("channel %d: %d drop-outs, only %d explained by the driver's count and its device's "
                            "own lateness" % (index + 1, drop_outs, allowed))
        if abs(net) > net_allowed:
            failures.append("channel %d: net %+.1f steps repeated or skipped (at most %d either way)" %
                            (index + 1, net, net_allowed))
        # The converter's interpolation overshoots the ramp's drop from full scale to zero by about a tenth;
        # float samples keep that, integer ones clip it.
        if not -0.1 <= peak_db <= 1.5:
            failures.append("channel %d: peak %.2f dBFS, expected the ramp's full scale" % (index + 1, peak_db))
        if abs(rms_db - 20 * math.log10(1 / math.sqrt(3))) > 0.2:
            failures.append("channel %d: RMS %.2f dBFS, expected -4.77" % (index + 1, rms_db))
    for failure in failures:
        print("  FAIL  " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
