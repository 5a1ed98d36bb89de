#!/usr/bin/env python3
"""Writes the hand-made seeds of the tick fuzzer: the cases a real line
produces (silence, the echo reply, an exception, a stray byte, a split reply,
a flood, a pending read), and those of the field rule (an echo before the
reply or the exception, junk before a reply, replies to a read, a broadcast).
Run again only to refresh fuzz/corpus/tick/seed-*."""
import os
import sys


def crc(data):
    c = 0xFFFF
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
    return bytes([c & 0xFF, c >> 8])


def frame(addr, fn=0x06, body=b"\x00\x4a\x00\x00"):
    head = bytes([addr, fn]) + body
    return head + crc(head)


def short_zero_check():
    """Six bytes with function 0x06 whose check is 00 00: the wiped bytes
    after them look like matching check bytes."""
    for v in range(0x10000):
        head = bytes([1, 6, 0, 0x4A, v >> 8, v & 0xFF])
        if crc(head) == b"\x00\x00":
            return head
    raise SystemExit("no such frame")


def ticks(addr, arrivals, pending_mask=0):
    out = bytes([addr, pending_mask])
    for a in arrivals:
        out += bytes([len(a)]) + a
    return out


echo = frame(1)
seeds = {
    "silence": ticks(1, [b""] * 9),
    "echo_tick2": ticks(1, [b"", echo]),
    "echo_tick8": ticks(1, [b""] * 7 + [echo]),
    "other_address": ticks(1, [b"", frame(9)]),
    "exception": ticks(1, [b"", frame(1, 0x86, b"\x02")[:5]] + [b""] * 7),
    "stray_byte": ticks(1, [b"", b"\x00" + echo] + [b""] * 7),
    "split": ticks(1, [b"", echo[:3], echo[3:]] + [b""] * 6),
    "pending_read": ticks(1, [b"", echo], pending_mask=0x04),
    "flood": bytes([7, 0]) + bytes([0]) + bytes([240]) + bytes(range(256)),
    "address_255": ticks(255, [b"", frame(255)]),
    "six_bytes_zero_check": ticks(1, [b"", short_zero_check()]),
    "echo_then_reply": ticks(1, [b"", echo + echo]),
    "echo_then_exception": ticks(1, [b"", echo + frame(1, 0x86, b"\x04")[:5]]),
    "junk_then_reply": ticks(1, [b"", b"\xff\x00" + echo]),
    "read_reply": ticks(1, [b"", frame(1, 0x03, b"\x02\x12\x34")[:7]]),
    "read_echo_then_reply": ticks(1, [b"", frame(1, 0x03, b"\x00\x4a\x00\x01")
                                      + frame(1, 0x03, b"\x02\x00\x00")[:7]]),
    "read_exception": ticks(1, [b"", frame(1, 0x83, b"\x02")[:5]]),
    "broadcast_echo": ticks(0, [b"", frame(0), b"", frame(0)]),
}
os.makedirs(sys.argv[1], exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], "seed-" + name), "wb") as f:
        f.write(data)
