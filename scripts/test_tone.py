#!/usr/bin/env python3
"""Plays the test microphone's sound into a PulseAudio sink: a 440 Hz tone at
1/8 of full scale, 48 kHz stereo, and with KINOVO_SYNC_PERIOD_MS set a click
at every multiple of that period on CLOCK_MONOTONIC. The virtual camera
flashes on the same schedule, so a recording of both shows how far apart
picture and sound ended up.

The click is 2 ms of a positive offset on top of the tone (it adds no zero
crossings, so the tone's pitch still measures right). It goes where the
sink plays at the scheduled instant: the stream's latency says when the
next sample written will be played.

  test_tone.py SINK [READY_FILE]
"""

import ctypes
import math
import os
import struct
import sys
import time

RATE = 48000
CHANNELS = 2
BLOCK = 240  # frames written at a time (5 ms)
AMPLITUDE = 32768 // 8
CLICK_FRAMES = 96
CLICK_OFFSET = 20000


class SampleSpec(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


class BufferAttr(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32) for name in ("maxlength", "tlength", "prebuf", "minreq", "fragsize")]


PA_SAMPLE_S16LE = 3
PA_STREAM_PLAYBACK = 1


def main():
    sink = sys.argv[1].encode()
    ready = sys.argv[2] if len(sys.argv) > 2 else None
    period_ms = int(os.environ.get("KINOVO_SYNC_PERIOD_MS", "0") or 0)
    period_ns = period_ms * 1_000_000

    pulse = ctypes.CDLL("libpulse-simple.so.0")
    pulse.pa_simple_new.restype = ctypes.c_void_p
    pulse.pa_simple_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                                    ctypes.c_char_p, ctypes.POINTER(SampleSpec), ctypes.c_void_p,
                                    ctypes.POINTER(BufferAttr), ctypes.POINTER(ctypes.c_int)]
    pulse.pa_simple_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                      ctypes.POINTER(ctypes.c_int)]
    pulse.pa_simple_get_latency.restype = ctypes.c_uint64
    pulse.pa_simple_get_latency.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]

    # A sound card does not skip when the machine is busy: ahead of other
    # processes where that is allowed.
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
    except (OSError, AttributeError):
        try:
            os.nice(-10)
        except OSError:
            pass

    sample_spec = SampleSpec(PA_SAMPLE_S16LE, RATE, CHANNELS)
    frame_bytes = 2 * CHANNELS
    none = 0xFFFFFFFF
    # 80 ms of buffering: the sink then plays (and its monitor hands out)
    # 20 ms blocks, as a sound card does.
    attr = BufferAttr(none, RATE * 80 // 1000 * frame_bytes, none, none, none)
    error = ctypes.c_int(0)
    stream = pulse.pa_simple_new(None, b"Kinovo test tone", PA_STREAM_PLAYBACK, sink, b"tone",
                                 ctypes.byref(sample_spec), None, ctypes.byref(attr), ctypes.byref(error))
    if not stream:
        print("test_tone: cannot play to %s (error %d)" % (sink.decode(), error.value), file=sys.stderr)
        return 1

    # One second of tone: 440 whole periods, so it repeats without a seam.
    tone = [int(round(AMPLITUDE * math.sin(2 * math.pi * 440 * i / RATE))) for i in range(RATE)]
    written = 0  # frames
    while True:
        start = written % RATE
        block = tone[start:start + BLOCK]
        if period_ns:
            # When the first frame of this block will be played.
            latency_ns = pulse.pa_simple_get_latency(stream, ctypes.byref(error)) * 1000
            first_ns = time.monotonic_ns() + latency_ns
            end_ns = first_ns + BLOCK * 1_000_000_000 // RATE
            # Clicks that begin in this block, or began in the last one and go on.
            event = (first_ns - CLICK_FRAMES * 1_000_000_000 // RATE) // period_ns * period_ns + period_ns
            while event < end_ns:
                at = (event - first_ns) * RATE // 1_000_000_000
                for i in range(max(at, 0), min(at + CLICK_FRAMES, BLOCK)):
                    block[i] = min(block[i] + CLICK_OFFSET, 32767)
                event += period_ns
        data = struct.pack("<%dh" % (BLOCK * CHANNELS), *[s for s in block for _ in range(CHANNELS)])
        if pulse.pa_simple_write(stream, data, len(data), ctypes.byref(error)) < 0:
            print("test_tone: write to %s failed (error %d)" % (sink.decode(), error.value), file=sys.stderr)
            return 1
        written += BLOCK
        if ready and written >= RATE // 10:
            open(ready, "w").close()
            ready = None


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
