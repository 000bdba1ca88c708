#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_mtftp (tests/fuzz/corpus/fuzz_mtftp/).

Each seed is the setup header of tests/fuzz/fuzz_mtftp.cpp (mode, buffer size,
listen and transmit timeouts) followed by reply records [flags, length (2
bytes), bytes]. Flags: 1 to the station, 2 broken checksum, 4 stranger port,
8 send the next record at once, 16 a genuine block (number in bytes 0-1).
"""
import os
import struct
import sys

STATION, BROKEN, STRANGER, CHAIN, GENUINE = 1, 2, 4, 8, 16


def rec(payload, flags=0):
    return struct.pack("!BH", flags, len(payload)) + payload


def head(mode, size, listen=1, transmit=1):
    return struct.pack("!BHBB", mode, size, listen - 1, transmit - 1)


def genuine(block=0, flags=0, length=5000):
    return rec(struct.pack("!HH", block, length), flags | GENUINE)


def data(n, b):
    return struct.pack("!HH", 3, n) + b


def error(code, text):
    return struct.pack("!HH", 5, code) + text + b"\0"


def main(out):
    os.makedirs(out, exist_ok=True)
    quiet = rec(b"", STRANGER)  # what the join report gets: nothing the driver takes
    opener = quiet + genuine(1, STATION | CHAIN) + genuine(1) + genuine() * 9
    seeds = {
        "opener": head(0, 8000) + opener,
        "opener-count-only": head(1, 0) + opener,
        "opener-left-in-8-byte-mode": head(4, 8000) + opener,
        "late-joiner": head(0, 8000, 2, 1) + genuine(3, CHAIN) + genuine(4, CHAIN) + genuine(5)
        + genuine(1, STATION | CHAIN) + genuine(1) + genuine() * 5,
        "group-only-then-block-2": head(0, 1200) + quiet + genuine(1) + genuine(2) + genuine(3),
        "fallback-after-error": head(0, 6000) + quiet + rec(error(1, b"no multicast"), STATION) + quiet
        + genuine(1, STATION) + genuine(0, STATION) * 10,
        "broken-and-stranger": head(0, 6000) + quiet + genuine(1, STATION | BROKEN | CHAIN)
        + genuine(1, STRANGER | CHAIN) + genuine(1, STATION | CHAIN) + genuine(1) + genuine() * 8,
        "gap-past-the-room": head(0, 1100) + genuine(1, CHAIN) + genuine(4, CHAIN) + genuine(5),
        "cyclic-other-block": head(2, 4000) + rec(data(5, b"\x11" * 512)),
        "cyclic-repeat": head(2, 4000) + genuine(1) + genuine(1, CHAIN) + genuine(1),
    }
    for name, blob in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(blob)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "tests", "fuzz", "corpus", "fuzz_mtftp"))
