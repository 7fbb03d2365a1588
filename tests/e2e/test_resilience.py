"""Clients and servers that reset, half-close or stop reading lose at most their own connection,
never anybody else's data; SIGTERM with all of them open still ends with status 0."""

import time

import pytest

import lab as L


@pytest.mark.parametrize("role", ["forward", "reverse"])
def test_misbehaving_peers_lose_nobody_elses_data(lab, role):
    proxy = lab.proxy(role, "-t", "1")  # one handler thread: every pair shares one event loop
    listener = proxy.listen()
    hello = L.http_request("/svc/hello")
    good, good_server = proxy.pair(listener, hello)

    # A client that resets in the middle of a request body: its server side just ends.
    upload = L.http_request("/svc/upload", "POST", L.payload(4 << 20, 11))
    resetter, resetter_server = proxy.pair(listener, upload[:200000])
    L.abort(resetter)
    L.receive(resetter_server)

    # A client that half-closes after a request while its server is not reading: what the
    # proxy still holds is delivered before the server sees the end.
    half, half_server = proxy.pair(listener, hello)
    done = L.sending(half, upload, shut_down=True)
    time.sleep(0.5)
    assert L.expect(half_server, upload, end=True) == "eof"
    done()

    # A client that stops reading while its server sends 8 MiB.
    stuck, stuck_server = proxy.pair(listener, hello)
    L.sending(stuck_server, L.http_response(L.payload(8 << 20, 13)))

    # A server that resets after the request: its client sees the end and no bytes.
    victim, victim_server = proxy.pair(listener, hello)
    L.abort(victim_server)
    L.expect(victim, b"", end=True)

    # A server that half-closes right after a long response: the client gets all of it first.
    early, early_server = proxy.pair(listener, hello)
    response = L.http_response(L.payload(3 << 20, 14))
    L.sending(early_server, response, shut_down=True)
    time.sleep(0.5)
    assert L.expect(early, response, end=True) == "eof"

    # A server that stops reading while its client sends 8 MiB.
    deaf, _ = proxy.pair(listener, hello)
    L.sending(deaf, L.http_request("/svc/deaf", "POST", L.payload(8 << 20, 15)))

    # Meanwhile the well-behaved connection and a new one carry 4 MiB each way, byte exact.
    for seed, (client, server) in ((16, (good, good_server)), (17, proxy.pair(listener, hello))):
        proxy.exchange(client, server, L.http_request("/svc/x", "POST", L.payload(4 << 20, seed)),
                       L.http_response(L.payload(4 << 20, seed)))

    # SIGTERM with all this open, one request head half there, ends with status 0 and every
    # client sees the end.
    partial, _ = proxy.pair(listener, hello)
    partial.sendall(b"GET /svc/partial HTTP/1.1\r\nHo")
    assert proxy.daemon.stop() == 0
    for client in (good, stuck, deaf, partial):
        L.receive(client)
