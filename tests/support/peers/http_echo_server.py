#!/usr/bin/env python3
# Usage: http_echo_server.py [--bind ADDRESS]   prints "listening PORT" once it accepts connections.
# A keep-alive HTTP/1.1 origin server whose answer to every request is that request exactly as it arrived
# (head and body, chunked bodies included), so a test sees what a proxy in between sent on.
import argparse
import socket
import socketserver
import sys


class Handler(socketserver.StreamRequestHandler):
    def read_line(self):
        line = self.rfile.readline(65536)
        if not line:
            raise EOFError
        return line

    def read_request(self):
        raw = self.read_line()
        while raw in (b"\r\n", b"\n"):
            raw = self.read_line()
        length, chunked = 0, False
        while True:
            line = self.read_line()
            raw += line
            if line in (b"\r\n", b"\n"):
                break
            name, _, value = line.partition(b":")
            name = name.strip().lower()
            if name == b"content-length":
                length = int(value.strip())
            elif name == b"transfer-encoding" and value.strip().lower().endswith(b"chunked"):
                chunked = True
        if chunked:
            while True:
                size_line = self.read_line()
                raw += size_line
                size = int(size_line.split(b";")[0].strip(), 16)
                if size == 0:
                    while True:
                        trailer = self.read_line()
                        raw += trailer
                        if trailer in (b"\r\n", b"\n"):
                            return raw
                raw += self.rfile.read(size + 2)
        return raw + self.rfile.read(length)

    def handle(self):
        try:
            while True:
                request = self.read_request()
                head = b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                head += b"Content-Length: %d\r\n\r\n" % len(request)
                self.wfile.write(head + request)
                self.wfile.flush()
        except (EOFError, ConnectionError, ValueError):
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bind", default="127.0.0.1")
    arguments = parser.parse_args()
    if ":" in arguments.bind:
        Server.address_family = socket.AF_INET6
    with Server((arguments.bind, 0), Handler) as server:
        print("listening", server.server_address[1], flush=True)
        server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
