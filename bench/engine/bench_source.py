#!/usr/bin/env python3
"""The benchmark's destination: for each connection, reads an 8-byte big-endian count and sends that many bytes
at once (the first of them is the client's "first byte").

Usage: bench_source.py PORT   (prints "ready" once it listens on every address of both families)
"""

import socket
import struct
import sys
import threading

BLOCK = memoryview(b"\xa5" * (1 << 20))


def serve(connection):
    with connection:
        head = b""
        while len(head) < 8:
            piece = connection.recv(8 - len(head))
            if not piece:
                return
            head += piece
        left = struct.unpack("!Q", head)[0]
        try:
            while left > 0:
                sent = connection.send(BLOCK[:min(left, len(BLOCK))])
                left -= sent
            connection.shutdown(socket.SHUT_WR)
            connection.recv(1)
        except OSError:
            pass


def main(port):
    listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    listener.bind(("::", port))
    listener.listen(1024)
    print("ready", flush=True)
    while True:
        connection, _ = listener.accept()
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(connection,), daemon=True).start()


if __name__ == "__main__":
    main(int(sys.argv[1]))
