#!/usr/bin/env python3
"""The upstream DNS server of the interception tests, which logs every query it is asked.

Usage: dns_peer.py ADDRESS NAME=ADDRESS [NAME=ADDRESS ...]

Answers A and AAAA queries for the names given (over UDP and TCP, port 53), NXDOMAIN for others, and prints
"query NAME TYPE" for each query before answering, then "ready" once it listens. Also echoes UDP datagrams on
port 443, so a test sees whether QUIC gets through.
"""

import ipaddress
import socket
import struct
import sys
import threading

TYPES = {1: "A", 28: "AAAA"}


def parse_question(message):
    position, labels = 12, []
    while message[position]:
        length = message[position]
        labels.append(message[position + 1:position + 1 + length].decode("ascii", "replace"))
        position += 1 + length
    qtype = struct.unpack("!H", message[position + 1:position + 3])[0]
    return ".".join(labels).lower(), qtype, position + 5


def answer(message, zone):
    name, qtype, end = parse_question(message)
    print(f"query {name} {TYPES.get(qtype, qtype)}", flush=True)
    records = []
    for address in zone.get(name, []):
        if (qtype == 1 and address.version == 4) or (qtype == 28 and address.version == 6):
            rdata = address.packed
            records.append(struct.pack("!HHHIH", 0xC00C, qtype, 1, 30, len(rdata)) + rdata)
    flags = 0x8180 if name in zone else 0x8183
    head = message[:2] + struct.pack("!HHHHH", flags, 1, len(records), 0, 0)
    return head + message[12:end] + b"".join(records)


def serve_udp(sock, zone):
    while True:
        message, peer = sock.recvfrom(4096)
        try:
            sock.sendto(answer(message, zone), peer)
        except (IndexError, struct.error):
            pass


def serve_tcp(sock, zone):
    while True:
        connection, _ = sock.accept()
        with connection:
            try:
                length = struct.unpack("!H", connection.recv(2))[0]
                message = b""
                while len(message) < length:
                    message += connection.recv(length - len(message))
                reply = answer(message, zone)
                connection.sendall(struct.pack("!H", len(reply)) + reply)
            except (OSError, IndexError, struct.error):
                pass


def echo(sock):
    while True:
        message, peer = sock.recvfrom(4096)
        sock.sendto(message, peer)


def main():
    listen = sys.argv[1]
    zone = {}
    for entry in sys.argv[2:]:
        name, address = entry.split("=", 1)
        zone.setdefault(name.lower(), []).append(ipaddress.ip_address(address))
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((listen, 53))
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind((listen, 53))
    tcp.listen(16)
    quic = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    quic.bind((listen, 443))
    for target, arguments in ((serve_udp, (udp, zone)), (serve_tcp, (tcp, zone)), (echo, (quic,))):
        threading.Thread(target=target, args=arguments, daemon=True).start()
    print("ready", flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    main()
