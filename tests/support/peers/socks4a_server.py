#!/usr/bin/env python3
# Usage: socks4a_server.py [--user-id ID]   prints "listening PORT" once it accepts connections.
# A SOCKS 4 and 4a server on 127.0.0.1 (CONNECT only): names are resolved here. With --user-id, requests
# carrying another user id are refused with code 93.
import argparse
import os
import socket
import socketserver
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relay import relay  # noqa: E402

GRANTED, REJECTED, ID_MISMATCH = 0x5A, 0x5B, 0x5D


def receive(connection, count):
    data = b""
    while len(data) < count:
        more = connection.recv(count - len(data))
        if not more:
            raise EOFError
        data += more
    return data


def read_until_nul(connection):
    data = b""
    while not data.endswith(b"\0"):
        if len(data) > 1024:
            raise EOFError
        data += receive(connection, 1)
    return data[:-1]


class Handler(socketserver.BaseRequestHandler):
    def reply(self, code):
        self.request.sendall(struct.pack("!BBH4s", 0, code, 0, b"\0\0\0\0"))

    def handle(self):
        client = self.request
        try:
            version, command, port, address = struct.unpack("!BBH4s", receive(client, 8))
            user_id = read_until_nul(client)
            host = socket.inet_ntoa(address)
            if address[:3] == b"\0\0\0" and address[3] != 0:
                host = read_until_nul(client).decode()
        except (EOFError, OSError, UnicodeDecodeError):
            return
        if version != 4 or command != 1:
            return self.reply(REJECTED)
        if self.server.user_id is not None and user_id != self.server.user_id:
            return self.reply(ID_MISMATCH)
        try:
            upstream = socket.create_connection((host, port), timeout=10)
            upstream.settimeout(None)
        except OSError:
            return self.reply(REJECTED)
        self.reply(GRANTED)
        relay(client, upstream)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--user-id")
    arguments = parser.parse_args()
    with Server(("127.0.0.1", 0), Handler) as server:
        server.user_id = arguments.user_id.encode() if arguments.user_id is not None else None
        print("listening", server.server_address[1], flush=True)
        server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
