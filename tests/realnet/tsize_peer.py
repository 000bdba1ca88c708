#!/usr/bin/env python3
"""A hostile TFTP server: answers every read request with an OACK whose tsize
is the one given (and the client's blksize echoed), then sends nothing more.

usage: tsize_peer.py ADDRESS TSIZE
"""
import socket
import sys


def main():
    address, tsize = sys.argv[1], sys.argv[2].encode()
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind((address, 69))
    transfers = []
    while True:
        request, client = server.recvfrom(2048)
        if request[:2] != b"\x00\x01":
            continue
        words = request[2:].split(b"\x00")
        options = b""
        for i in range(2, len(words) - 1, 2):
            name = words[i].lower()
            if name == b"tsize":
                options += b"tsize\x00" + tsize + b"\x00"
            elif name == b"blksize":
                options += b"blksize\x00" + words[i + 1] + b"\x00"
        transfer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        transfer.bind((address, 0))
        transfer.sendto(b"\x00\x06" + options, client)
        transfers.append(transfer)  # kept open: the client's ERROR finds a port


if __name__ == "__main__":
    main()
