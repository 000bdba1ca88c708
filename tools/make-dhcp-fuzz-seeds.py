#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_dhcp_packet: small DHCP messages of the
shapes the driver meets (client messages, offers, acknowledgements, option
overload, the WIRL vendor class with option 43) and a few broken ones.

Usage: tools/make-dhcp-fuzz-seeds.py [output dir]
(default tests/fuzz/corpus/fuzz_dhcp_packet). The seeds are checked in; run
this again only to change them."""
import os
import struct
import sys

MAC = bytes.fromhex("525400123456")
COOKIE = bytes.fromhex("63825363")


def opt(code, value=b""):
    return bytes([code, len(value)]) + value


def message(op, options, xid=0x1234, yiaddr=b"\0" * 4, siaddr=b"\0" * 4, sname=b"", file=b"", pad_to=0):
    fixed = struct.pack("!BBBBIHH", op, 1, 6, 0, xid, 4, 0)
    fixed += b"\0" * 4 + yiaddr + siaddr + b"\0" * 4
    fixed += MAC + b"\0" * 10
    fixed += sname.ljust(64, b"\0") + file.ljust(128, b"\0")
    body = fixed + COOKIE + options
    return body.ljust(pad_to, b"\0")


WIRL_CLASS = opt(60, b"ZEKOWIRLC/i386/ACPI")
SERVER = bytes([10, 0, 0, 1])
OFFERED = bytes([10, 0, 0, 50])
LEASE = opt(1, bytes([255, 255, 255, 0])) + opt(3, SERVER) + opt(51, struct.pack("!I", 3600)) + opt(54, SERVER)

SEEDS = {
    "discover": message(1, opt(53, b"\x01") + opt(55, bytes([1, 3, 67, 43, 60])) + opt(57, b"\x05\xdc")
                        + opt(61, b"\x01" + MAC) + WIRL_CLASS + opt(43, b"\x02\x02\x01\x01") + b"\xff", pad_to=548),
    "offer": message(2, opt(53, b"\x02") + LEASE + b"\xff", yiaddr=OFFERED, siaddr=SERVER, file=b"boot/x64.efi"),
    "ack-option67": message(2, opt(53, b"\x05") + LEASE + opt(67, b"images/boot.efi") + b"\xff", yiaddr=OFFERED),
    "bootp-reply": message(2, b"\xff", yiaddr=OFFERED, siaddr=SERVER, sname=b"server", file=b"pxe/boot"),
    "fixed-only": message(2, b""),
    "overload-file": message(2, opt(53, b"\x05") + opt(52, b"\x01") + LEASE + b"\xff", yiaddr=OFFERED,
                             file=opt(67, b"in-file.efi") + opt(66, b"tftp") + b"\xff"),
    "overload-both": message(2, opt(53, b"\x02") + opt(52, b"\x03") + opt(12, b"main") + b"\xff", yiaddr=OFFERED,
                             file=opt(12, b"file") + b"\xff", sname=opt(12, b"sname") + opt(15, b"lan") + b"\xff"),
    "wirl-offer": message(2, opt(53, b"\x02") + LEASE + WIRL_CLASS
                          + opt(43, b"\x01\x01\x02" + b"\x03\x04\x00\x00\x00\x01" + b"\xff") + b"\xff",
                          yiaddr=OFFERED, file=b"wirl/boot.efi"),
    "wirl-two-43": message(2, opt(53, b"\x05") + opt(54, SERVER) + opt(60, b"ZEKOWIRLC")
                           + opt(43, b"\x01\x01\x03") + opt(1, bytes([255, 255, 0, 0])) + opt(43, b"\x0b\x00\x47\x02ab")
                           + b"\xff"),
    "wirl-split-43": message(2, opt(53, b"\x05") + opt(60, b"ZEKOWIRLC") + opt(43, b"\x01\x03\x01")
                             + opt(43, b"\x02\x03") + b"\xff"),
    "many-options": message(2, b"".join(opt(100 + i, bytes([i]) * (i % 3)) for i in range(40)) + b"\xff"),
    "pads-and-trailing": message(2, b"\0" * 20 + opt(53, b"\x06") + b"\xff" + opt(53, b"\x05") + b"\x37"),
    "truncated-option": message(2, opt(53, b"\x02") + b"\x36\x04\x0a\x00"),
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "tests", "fuzz",
                                                             "corpus", "fuzz_dhcp_packet")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
