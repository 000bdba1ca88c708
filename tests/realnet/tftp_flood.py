#!/usr/bin/python3
"""A flooding station: waits for the client's read request to SERVER_IP:69,
then sends TFTP DATA from SERVER_IP:FLOOD_PORT, a port of no transfer, to the
client's port, as fast as a packet socket can, for SECONDS. Prints the number
of frames sent.

tftp_flood.py IFACE SERVER_IP SECONDS
"""
import socket
import struct
import sys
import time

from hostile_frames import ipv4, udp

FLOOD_PORT = 41111
ETH_P_IP = 0x0800


def main():
    iface, server_ip, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    server = socket.inet_aton(server_ip)
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_IP))
    s.bind((iface, 0))
    mine = s.getsockname()[4]
    print("ready", flush=True)
    # The client's read request gives its hardware address, address and port.
    while True:
        frame = s.recv(2048)
        ip = frame[14:]
        if len(ip) < 30 or ip[9] != 17 or ip[16:20] != server:
            continue
        u = ip[(ip[0] & 15) * 4:]
        if len(u) < 10 or struct.unpack("!H", u[2:4])[0] != 69 or u[8:10] != b"\x00\x01":
            continue
        client_mac, station, client_port = frame[6:12], ip[12:16], struct.unpack("!H", u[0:2])[0]
        break
    data = struct.pack("!HH", 3, 2) + bytes(512)
    f = client_mac + mine + b"\x08\x00" + ipv4(server, station, 17,
                                               udp(server, station, FLOOD_PORT, client_port, data), 0x6100)
    # Never blocked by a full queue, so the flood ends when its time is up.
    s.setblocking(False)
    sent = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for _ in range(256):
            try:
                s.send(f)
                sent += 1
            except OSError:
                pass
    print(sent, flush=True)


if __name__ == "__main__":
    main()
