#!/usr/bin/env python3
"""The benchmark's client: bulk downloads from bench_source.py over one connection and over 64 at once, and
connect-to-first-byte latency. Prints one JSON object.

Usage: bench_client.py ADDRESS PORT
"""

import json
import socket
import statistics
import struct
import sys
import threading
import time

MB = 1_000_000
SINGLE_BYTES = 1024 * 1024 * 1024
PARALLEL = 64
PARALLEL_BYTES = 32 * 1024 * 1024
LATENCY_SAMPLES = 300


def download(address, port, size):
    connection = socket.create_connection((address, port))
    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buffer = bytearray(1 << 20)
    with connection:
        connection.sendall(struct.pack("!Q", size))
        left = size
        while left > 0:
            count = connection.recv_into(buffer)
            if count == 0:
                raise RuntimeError(f"ended {left} bytes short")
            left -= count


def first_byte(address, port):
    started = time.perf_counter()
    with socket.create_connection((address, port)) as connection:
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection.sendall(struct.pack("!Q", 1))
        if not connection.recv(1):
            raise RuntimeError("no first byte")
        return (time.perf_counter() - started) * 1000


def timed(action):
    started = time.perf_counter()
    action()
    return time.perf_counter() - started


def parallel(address, port):
    threads = [threading.Thread(target=download, args=(address, port, PARALLEL_BYTES)) for _ in range(PARALLEL)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def main(address, port):
    single = timed(lambda: download(address, port, SINGLE_BYTES))
    many = timed(lambda: parallel(address, port))
    latencies = sorted(first_byte(address, port) for _ in range(LATENCY_SAMPLES))
    print(json.dumps({
        "single": SINGLE_BYTES / single / MB,
        "parallel": PARALLEL * PARALLEL_BYTES / many / MB,
        "latency_ms": statistics.median(latencies),
        "latency_p90_ms": latencies[int(len(latencies) * 0.9)],
        "bytes": SINGLE_BYTES + PARALLEL * PARALLEL_BYTES + LATENCY_SAMPLES,
    }))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
