#!/usr/bin/env python3
"""A client for what curl cannot tell apart: how a connection ended, and many connections held at once.

Usage: probe.py once HOST PORT        prints "reset", "eof", "data" or "refused"
       probe.py greeting HOST PORT    the same, but sends nothing: for servers that speak first
       probe.py hold HOST PORT COUNT  opens COUNT connections to /hold, prints "ready" once every one has its
                                      answer, holds them until standard input ends, then prints "closed"
       probe.py twice HOST PORT       one request, "first", then on a line of standard input a second one on
                                      the same connection: "data", "reset" or "eof"
"""

import resource
import selectors
import socket
import sys

REQUEST = b"GET %s HTTP/1.1\r\nHost: origin\r\n\r\n"


def connect(host, port):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    connection = socket.socket(family, socket.SOCK_STREAM)
    connection.settimeout(30)
    connection.connect((host, port))
    return connection


def once(host, port, request=REQUEST % b"/"):
    try:
        connection = connect(host, port)
    except ConnectionRefusedError:
        return "refused"
    except ConnectionResetError:
        return "reset"
    try:
        connection.sendall(request)
        return "data" if connection.recv(65536) else "eof"
    except ConnectionResetError:
        return "reset"
    finally:
        connection.close()


def hold(host, port, count):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    selector = selectors.DefaultSelector()
    connections = []
    for _ in range(count):
        connection = connect(host, port)
        connection.sendall(REQUEST % b"/hold")
        connection.setblocking(False)
        selector.register(connection, selectors.EVENT_READ)
        connections.append(connection)
    waiting = count
    while waiting:
        events = selector.select(30)
        if not events:
            return f"only {count - waiting} of {count} answered"
        for key, _ in events:
            if not key.fileobj.recv(65536):
                return "a held connection ended"
            selector.unregister(key.fileobj)
            waiting -= 1
    print("ready", flush=True)
    sys.stdin.read()
    for connection in connections:
        connection.close()
    return "closed"


def twice(host, port):
    connection = connect(host, port)
    try:
        for round in ("first", "second"):
            if round == "second":
                sys.stdin.readline()
            connection.sendall(REQUEST % b"/")
            if not connection.recv(65536):
                return "eof"
            if round == "first":
                print("first", flush=True)
        return "data"
    except ConnectionResetError:
        return "reset"
    finally:
        connection.close()


if __name__ == "__main__":
    mode, host, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if mode == "twice":
        print(twice(host, port), flush=True)
    elif mode == "greeting":
        print(once(host, port, b""), flush=True)
    else:
        print(once(host, port) if mode == "once" else hold(host, port, int(sys.argv[4])), flush=True)
