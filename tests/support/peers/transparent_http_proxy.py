#!/usr/bin/env python3
# Usage: transparent_http_proxy.py   prints "listening PORT" once it accepts connections.
# A transparent HTTP proxy on 127.0.0.1: it takes origin-form requests as a client sends them to a
# server, connects to the host and port of the first request's Host header, and from then on relays the
# connection unchanged both ways. Absolute-URI requests and requests without Host are answered with 400.
import os
import socket
import socketserver
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relay import relay  # noqa: E402


def host_and_port(head):
    for line in head.split(b"\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"host":
            value = value.strip().decode()
            if value.startswith("["):
                host, _, rest = value[1:].partition("]")
                return host, int(rest[1:]) if rest.startswith(":") else 80
            host, _, port = value.partition(":")
            return host, int(port) if port else 80
    return None


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        client = self.request
        head = b""
        while b"\n\r\n" not in head and b"\n\n" not in head:
            data = client.recv(65536)
            if not data or len(head) > 65536:
                return
            head += data
        target = head.split(b" ", 2)[1] if head.count(b" ") >= 2 else b""
        where = host_and_port(head)
        if not target.startswith(b"/") or where is None:
            client.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        try:
            upstream = socket.create_connection(where, timeout=10)
            upstream.settimeout(None)
        except OSError:
            client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        relay(client, upstream, head)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    with Server(("127.0.0.1", 0), Handler) as server:
        print("listening", server.server_address[1], flush=True)
        server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
