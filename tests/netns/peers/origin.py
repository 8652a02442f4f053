#!/usr/bin/env python3
"""The origin server of the interception tests: where every test connection ends.

Usage: origin.py PORT [PORT ...]   (listens on every address of both families; prints "ready" when it does)

GET /bytes/N answers N bytes. /hold answers at once and keeps the connection open until the client closes it.
Anything else is answered with JSON saying who asked and how (and noted on standard output as "request PEER
TARGET", for clients that do not stay for the answer): the peer's address, the port it reached, the
request line and every header as received, so a test sees which proxy a connection came through and what
was stripped on the way.
"""

import asyncio
import json
import resource
import socket
import sys

HEADER_LIMIT = 65536
CHUNK = b"q" * 65536


async def read_head(reader):
    head = await reader.readuntil(b"\r\n\r\n")
    if len(head) > HEADER_LIMIT:
        raise ValueError("header too long")
    lines = head.decode("latin-1").split("\r\n")
    method, target, version = lines[0].split(" ", 2)
    headers = [line.split(":", 1) for line in lines[1:] if line]
    headers = [[name.strip(), value.strip()] for name, value in headers]
    return method, target, version, headers


async def answer(reader, writer):
    peer = writer.get_extra_info("peername")
    local = writer.get_extra_info("sockname")
    try:
        while True:
            try:
                method, target, version, headers = await read_head(reader)
            except (asyncio.IncompleteReadError, ConnectionError):
                return
            length = next((int(v) for n, v in headers if n.lower() == "content-length"), 0)
            if length:
                await reader.readexactly(length)
            path = target.split("://", 1)[-1]
            path = path[path.find("/"):] if "://" in target else target
            if path.startswith("/bytes/"):
                size = int(path[len("/bytes/"):])
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                             b"Content-Length: %d\r\n\r\n" % size)
                while size > 0:
                    piece = CHUNK[:min(size, len(CHUNK))]
                    writer.write(piece)
                    size -= len(piece)
                    await writer.drain()
                continue
            if path == "/hold":
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nheld\n")
                await writer.drain()
                await reader.read()  # until the client closes
                return
            print(f"request {peer[0].removeprefix('::ffff:')} {target}", flush=True)
            body = json.dumps({
                "peer": peer[0].removeprefix("::ffff:"),
                "port": local[1],
                "method": method,
                "target": target,
                "headers": headers,
            }).encode() + b"\n"
            writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                         b"Content-Length: %d\r\n\r\n" % len(body) + body)
            await writer.drain()
    except (ConnectionError, ValueError):
        pass
    finally:
        writer.close()


async def main(ports):
    servers = []
    for port in ports:
        listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        listener.bind(("::", port))
        listener.listen(4096)
        servers.append(await asyncio.start_server(answer, sock=listener))
    print("ready", flush=True)
    await asyncio.gather(*(server.serve_forever() for server in servers))


if __name__ == "__main__":
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    asyncio.run(main([int(port) for port in sys.argv[1:]]))
