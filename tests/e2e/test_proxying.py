"""Requests and responses through the proxy: the 400 answer, exact bytes, the identity header,
pipelining, requests split across reads and one WebSocket per application and destination."""

import time

import lab as L

UPGRADE = L.http_request("/svc/events", extra=b"Upgrade: websocket\r\nConnection: Upgrade\r\n")
SWITCHING = b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"
FRAME = b"\x81\x0bhello world"  # an unmasked final text frame, as a server sends it


def test_requests_pass_byte_exact(proxy):
    client, server = proxy.pair(proxy.listen())
    # 400 for an unparsable target, which never reaches the service; the connection stays.
    for target in ("/a", "svc/res", "*"):
        client.sendall(L.http_request(target))
        L.expect(client, L.BAD_REQUEST, target)

    # 10 MiB each way, the upload being the first request forwarded: the identity header goes in
    # while the body is still arriving, and the random body bytes pass unparsed.
    proxy.exchange(client, server, L.http_request("/svc/upload", "POST", L.payload(10 << 20, 1)),
                   L.http_response(L.payload(10 << 20, 2)), first=True)

    # Pipelined in one write, and no more identity header; a body holding a request line must
    # not be taken for a request.
    requests = (L.http_request("/svc/a") + L.http_request("/svc/b", "POST", UPGRADE)
                + L.http_request("/svc/c", "HEAD"))
    client.sendall(requests)
    L.expect(server, requests, "pipelined requests")

    # A burst that fills several reads of the proxy, then a request cut inside the method, the
    # target, a header, the blank line and the body. The pauses only make separate reads likely.
    burst = b"".join(L.http_request(f"/svc/burst/{i}", extra=b"X-Pad: %s\r\n" % (b"p" * 300))
                     for i in range(200))
    split = L.http_request("/svc/split", "POST", L.payload(20000, 3), extra=b"User-Agent: e2e\r\n")
    data, blank = burst + split, split.index(b"\r\n\r\n") + 3
    cuts = [0] + [len(burst) + cut for cut in (-50, 2, 9, 30, blank, blank + 5000)] + [len(data)]
    for start, end in zip(cuts, cuts[1:]):
        client.sendall(data[start:end])
        time.sleep(0.1)
    L.expect(server, data, "requests in pieces")
    assert L.quiet(server)


def open_websocket(forward, listener):
    client, server = forward.pair(listener, UPGRADE)
    server.sendall(SWITCHING)
    L.expect(client, SWITCHING)
    return client, server


def test_one_websocket_per_application_and_destination(lab):
    forward = lab.proxy("forward")  # remote clients are not told apart by application
    listener = forward.listen()
    first, first_server = open_websocket(forward, listener)
    # A second one while the first is open gets 409, and the pair closes; the onward connection,
    # made when the client connected, never sees the request. The first is untouched.
    second, second_server = forward.pair(listener)
    second.sendall(UPGRADE)
    L.expect(second, L.CONFLICT, end=True)
    assert L.expect(second_server, b"", end=True) == "eof"
    first_server.sendall(FRAME)
    L.expect(first, FRAME)

    # Once the first has closed (its server sees the end after the proxy dropped the
    # registration), a third is allowed.
    first.close()
    assert L.expect(first_server, b"", end=True) == "eof"
    third, third_server = open_websocket(forward, listener)
    third_server.sendall(FRAME)
    L.expect(third, FRAME)
