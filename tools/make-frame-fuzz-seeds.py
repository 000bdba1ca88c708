#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_frames (tests/fuzz/corpus/fuzz_frames/).

Each seed is the setup header of tests/fuzz/fuzz_frames.cpp followed by frame
records [kind, length (2 bytes), bytes]; kind 0 IPv4, 1 ARP.
"""
import os
import struct
import sys

CLIENT = bytes([10, 0, 0, 2])
PEER = bytes([10, 0, 0, 1])
CLIENT_MAC = bytes([0x52, 0x54, 0x00, 0x12, 0x34, 0x56])
PEER_MAC = bytes([0x02, 0, 0, 0, 0, 1])


def checksum(b):
    if len(b) % 2:
        b += b"\0"
    s = sum(struct.unpack("!%dH" % (len(b) // 2), b))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def ipv4(payload, proto=17, src=PEER, dst=CLIENT, ident=0x1111, mf=False, offset=0, options=b"", ttl=64):
    ihl = (20 + len(options)) // 4
    flags = (0x2000 if mf else 0) | (offset // 8)
    h = struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, 4 * ihl + len(payload), ident, flags, ttl, proto, 0, src, dst)
    h += options
    h = h[:10] + struct.pack("!H", checksum(h)) + h[12:]
    return h + payload


def udp(data, sport=5000, dport=4000, src=PEER, dst=CLIENT):
    u = struct.pack("!HHHH", sport, dport, 8 + len(data), 0) + data
    c = checksum(src + dst + struct.pack("!BBH", 0, 17, len(u)) + u) or 0xFFFF
    return u[:6] + struct.pack("!H", c) + u[8:]


def arp(op, sha, spa, tha, tpa):
    return struct.pack("!HHBBH", 1, 0x0800, 6, 4, op) + sha + spa + tha + tpa


def igmp(kind, max_resp, group):
    m = struct.pack("!BBH4s", kind, max_resp, 0, group)
    return m[:2] + struct.pack("!H", checksum(m)) + m[4:]


def icmp_error(kind, code, quoted):
    m = struct.pack("!BBHI", kind, code, 0, 0) + quoted
    return m[:2] + struct.pack("!H", checksum(m)) + m[4:]


def record(kind, b):
    return bytes([kind]) + struct.pack("!H", len(b)) + b


def header(mode, filters=0, groups=0, header_length=8, capacity=1500):
    return bytes([mode, filters, groups]) + struct.pack("!HH", header_length, capacity)


def fragments(payload, ident, order, size=1464):
    pieces = []
    for off in range(0, len(payload), size):
        pieces.append((off, payload[off:off + size], off + size < len(payload)))
    return [record(0, ipv4(pieces[i][1], ident=ident, mf=pieces[i][2], offset=pieces[i][0])) for i in order]


def main(out):
    os.makedirs(out, exist_ok=True)
    data3000 = bytes((i * 7 + 1) & 0xFF for i in range(3000))
    big = udp(data3000)
    seeds = {
        "udp-whole": header(0x0F) + record(0, ipv4(udp(b"hello, station"))),
        "udp-fragments-last-first": header(0x0F, capacity=4000)
        + b"".join(fragments(big, 0x1111, [2, 1]))
        + b"".join(fragments(udp(data3000[:2000]), 0x2222, [0]))
        + b"".join(fragments(big, 0x1111, [0])),
        "udp-duplicates-overlap": header(0x0F, capacity=4000)
        + b"".join(fragments(big, 0x3333, [0, 0, 2, 1, 1])),
        "icmp-error": header(0x0F) + record(0, ipv4(icmp_error(3, 3, ipv4(udp(b"x" * 8), src=CLIENT, dst=PEER)[:28]), proto=1)),
        "igmp-v1-query": header(0x2F, filters=1, groups=2)
        + record(0, ipv4(igmp(0x11, 0, b"\0\0\0\0"), proto=2, dst=bytes([224, 0, 0, 1]), options=b"\x94\x04\0\0", ttl=1)),
        "igmp-v2-group-query-and-report": header(0x2F, filters=1, groups=3)
        + record(0, ipv4(igmp(0x11, 20, bytes([239, 1, 1, 2])), proto=2, dst=bytes([239, 1, 1, 2]), ttl=1))
        + record(0, ipv4(igmp(0x16, 0, bytes([239, 1, 1, 1])), proto=2, dst=bytes([239, 1, 1, 1]), ttl=1)),
        "arp-request-and-reply": header(0x0F)
        + record(1, arp(1, PEER_MAC, PEER, bytes(6), CLIENT))
        + record(1, arp(2, bytes([2, 0, 0, 0, 0, 9]), bytes([10, 0, 0, 9]), CLIENT_MAC, CLIENT)),
        "ip-options": header(0x0F) + record(0, ipv4(udp(b"behind options"), options=b"\x94\x04\0\0\x01\x01\x01\0")),
        "bad-headers": header(0x0F)
        + record(0, ipv4(udp(b"a"))[:10] + b"\0\0" + ipv4(udp(b"a"))[12:])
        + record(0, b"\x4f" + ipv4(udp(b"b"))[1:])
        + record(0, ipv4(udp(b"c"))[:2] + b"\x10\x00" + ipv4(udp(b"c"))[4:]),
        "udpread-upper-header": header(0x80 | 0x40, filters=3, header_length=16, capacity=64)
        + record(0, ipv4(udp(bytes(range(40))))),
        "udp-forged-first-fragment": header(0x0F, capacity=64)
        + record(0, ipv4(udp(b"genuine bytes!!!")[:16], ident=0x4444, mf=True))
        + record(0, ipv4(udp(b"forged bytes!!!!", sport=5001)[:16], ident=0x4444, mf=True))
        + record(0, ipv4(udp(b"genuine bytes!!!")[16:], ident=0x4444, offset=16)),
        "udp-overlap-differing": header(0x0F, capacity=4000)
        + b"".join(fragments(big, 0x5555, [0]))
        + record(0, ipv4(big[1456:1464] + bytes([big[1464] ^ 0x5A]) + big[1465:2928], ident=0x5555, mf=True,
                         offset=1456))
        + b"".join(fragments(big, 0x5555, [1, 2])),
        "stray-fragment-then-whole": header(0x0F, capacity=100)
        + b"".join(fragments(big, 0x6666, [1]))
        + record(0, ipv4(udp(b"whole behind a stray"), ident=0x6667)),
        "icmp-quote-foreign": header(0x0F, groups=0x40)
        + record(0, ipv4(icmp_error(3, 3, ipv4(b"\0" * 20, proto=6, src=bytes([10, 0, 0, 7]), dst=PEER)[:28]), proto=1))
        + record(0, ipv4(icmp_error(3, 3, ipv4(udp(b"x" * 8, sport=4001, src=CLIENT, dst=PEER), src=CLIENT,
                                                dst=PEER)[:28]), proto=1)),
        "icmp-to-broadcast": header(0x0F, groups=0x80)
        + record(0, ipv4(icmp_error(3, 3, ipv4(udp(b"x" * 8, src=CLIENT, dst=PEER), src=CLIENT, dst=PEER)[:28]),
                         proto=1, dst=bytes([255] * 4))),
        "icmp-short-quote-and-mtu-0": header(0x0F, groups=0x40)
        + record(0, ipv4(icmp_error(3, 3, ipv4(udp(b"x" * 8, src=CLIENT, dst=PEER), src=CLIENT, dst=PEER)[:4]), proto=1))
        + record(0, ipv4(icmp_error(3, 4, ipv4(udp(b"x" * 8, sport=4000, src=CLIENT, dst=PEER), src=CLIENT,
                                                dst=PEER)[:28]), proto=1)),
        "udpread-icmp-for-its-port": header(0x80 | 0x40 | 0x02, header_length=0, capacity=64)
        + record(0, ipv4(icmp_error(3, 3, ipv4(udp(b"x" * 8, sport=4000, src=CLIENT, dst=PEER), src=CLIENT,
                                                dst=PEER)[:28]), proto=1)),
        "filtered-broadcast": header(0x13, filters=2, groups=0x80)
        + record(0, ipv4(udp(b"to everyone", dst=bytes([255] * 4)), dst=bytes([255] * 4))),
    }
    for name, content in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "tests", "fuzz", "corpus", "fuzz_frames"))
