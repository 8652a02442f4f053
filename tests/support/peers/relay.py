# Shared by the peers here: copies bytes both ways until both sides have ended, passing half-closes on.
import socket
import threading


def pump(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    try:
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def relay(client, upstream, first_upstream_bytes=b""):
    if first_upstream_bytes:
        upstream.sendall(first_upstream_bytes)
    other = threading.Thread(target=pump, args=(upstream, client), daemon=True)
    other.start()
    pump(client, upstream)
    other.join()
    client.close()
    upstream.close()
