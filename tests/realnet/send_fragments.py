#!/usr/bin/python3
"""Sends one UDP datagram as IPv4 fragments with a pause between them, through
a packet socket in the server namespace: what a slow or distant sender looks
like, which the kernel on a veth never produces.

send_fragments.py IFACE DST_MAC SRC_IP DST_IP SRC_PORT DST_PORT SIZE GAP_SECONDS
The payload is the suite's test pattern (byte i is (i * 31 + 7) mod 256);
fragments carry 1480 bytes of IPv4 payload, as the kernel's do.
"""
import socket
import struct
import sys
import time


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def main():
    iface, dst_mac, src_ip, dst_ip = sys.argv[1:5]
    sport, dport, size = (int(a) for a in sys.argv[5:8])
    gap = float(sys.argv[8])
    src, dst = socket.inet_aton(src_ip), socket.inet_aton(dst_ip)
    payload = bytes((i * 31 + 7) & 0xFF for i in range(size))
    udp = struct.pack("!HHHH", sport, dport, 8 + size, 0) + payload
    pseudo = src + dst + struct.pack("!BBH", 0, 17, len(udp))
    udp = udp[:6] + struct.pack("!H", checksum(pseudo + udp) or 0xFFFF) + udp[8:]

    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((iface, 0))
    src_mac = s.getsockname()[4]
    eth = bytes.fromhex(dst_mac.replace(":", "")) + src_mac + b"\x08\x00"
    ident = 0x4F52
    offset = 0
    while offset < len(udp):
        piece = udp[offset:offset + 1480]
        more = offset + len(piece) < len(udp)
        flags = (0x2000 if more else 0) | (offset // 8)
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(piece), ident, flags, 64, 17, 0, src, dst)
        ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
        s.send(eth + ip + piece)
        offset += len(piece)
        if more:
            time.sleep(gap)


if __name__ == "__main__":
    main()
