#!/usr/bin/python3
"""UDP services the real-network suite talks to, run in the server namespace.

udp_peer.py ECHO_PORT CHECK_PORT SEND_PORT
  ECHO_PORT   sends every datagram back unchanged.
  CHECK_PORT  answers "LEN <n> OK" when the datagram is the n-byte test
              pattern, "LEN <n> BAD <first differing offset>" otherwise; so a
              fragmented datagram is seen as the kernel reassembled it.
  SEND_PORT   answers "SIZE <n>" with the n-byte test pattern (the kernel
              fragments it when it does not fit one frame).
The test pattern: byte i is (i * 31 + 7) mod 256, as in tools/cli/session.cpp.
"""
import selectors
import socket
import sys


def pattern(n):
    return bytes((i * 31 + 7) & 0xFF for i in range(n))


def check(data):
    want = pattern(len(data))
    if data == want:
        return b"LEN %d OK" % len(data)
    bad = next(i for i in range(len(data)) if data[i] != want[i])
    return b"LEN %d BAD %d" % (len(data), bad)


def send(data):
    words = data.split()
    if len(words) != 2 or words[0] != b"SIZE" or not words[1].isdigit():
        return b"ERROR want SIZE <n>"
    n = int(words[1])
    return pattern(n) if n <= 65507 else b"ERROR too large"


def main():
    echo_port, check_port, send_port = (int(a) for a in sys.argv[1:4])
    handlers = {echo_port: lambda d: d, check_port: check, send_port: send}
    sel = selectors.DefaultSelector()
    for port, handler in handlers.items():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("0.0.0.0", port))
        sel.register(s, selectors.EVENT_READ, handler)
    while True:
        for key, _ in sel.select():
            data, addr = key.fileobj.recvfrom(65535)
            reply = key.data(data)
            print("udp_peer: %s:%d -> :%d %d bytes, reply %d bytes"
                  % (addr[0], addr[1], key.fileobj.getsockname()[1], len(data), len(reply)),
                  file=sys.stderr, flush=True)
            key.fileobj.sendto(reply, addr)


if __name__ == "__main__":
    main()
