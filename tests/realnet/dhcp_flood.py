#!/usr/bin/python3
"""A flooding station: after a pause, sends DHCP OFFERs of a transaction no
client started (UDP 67 to 68, broadcast) through a packet socket as fast as
it can, for a bounded time, then prints how many it sent.

dhcp_flood.py IFACE SERVER_IP SECONDS DELAY_SECONDS
"""
import socket
import struct
import sys
import time

from hostile_frames import ipv4, udp


def offer(server):
    # op 2, htype 1, hlen 6, xid 0xFEED0000 (the client's is 16 bits), yiaddr 198.18.0.66.
    fixed = struct.pack("!BBBBIHH4s4s4s4s", 2, 1, 6, 0, 0xFEED0000, 0, 0, b"\0" * 4,
                        socket.inet_aton("198.18.0.66"), server, b"\0" * 4)
    fixed += b"\x02\x00\x00\x00\x00\x66" + b"\0" * 10 + b"\0" * 192
    options = b"\x63\x82\x53\x63" + b"\x35\x01\x02" + b"\x36\x04" + server + b"\xff"
    return fixed + options


def main():
    iface, server_ip = sys.argv[1], sys.argv[2]
    seconds, delay = float(sys.argv[3]), float(sys.argv[4])
    server, everyone = socket.inet_aton(server_ip), b"\xff" * 4
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((iface, 0))
    # Never blocked by a full queue, so the flood ends when its time is up.
    s.setblocking(False)
    frame = (b"\xff" * 6 + s.getsockname()[4] + b"\x08\x00" +
             ipv4(server, everyone, 17, udp(server, everyone, 67, 68, offer(server)), 0x5201))
    time.sleep(delay)
    sent = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for _ in range(256):
            try:
                s.send(frame)
                sent += 1
            except OSError:  # the queue is full: the link is as busy as it gets
                pass
    print(sent)


if __name__ == "__main__":
    main()
