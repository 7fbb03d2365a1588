"""Clients and servers that reset, half-close or stop reading: each loses at most its own
connection, never anybody else's data."""

import time

import pytest

import lab as L

MIB = 1 << 20


@pytest.mark.daemon_args("-t", "1")  # one handler thread: every pair shares one event loop
def test_misbehaving_peers_lose_nobody_elses_data(proxy):
    listener = proxy.listen()

    def pair():
        client = proxy.client()
        return client, proxy.accept(listener)

    def exchange(client, server, first, size, seed):
        request = L.http_request("/svc/exchange", method="POST", body=L.payload(size, seed))
        expected = proxy.forwarded(request, first)
        sender = L.Sender(client.sock, request)
        L.assert_same_bytes(L.recv_exactly(server, len(expected)), expected, "request")
        sender.join()
        response = L.http_response(L.payload(size, seed + 1))
        sender = L.Sender(server, response)
        L.assert_same_bytes(L.recv_exactly(client.sock, len(response)), response, "response")
        sender.join()

    good, good_server = pair()
    exchange(good, good_server, True, 1000, 10)

    # A client that resets in the middle of a request body: its server side just ends.
    resetter, resetter_server = pair()
    body = L.http_request("/svc/upload", method="POST", body=L.payload(MIB, 11))
    resetter.sock.sendall(body[:200000])
    L.recv_exactly(resetter_server, 100000)
    resetter.close(reset=True)
    L.read_until_closed(resetter_server)

    # A client that half-closes after a complete request while its server is not reading:
    # what the proxy still holds for the server is delivered before the server sees the end.
    half, half_server = pair()
    request = L.http_request("/svc/upload", method="POST", body=L.payload(2 * MIB, 12))
    half_sender = L.Sender(half.sock, request, then_shut_down=True)
    time.sleep(0.5)
    data, how = L.read_until_closed(half_server)
    L.assert_same_bytes(data, proxy.forwarded(request, True), "half-closed client's request")
    assert how == "eof"
    half_sender.join()

    # A client that stops reading while its server sends 8 MiB.
    stuck, stuck_server = pair()
    stuck.sock.sendall(L.http_request("/svc/flood"))
    L.recv_exactly(stuck_server, len(proxy.forwarded(L.http_request("/svc/flood"), True)))
    L.Sender(stuck_server, L.http_response(L.payload(8 * MIB, 13)))

    # A server that resets after the request: its client sees the end and no bytes.
    victim, victim_server = pair()
    victim.sock.sendall(L.http_request("/svc/victim"))
    L.recv_exactly(victim_server, len(proxy.forwarded(L.http_request("/svc/victim"), True)))
    L.set_reset_on_close(victim_server)
    victim_server.close()
    assert L.read_until_closed(victim.sock)[0] == b""

    # A server that half-closes right after a long response: the client gets all of it, then
    # the end.
    early, early_server = pair()
    early.sock.sendall(L.http_request("/svc/early"))
    L.recv_exactly(early_server, len(proxy.forwarded(L.http_request("/svc/early"), True)))
    response = L.http_response(L.payload(3 * MIB, 14))
    L.Sender(early_server, response, then_shut_down=True)
    time.sleep(0.5)
    data, how = L.read_until_closed(early.sock)
    L.assert_same_bytes(data, response, "response before the server's half-close")
    assert how == "eof"

    # A server that stops reading while its client sends 8 MiB.
    deaf, deaf_server = pair()
    L.Sender(deaf.sock, L.http_request("/svc/deaf", method="POST", body=L.payload(8 * MIB, 15)))

    # Meanwhile the well-behaved connection and a new one carry 4 MiB each way, byte exact,
    # while the stuck and the deaf connections still hold their data.
    exchange(good, good_server, False, 4 * MIB, 16)
    fresh, fresh_server = pair()
    exchange(fresh, fresh_server, True, 4 * MIB, 18)
