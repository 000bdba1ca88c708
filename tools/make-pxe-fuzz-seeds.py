#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_pxe_packet: PXE offers, proxy offers and
boot-server replies with the vendor sub-options the driver reads (multicast
TFTP, discovery control, boot servers, boot menu, credential types, boot
item), option overload, and a few whose lengths disagree.

Also the seeds of fuzz_pxe_replies: a mode byte (bit 0 discovery, bit 1 the
selection after the collection), a server type, then replies as records of a
2-byte length and the bytes.

Usage: tools/make-pxe-fuzz-seeds.py [corpus dir]
(default tests/fuzz/corpus). The seeds are checked in; run this again only to
change them."""
import os
import struct
import sys

MAC = bytes.fromhex("525400123456")
COOKIE = bytes.fromhex("63825363")
SERVER = bytes([10, 0, 0, 1])
OFFERED = bytes([10, 0, 0, 50])


def opt(code, value=b""):
    return bytes([code, len(value)]) + value


def message(options, yiaddr=b"\0" * 4, sname=b"", file=b""):
    fixed = struct.pack("!BBBBIHH", 2, 1, 6, 0, 0x1234, 0, 0)
    fixed += b"\0" * 4 + yiaddr + SERVER + b"\0" * 4
    fixed += MAC + b"\0" * 10
    fixed += sname.ljust(64, b"\0") + file.ljust(128, b"\0")
    return fixed + COOKIE + options


PXE = opt(60, b"PXEClient")
MTFTP = opt(1, bytes([224, 1, 1, 1])) + opt(2, b"\x04\xd2") + opt(3, b"\x04\xd3") + opt(4, b"\x01") + opt(5, b"\x02")
SERVERS = opt(8, b"\x00\x01\x02" + SERVER + bytes([10, 0, 0, 2]) + b"\x00\x03\x00")
MENU = opt(9, b"\x80\x01\x04Boot" + b"\x00\x00\x05Local") + opt(10, b"\x00Pick")
ITEM = opt(71, b"\x80\x01\x00\x00")

SEEDS = {
    "pxe-offer-class1": message(opt(53, b"\x02") + opt(54, SERVER) + PXE
                                + opt(43, opt(6, b"\x0b") + SERVERS + b"\xff") + opt(67, b"boot.efi") + b"\xff",
                                yiaddr=OFFERED),
    "proxy-offer-menu": message(opt(53, b"\x02") + opt(54, SERVER) + PXE
                                + opt(43, opt(6, b"\x00") + opt(7, bytes([224, 0, 1, 2])) + MENU + b"\xff") + b"\xff"),
    "proxy-offer-mtftp": message(opt(53, b"\x02") + opt(54, SERVER) + PXE + opt(43, MTFTP + b"\xff")
                                 + opt(67, b"m.efi") + b"\xff"),
    "boot-server-ack": message(opt(53, b"\x05") + opt(54, SERVER) + PXE
                               + opt(43, ITEM + opt(12, b"\x00\x00\x00\x01") + b"\xff") + b"\xff",
                               file=b"images/boot.efi"),
    "overload-both": message(opt(53, b"\x05") + opt(52, b"\x03") + b"\xff", yiaddr=OFFERED,
                             sname=opt(54, SERVER) + b"\xff", file=opt(43, ITEM) + opt(67, b"f") + b"\xff"),
    "nested-lengths-disagree": message(opt(53, b"\x02") + opt(54, SERVER) + bytes([43, 6, 8, 9, 0, 1, 3, 10])
                                       + b"\xff"),
    "menu-without-end": message(opt(53, b"\x02") + PXE + opt(43, opt(6, b"\x02") + bytes([9, 5, 0x80, 1, 9, 66, 66])
                                                          + opt(10, b"\x00")) + b"\xff"),
    "plain-offer": message(opt(53, b"\x02") + opt(54, SERVER) + opt(1, bytes([255, 255, 255, 0]))
                           + opt(3, SERVER) + b"\xff", yiaddr=OFFERED),
}


def records(*replies):
    return b"".join(struct.pack("!H", len(r)) + r for r in replies)


REPLY_SEEDS = {
    "collect-class1-and-plain": b"\x02\x00" + records(SEEDS["pxe-offer-class1"], SEEDS["plain-offer"]),
    "collect-proxy-menu": b"\x02\x00" + records(SEEDS["plain-offer"], SEEDS["proxy-offer-menu"]),
    "collect-mtftp-hostile": b"\x02\x00" + records(SEEDS["proxy-offer-mtftp"], SEEDS["nested-lengths-disagree"],
                                                     SEEDS["menu-without-end"], SEEDS["plain-offer"]),
    "discover-type-128": b"\x01\x80" + records(SEEDS["boot-server-ack"]),
    "discover-overload": b"\x81\x00" + records(SEEDS["overload-both"], SEEDS["boot-server-ack"]),
}


def write(out, seeds):
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "tests", "fuzz", "corpus")
    write(os.path.join(out, "fuzz_pxe_packet"), SEEDS)
    write(os.path.join(out, "fuzz_pxe_replies"), REPLY_SEEDS)


if __name__ == "__main__":
    main()
