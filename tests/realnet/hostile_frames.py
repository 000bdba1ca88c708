#!/usr/bin/python3
"""A hostile station: after a pause, sends crafted frames of one kind to the
client through a packet socket in the server namespace, then one good
datagram "GOOD <kind>" (UDP from SERVER_IP:7000 to STATION_IP:PORT).

hostile_frames.py IFACE CLIENT_MAC SERVER_IP STATION_IP PORT KIND DELAY_SECONDS

Kinds:
  forged-first   a fragmented datagram (no UDP checksum, so nothing verifies
                 it) with a forged offset-0 fragment over its real one
  overlap        a fragmented datagram with a fragment that overlaps the first
                 with different bytes
  icmp-broadcast an ICMP port unreachable quoting the client's datagram, sent
                 to 255.255.255.255
  icmp-foreign   an ICMP port unreachable quoting another host's TCP segment
  icmp-short     an ICMP port unreachable quoting 4 bytes
  bad-checksum   a whole datagram with a wrong UDP checksum
"""
import socket
import struct
import sys
import time

from send_fragments import checksum

SERVER_PORT = 7000


def ipv4(src, dst, proto, payload, ident, mf=False, offset=0):
    flags = (0x2000 if mf else 0) | (offset // 8)
    h = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), ident, flags, 64, proto, 0, src, dst)
    return h[:10] + struct.pack("!H", checksum(h)) + h[12:] + payload


def udp(src, dst, sport, dport, data, with_checksum=True, wrong=False):
    u = struct.pack("!HHHH", sport, dport, 8 + len(data), 0) + data
    if not with_checksum:
        return u
    c = checksum(src + dst + struct.pack("!BBH", 0, 17, len(u)) + u) or 0xFFFF
    if wrong:
        c ^= 0x5A5A
    return u[:6] + struct.pack("!H", c) + u[8:]


def icmp_unreachable(quote):
    m = struct.pack("!BBHI", 3, 3, 0, 0) + quote
    return m[:2] + struct.pack("!H", checksum(m)) + m[4:]


def main():
    iface, client_mac, server_ip, station_ip = sys.argv[1:5]
    port, kind, delay = int(sys.argv[5]), sys.argv[6], float(sys.argv[7])
    server, station = socket.inet_aton(server_ip), socket.inet_aton(station_ip)
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((iface, 0))
    mine = s.getsockname()[4]
    to_client = bytes.fromhex(client_mac.replace(":", "")) + mine + b"\x08\x00"
    to_all = b"\xff" * 6 + mine + b"\x08\x00"
    frames = []

    if kind == "forged-first":
        real = udp(server, station, SERVER_PORT, port, b"genuine datagram bytes!!", with_checksum=False)
        forged = udp(server, station, SERVER_PORT, port, b"FORGED!!FORGED!!FORGED!!", with_checksum=False)
        frames += [to_client + ipv4(server, station, 17, real[:16], 0x5101, mf=True),
                   to_client + ipv4(server, station, 17, forged[:16], 0x5101, mf=True),
                   to_client + ipv4(server, station, 17, real[16:], 0x5101, offset=16)]
    elif kind == "overlap":
        data = bytes((i * 31 + 7) & 0xFF for i in range(3000))
        real = udp(server, station, SERVER_PORT, port, data, with_checksum=False)
        changed = bytearray(real[1472:1488])
        for i in range(8):
            changed[i] ^= 0xFF
        frames += [to_client + ipv4(server, station, 17, real[:1480], 0x5102, mf=True),
                   to_client + ipv4(server, station, 17, bytes(changed), 0x5102, mf=True, offset=1472),
                   to_client + ipv4(server, station, 17, real[1480:2960], 0x5102, mf=True, offset=1480),
                   to_client + ipv4(server, station, 17, real[2960:], 0x5102, offset=2960)]
    elif kind in ("icmp-broadcast", "icmp-short"):
        ours = ipv4(station, server, 17, udp(station, server, port, SERVER_PORT, b"x" * 8), 0x5103)
        quote = ours[:28] if kind == "icmp-broadcast" else ours[:4]
        if kind == "icmp-broadcast":
            frames.append(to_all + ipv4(server, b"\xff" * 4, 1, icmp_unreachable(quote), 0x5104))
        else:
            frames.append(to_client + ipv4(server, station, 1, icmp_unreachable(quote), 0x5104))
    elif kind == "icmp-foreign":
        other = socket.inet_aton("198.18.0.77")
        tcp = struct.pack("!HHIIBBHHH", 40000, 80, 1, 0, 0x50, 0x02, 1024, 0, 0)
        frames.append(to_client + ipv4(server, station, 1, icmp_unreachable(ipv4(other, server, 6, tcp, 0x5105)[:28]),
                                       0x5106))
    elif kind == "bad-checksum":
        frames.append(to_client + ipv4(server, station, 17,
                                       udp(server, station, SERVER_PORT, port, b"BAD CHECKSUM", wrong=True), 0x5107))
    else:
        sys.exit("hostile_frames.py: unknown kind " + kind)
    frames.append(to_client + ipv4(server, station, 17,
                                   udp(server, station, SERVER_PORT, port, b"GOOD " + kind.encode()), 0x5108))

    time.sleep(delay)
    for frame in frames:
        s.send(frame)
        time.sleep(0.01)


if __name__ == "__main__":
    main()
