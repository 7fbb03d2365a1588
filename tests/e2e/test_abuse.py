"""Peers that abuse the proxy: destinations that never answer, clients that trickle their request
heads, a descriptor table run full, peers that reset, stop reading or half-close. Meanwhile
well-behaved clients are served, nobody else's data is lost, and SIGTERM with the abusers still
connected ends the daemon with status 0 within 2 s."""

import contextlib
import select
import socket
import statistics
import threading
import time

import pytest

import lab as L

ECHO_PORT, BLACK_HOLE_PORT = 8083, 8090
REQUEST = L.http_request("/svc/good")
SLOW_HEAD = b"GET /svc/slow HTTP/1.1\r\nX-Slow: "  # never ends, one more byte a second
BLACK_HOLE = (f"table ip6 blackhole {{ chain out {{ type filter hook output priority 0; "
              f"tcp dport {BLACK_HOLE_PORT} drop; }}; }}")


def opened(lab, port, count, head=b"", started=None):
    """Clients that have sent the head; started, if given, gets the time each connected."""
    clients = []
    for _ in range(count):
        clients.append(lab.client(port))
        if started is not None:
            started[clients[-1]] = time.monotonic()
        clients[-1].sendall(head)
    return clients


def timed_exchange(lab):
    """Seconds from connecting to the whole echo of one request."""
    started = time.monotonic()
    with lab.client(ECHO_PORT) as client:
        client.sendall(REQUEST)
        L.expect(client, REQUEST)
    return time.monotonic() - started


@contextlib.contextmanager
def good_client(lab):
    """Exchanges one after another on another thread while the body runs; yields the durations."""
    durations, stop = [], threading.Event()

    def serve():
        while not stop.wait(0.2):
            durations.append(timed_exchange(lab))
    served = L.workers.submit(serve)
    try:
        yield durations
    finally:
        stop.set()
    served.result(L.TIMEOUT)


def seconds_to_end(clients, started, trickle=()):
    """For each client, the seconds from its start until the proxy ended its connection; the
    trickling clients send one more byte of their head every second until then."""
    poller, by_fd, ended = select.poll(), {client.fileno(): client for client in clients}, {}
    for client in clients:
        poller.register(client, select.POLLIN)
    next_byte, deadline = time.monotonic(), time.monotonic() + 3 * L.TIMEOUT
    while len(ended) < len(clients):
        assert time.monotonic() < deadline, f"{len(clients) - len(ended)} clients still served"
        if time.monotonic() >= next_byte:
            next_byte += 1
            for client in trickle:
                with contextlib.suppress(OSError):
                    client.send(b"a")
        for descriptor, _ in poller.poll(100):
            client = by_fd[descriptor]
            with contextlib.suppress(OSError):
                if client.recv(1 << 16):
                    continue
            poller.unregister(descriptor)
            ended[client] = time.monotonic() - started[client]
    return [ended[client] for client in clients]


@pytest.mark.parametrize("role", ["forward", "reverse"])
def test_resets_stuck_peers_and_half_closes_lose_nothing(lab, role):
    proxy = lab.proxy(role, "-t", "1")  # one handler thread: every pair shares one event loop
    lab.echo(ECHO_PORT)
    listener, hello = proxy.listen(), L.http_request("/svc/hello")
    good, good_server = proxy.pair(listener, hello)
    # A client and a server that stop reading what the other end sends them, 8 MiB each.
    stuck, stuck_server = proxy.pair(listener, hello)
    L.sending(stuck_server, L.http_response(L.payload(8 << 20, 13)))
    deaf, _ = proxy.pair(listener, hello)
    L.sending(deaf, L.http_request("/svc/deaf", "POST", L.payload(8 << 20, 15)))
    # A client that resets amid a request body, a server that resets after the request.
    resetter, resetter_server = proxy.pair(
        listener, L.http_request("/svc/upload", "POST", L.payload(4 << 20, 11))[:200000])
    L.abort(resetter)
    L.receive(resetter_server)
    victim, victim_server = proxy.pair(listener, hello)
    L.abort(victim_server)
    L.expect(victim, b"", end=True)

    # Clients that send a request with a 2 MiB body and end their output at once get the whole
    # echo, then the end: the echo is queued in the proxy while the end passes.
    uploads = [L.http_request("/svc/up", "POST", L.payload(2 << 20, seed)) for seed in range(10)]
    clients = opened(lab, ECHO_PORT, 10)
    done = [L.sending(client, upload, shut_down=True) for client, upload in zip(clients, uploads)]
    ends = [L.expect(client, proxy.forwarded(upload), end=True)
            for client, upload in zip(clients, uploads)]
    assert ends == ["eof"] * 10
    for sent in done:
        sent()

    # A server that answers 3 MiB and ends its output while the client still sends a 16 MiB body:
    # the client gets all of the answer, then the end; the server all of the body, then the end.
    body = L.payload(16 << 20, 20)
    upload = L.http_request("/svc/up", "POST", body)
    client, server = proxy.pair(listener, upload[:len(upload) - len(body) + 1000])
    response = L.http_response(L.payload(3 << 20, 14))
    answered = L.sending(server, response, shut_down=True)
    assert L.expect(client, response, end=True) == "eof"
    answered()
    done = L.sending(client, upload[len(upload) - len(body) + 1000:], shut_down=True)
    assert L.expect(server, body[1000:], end=True) == "eof"
    done()

    # Meanwhile the well-behaved connection carries 4 MiB each way, byte exact.
    L.exchange(good, good_server, L.http_request("/svc/x", "POST", L.payload(4 << 20, 16)),
               L.http_response(L.payload(4 << 20, 17)))

    # SIGTERM while a client has ended its output and its server not yet answered, another has
    # sent half a request head, and the stuck peers hold their data: every client sees the end.
    waiting, waiting_server = proxy.pair(listener, L.http_request("/svc/wait"))
    waiting.shutdown(socket.SHUT_WR)
    L.expect(waiting_server, b"", end=True)
    partial, _ = proxy.pair(listener, hello)
    partial.sendall(b"GET /svc/partial HTTP/1.1\r\nHo")
    L.stop_in_time(proxy.daemon)
    for client in (good, stuck, deaf, partial, waiting):
        L.receive(client)


def test_stalled_peers_delay_nobody(lab):
    proxy = lab.proxy("reverse")
    lab.echo(ECHO_PORT)
    L.nft(lab.server_ns, BLACK_HOLE)  # the proxy's connects to the port get no answer
    idle_descriptors = proxy.daemon.descriptors()
    before = [timed_exchange(lab) for _ in range(10)]
    # Keep-alive clients idle after a request are never closed for it.
    keepalive = opened(lab, ECHO_PORT, 5, REQUEST)
    for client in keepalive:
        L.expect(client, REQUEST)

    with good_client(lab) as during:
        for client in opened(lab, BLACK_HOLE_PORT, 5, REQUEST):
            client.close()  # gave up at once
        # 20 clients of the black hole, and 500 that trickle a request head that never ends, a
        # byte a second (10 of them after a complete request).
        started = {}
        holes = opened(lab, BLACK_HOLE_PORT, 20, REQUEST, started)
        slow = (opened(lab, ECHO_PORT, 490, SLOW_HEAD, started)
                + opened(lab, ECHO_PORT, 10, REQUEST + SLOW_HEAD, started))
        ends = seconds_to_end(holes + slow, started, trickle=slow)
    hole_ends, slow_ends = ends[:len(holes)], ends[len(holes):]
    print(f"exchange {statistics.median(before) * 1000:.1f} ms before, "
          f"{statistics.median(during) * 1000:.1f} ms during (slowest {max(during) * 1000:.1f} "
          f"of {len(during)}); black holes closed after {min(hole_ends):.2f}-{max(hole_ends):.2f}"
          f" s, slowloris after {min(slow_ends):.2f}-{max(slow_ends):.2f} s")
    assert len(during) >= 10
    assert statistics.median(during) < statistics.median(before) + 0.1
    assert 9.9 < min(hole_ends) and max(hole_ends) < 13
    assert 19.9 < min(slow_ends) and max(slow_ends) < 23
    log = proxy.daemon.wait_for_log("Request head not complete in time")
    destination = f"[{L.SERVER_ADDR}]:{BLACK_HOLE_PORT},out,p,"
    assert sum(destination in line and line.startswith("[RP] : ERROR")
               for line in log.splitlines()
               if "Could not connect to destination in time" in line) == 25
    for client in keepalive:
        client.sendall(REQUEST)
        L.expect(client, REQUEST)
    assert L.settled(proxy.daemon, idle_descriptors + 2 * len(keepalive)) == \
        idle_descriptors + 2 * len(keepalive)

    # Once more, and SIGTERM while they are all still there.
    opened(lab, BLACK_HOLE_PORT, 20, REQUEST)
    opened(lab, ECHO_PORT, 500, SLOW_HEAD)
    L.stop_in_time(proxy.daemon)


def test_descriptor_shortage_idles_and_recovers(lab):
    if L.built_with(lab.daemon_path, b"__ubsan_handle_dynamic_type_cache_miss"):
        pytest.skip("the undefined-behaviour sanitizer's type check makes a pipe: without "
                    "descriptors it reports every object it checks as invalid")
    proxy = lab.proxy("reverse", prefix=("prlimit", "--nofile=128"))
    lab.echo(ECHO_PORT)
    daemon = proxy.daemon
    timed_exchange(lab)
    # A burst far beyond what 128 descriptors hold, held open: the proxy sheds what it cannot
    # pair and waits, at rest, for descriptors to come free.
    burst = opened(lab, ECHO_PORT, 300)
    daemon.wait_for_log("Out of descriptors")
    cpu, started = daemon.cpu_seconds(), time.monotonic()
    time.sleep(3)
    load = (daemon.cpu_seconds() - cpu) / (time.monotonic() - started)
    print(f"descriptors out: {daemon.descriptors()} open, CPU {load * 100:.1f}% of a core")
    assert load < 0.1
    # Clients that come and go while the table stays full: each one that ends frees descriptors
    # for the next. Still the same shortage, reported once.
    for _ in range(100):
        burst.pop(0).close()
        burst.append(lab.client(ECHO_PORT))
        time.sleep(0.02)
    for client in burst:
        client.close()
    # Served again once the burst has gone (the backlog of closed clients drained).
    started = time.monotonic()
    timed_exchange(lab)
    warnings = daemon.log().count("Out of descriptors")
    print(f"served again after {time.monotonic() - started:.2f} s; {warnings} warning in all")
    assert warnings == 1

    # SIGTERM while a burst holds every descriptor.
    opened(lab, ECHO_PORT, 300)
    deadline = time.monotonic() + L.TIMEOUT
    while daemon.descriptors() < 128 and time.monotonic() < deadline:
        time.sleep(0.05)
    L.stop_in_time(daemon)
