"""Holds idle connections open through the proxy under test.

Usage: hold.py <address> <port> <count> <seconds>

Opens the connections one after another and completes one keep-alive request on each, so that the
proxy has made its onward connection to the server for every one of them. Then prints
"ready <count>" and keeps them all open until its standard input ends. Any failure, or the bound
of <seconds> for opening them all, prints "error <reason>" and exits with status 1.
"""

import socket
import sys
import time

REQUEST = b"GET /small HTTP/1.1\r\nHost: bench\r\n\r\n"


def read_response(sock, deadline):
    """Reads one response with a Content-Length body; the server keeps the connection open."""
    data = b""
    while b"\r\n\r\n" not in data:
        data += receive(sock, deadline)
    head, _, body = data.partition(b"\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError(f"unexpected response {head[:60]!r}")
    length = next((int(line.split(b":", 1)[1]) for line in head.split(b"\r\n")[1:]
                   if line.lower().startswith(b"content-length:")), 0)
    while len(body) < length:
        body += receive(sock, deadline)


def receive(sock, deadline):
    sock.settimeout(max(deadline - time.monotonic(), 0.001))
    chunk = sock.recv(65536)
    if not chunk:
        raise RuntimeError("connection closed before the response was complete")
    return chunk


def main():
    address, port, count, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    deadline = time.monotonic() + seconds
    held = []
    try:
        for _ in range(count):
            sock = socket.create_connection((address, port),
                                            max(deadline - time.monotonic(), 0.001))
            held.append(sock)
            sock.sendall(REQUEST)
            read_response(sock, deadline)
    except (OSError, RuntimeError) as error:
        print(f"error after {len(held)} connections: {error}", flush=True)
        return 1
    print(f"ready {len(held)}", flush=True)
    sys.stdin.read()
    for sock in held:
        sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
