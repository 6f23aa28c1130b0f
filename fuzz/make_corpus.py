#!/usr/bin/env python3
"""Writes the seed corpora of the libFuzzer targets into fuzz/corpus/.

    python3 fuzz/make_corpus.py

Each seed is a known vector of the wire format or of the float text forms,
laid out as the target reads its input (see the comment at the top of
fuzz_mit.cpp and fuzz_frames.cpp).
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

DEFAULT_LIMITS = (12.5, 30.0, 500.0, 5.0, 10.0)
FEEDBACK = bytes.fromhex("117FFF7FF7FF1E20")
NAN = struct.unpack("<f", b"\x00\x00\xc0\x7f")[0]
INF = float("inf")


def f32s(*values):
    return b"".join(struct.pack("<f", v) for v in values)


def mit_seeds():
    z = (0.0,) * 5
    yield "default-zero", f32s(*DEFAULT_LIMITS, *z) + FEEDBACK
    yield "default-mixed", f32s(*DEFAULT_LIMITS, 1.0, -2.0, 50.0, 1.0, 3.0) + FEEDBACK
    yield "at-limits", f32s(*DEFAULT_LIMITS, 12.5, 30.0, 500.0, 5.0, 10.0) + bytes.fromhex("01FFFFFFFFFF0000")
    yield "at-lower", f32s(*DEFAULT_LIMITS, -12.5, -30.0, 0.0, 0.0, -10.0) + bytes(8)
    yield "beyond", f32s(*DEFAULT_LIMITS, 20.0, 40.0, 600.0, 6.0, -20.0) + bytes.fromhex("0100000000000000")
    yield "nan-q", f32s(*DEFAULT_LIMITS, NAN, 0.0, 0.0, 0.0, 0.0) + FEEDBACK
    yield "negative-p", f32s(-1.0, 30.0, 500.0, 5.0, 10.0, *z)
    yield "negative-kd", f32s(12.5, 30.0, 500.0, -2.0, 10.0, *z)
    yield "nan-limit", f32s(12.5, NAN, 500.0, 5.0, 10.0, *z)
    yield "zero-limits", f32s(0.0, -0.0, 0.0, -0.0, 0.0, 1.0, 1.0, 1.0, 1.0, 1.0) + FEEDBACK
    yield "inf-limits", f32s(INF, INF, INF, INF, INF, 1.0, -INF, INF, 2.0, NAN) + FEEDBACK
    yield "huge-limits", f32s(1e35, 3e38, 1e36, 1e37, 3.4e38, 0.0, 0.0, 1.0, 1.0, 0.0) + FEEDBACK
    yield "dm3507", f32s(12.566, 50.0, 500.0, 5.0, 5.0, 0.1, 0.0, 0.0, 0.0, 0.0) + FEEDBACK
    yield "tiny-limits", f32s(1e-45, 1e-40, 1e-38, 1e-45, 2e-45, 1e-45, -1e-45, 1e-45, 1e-40, 1e-45) + FEEDBACK
    # Text forms: the notation thresholds, extremes and subnormals.
    yield "text", f32s(*DEFAULT_LIMITS, *z) + FEEDBACK + f32s(
        1e-4, 9.9999e-5, 1e16, 9.99e15, 1e20, 3.4028235e38, 1.17549435e-38, 1e-45, -0.0, 0.1,
        -0.00019073486, -0.00001, 0.00005, 0.00015, 2.5e-5)


def record16(can_id, data, dlc=None):
    data = bytes(data)
    return struct.pack("<IB3x", can_id, len(data) if dlc is None else dlc) + data.ljust(8, b"\0")


def record72(can_id, data, flags=0x04, dlc=None):
    data = bytes(data)
    return struct.pack("<IBB2x", can_id, len(data) if dlc is None else dlc, flags) + data.ljust(64, b"\0")


def frames_seeds():
    yield "feedback-std-11", record16(0x11, FEEDBACK)
    yield "eff", record16(0x80000000 | 0x1ABCDEF0, b"\x01\x02\x03")
    yield "rtr", record16(0x40000123, b"", dlc=3)
    yield "err", record16(0x20000004, b"\x00\x01\x02\x03\x04\x05\x06\x07", dlc=0)
    yield "dlc-15", record16(0x11, FEEDBACK, dlc=15)
    yield "register-reply", record16(0x123, bytes.fromhex("0500330A01000000"))
    yield "fd-brs-64", record72(0x11, bytes(range(64)), flags=0x05)
    yield "fd-9", record72(0x80000011, bytes(range(9)))
    yield "fd-dlc-200", record72(0x11, FEEDBACK, dlc=200)
    for n in (0, 1, 8, 15, 17, 71, 73, 100):
        yield f"size-{n}", bytes((i * 37 + 11) & 0xFF for i in range(n))
    # Scripts (header: op, arg, motor id, master id, then steps).
    mid, master = b"\x02\x01", b"\x11\x00"
    # Motor 0x0102's reply to a read of register 10, from 0x123.
    reply = lambda v: b"\x08\x23\x01" + mid + struct.pack("<I", v)  # noqa: E731
    # The feedback to the refresh before a mode is written: disabled, enabled.
    disabled = b"\x80\x08\x02" + FEEDBACK[1:]
    enabled = b"\x80\x08\x12" + FEEDBACK[1:]
    yield "ensure-already", b"\x07\x01" + mid + master + reply(1)
    yield "ensure-switch", b"\x07\x01" + mid + master + reply(2) + disabled + reply(1)
    yield "ensure-enabled", b"\x07\x01" + mid + master + reply(2) + enabled + reply(1)
    yield "ensure-mismatch", b"\x07\x01" + mid + master + reply(2) + disabled + reply(0x101)
    yield "ensure-noise", b"\x07\x01" + mid + master + b"\x00\x23\x01\x07" + bytes(7) + reply(2) + \
        disabled + b"\x60\x03" + reply(1)
    yield "read-register", b"\x05\x0a" + mid + master + reply(7)
    yield "read-unknown", b"\x05\x0b" + mid + master + reply(7)
    yield "write-register", b"\x06\x0a" + mid + master + b"\x01\x00\x00\x00"
    yield "enable-reply", b"\x00\x00" + mid + master + b"\x80\x08" + FEEDBACK
    yield "enable-short", b"\x00\x00" + mid + master + b"\x80\x05" + FEEDBACK[:5]
    yield "enable-fd", b"\x00\x00" + mid + master + b"\x82\x0c" + FEEDBACK + b"\x01\x02\x03\x04"
    yield "mit-control", b"\x04\x01" + mid + master + f32s(1.0, -2.0, 50.0, 1.0, 3.0) + b"\x80\x08" + FEEDBACK
    yield "mit-bad-limits", b"\x04\xf5" + mid + master + f32s(1.0, -2.0, 50.0, 1.0, 3.0) + b"\x80\x08" + FEEDBACK
    yield "zero-timeout", b"\x08\x00" + mid + master + b"\x80\x08" + FEEDBACK
    yield "send-fails", b"\x27\x01" + mid + master + reply(2) + disabled + reply(1)


def write(target, seeds):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for name, data in seeds:
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("fuzz_mit", mit_seeds())
    write("fuzz_frames", frames_seeds())
