#!/usr/bin/env python3
"""Upstream proxies of the interception tests that no Debian package provides.

Usage: proxy_peer.py socks4a|transparent --listen ADDRESS --port PORT [--bind ADDRESS]

socks4a: a SOCKS 4/4a server (no user check) that connects from --bind.
transparent: an HTTP proxy that serves by the Host header, forwarding the client's bytes unchanged (one
request per connection is all the tests send), connecting from --bind.
Prints "ready" once it listens.
"""

import argparse
import asyncio
import ipaddress
import socket
import struct


async def pipe(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
        if writer.can_write_eof():
            writer.write_eof()
    except ConnectionError:
        pass


async def splice(client_reader, client_writer, host, port, bind, first=b""):
    upstream_reader, upstream_writer = await asyncio.open_connection(host, port, local_addr=(bind, 0))
    upstream_writer.write(first)
    await asyncio.gather(pipe(client_reader, upstream_writer), pipe(upstream_reader, client_writer))
    upstream_writer.close()


async def socks4a(reader, writer, bind):
    try:
        head = await reader.readexactly(8)
        version, command, port = struct.unpack("!BBH", head[:4])
        user = await reader.readuntil(b"\0")
        if version != 4 or command != 1 or len(user) > 256:
            raise ValueError
        host = str(ipaddress.IPv4Address(head[4:8]))
        if head[4:7] == b"\0\0\0" and head[7] != 0:
            host = (await reader.readuntil(b"\0"))[:-1].decode()
        try:
            upstream_reader, upstream_writer = await asyncio.open_connection(host, port, local_addr=(bind, 0))
        except OSError:
            writer.write(b"\0\x5b" + b"\0" * 6)
            return
        writer.write(b"\0\x5a" + b"\0" * 6)
        await asyncio.gather(pipe(reader, upstream_writer), pipe(upstream_reader, writer))
        upstream_writer.close()
    except (ValueError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError):
        pass
    finally:
        writer.close()


async def transparent(reader, writer, bind):
    try:
        head = await reader.readuntil(b"\r\n\r\n")
        host = next(line.split(b":", 1)[1].strip() for line in head.split(b"\r\n")[1:]
                    if line.lower().startswith(b"host:")).decode()
        name, _, port = host.rpartition(":") if not host.endswith("]") else (host, "", "")
        if not name or not port.isdigit():
            name, port = host, "80"
        await splice(reader, writer, name.strip("[]"), int(port), bind, head)
    except (StopIteration, ValueError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, OSError):
        pass
    finally:
        writer.close()


async def main(arguments):
    handler = {"socks4a": socks4a, "transparent": transparent}[arguments.kind]
    server = await asyncio.start_server(lambda r, w: handler(r, w, arguments.bind), arguments.listen,
                                        arguments.port, family=socket.AF_UNSPEC, reuse_address=True)
    print("ready", flush=True)
    await server.serve_forever()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["socks4a", "transparent"])
    parser.add_argument("--listen", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--bind", default="0.0.0.0")
    asyncio.run(main(parser.parse_args()))
