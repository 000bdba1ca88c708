#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_tftp (tests/fuzz/corpus/fuzz_tftp/).

Each seed is the setup header of tests/fuzz/fuzz_tftp.cpp (operation, buffer
size, block size) followed by reply records [flags, length (2 bytes), bytes].
"""
import os
import struct
import sys


def rec(payload, flags=0):
    return struct.pack("!BH", flags, len(payload)) + payload


def head(op, size, block):
    return struct.pack("!BHH", op, size, block)


def genuine(block=0, size=0, flags=0, length=0):
    """A genuine DATA block of the harness's file (0: the next block, the size asked for, three blocks and 100 bytes)."""
    return rec(struct.pack("!HHH", block, size, length), flags | 8)


def data(n, b):
    return struct.pack("!HH", 3, n) + b


def oack(*pairs):
    return struct.pack("!H", 6) + b"".join(k + b"\0" + v + b"\0" for k, v in pairs)


def error(code, text):
    return struct.pack("!HH", 5, code) + text + b"\0"


def main(out):
    os.makedirs(out, exist_ok=True)
    block = bytes(range(256)) * 2
    seeds = {
        "oack-blksize-read": head(0, 4096, 512) + rec(oack((b"blksize", b"512")))
        + rec(data(1, block)) + rec(data(2, block)) + rec(data(3, b"tail")),
        "no-options-short": head(0, 4096, 512) + rec(data(1, b"small file")),
        "oack-tsize": head(1, 0, 512) + rec(oack((b"blksize", b"1024"), (b"tsize", b"123456"))),
        "size-by-count": head(1, 0, 512) + rec(oack((b"blksize", b"512")))
        + rec(data(1, block)) + rec(data(2, b"x")),
        "count-only": head(2, 0, 8192) + rec(oack((b"blksize", b"8192"))) + rec(data(1, b"y" * 8192))
        + rec(data(2, b"z")),
        "error-then-data": head(0, 2048, 512) + rec(error(8, b"no options")) + rec(data(1, b"abc")),
        "bigblk": head(0, 4096, 512) + rec(oack((b"blksize", b"512"), (b"bigblk#", b"8")))
        + rec(struct.pack("!HQ", 8, 1) + block) + rec(struct.pack("!HQ", 8, 2) + b"end"),
        "stranger-and-bad-checksum": head(0, 4096, 512) + rec(oack((b"blksize", b"512")))
        + rec(data(1, block), 1 | 4) + rec(data(1, block), 2 | 4) + rec(data(1, block)) + rec(data(2, b"")),
        "write": head(3, 1000, 512) + rec(oack((b"blksize", b"512"))) + rec(struct.pack("!HH", 4, 1))
        + rec(struct.pack("!HH", 4, 2)),
        "blksize-zero": head(0, 4096, 512) + rec(oack((b"blksize", b"0"))),
        # The genuine file, whole or with junk between its blocks.
        "genuine-no-options": head(0, 19000, 1468) + genuine(length=15000) * 11,
        "genuine-oack": head(0, 8000, 1024) + rec(oack((b"blksize", b"1024"))) + genuine(length=7777) * 8,
        "genuine-bigblk": head(0, 6000, 512) + rec(oack((b"blksize", b"512"), (b"bigblk#", b"8")))
        + genuine(length=5000) * 10,
        "genuine-with-repeats": head(0, 4000, 512) + rec(oack((b"blksize", b"512"))) + genuine(length=3000)
        + genuine(1, 512, length=3000) + genuine(length=3000) + genuine(1, 512, 1, 3000) + genuine(9, 512, 0, 3000)
        + genuine(length=3000) * 5,
        "genuine-multiple": head(0, 4000, 512) + rec(oack((b"blksize", b"512"))) + genuine(length=2048) * 5,
        "genuine-too-small": head(0, 1500, 512) + rec(oack((b"blksize", b"512"))) + genuine() * 4
        + rec(oack((b"blksize", b"512"), (b"tsize", b"65535"))),
        # Servers that never stop answering.
        "cyclic-repeat": head(0x80, 4096, 512) + rec(data(1, block)),
        "cyclic-oack": head(0x80, 4096, 512) + rec(oack((b"blksize", b"512"))),
        "cyclic-stranger": head(0x81, 0, 512) + rec(data(1, block), 1),
        "cyclic-genuine": head(0x82, 0, 512) + rec(oack((b"blksize", b"512"))) + genuine(),
    }
    for name, blob in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(blob)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "tests", "fuzz", "corpus", "fuzz_tftp"))
