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


def test_identity_claims_never_pass_and_chunked_bodies_stream(proxy):
    """A client's own X-SWID (any letter case, first request or later) never reaches the
    service; ours is there once, where it belongs. A chunked upload of any size, arriving in
    small pieces long after its head, passes byte for byte with the request behind it."""
    client, server = proxy.pair(proxy.listen())
    for first, claim in ((True, b"X-SWID: com.example.forged\r\n"), (False, b"x-swid: other\r\n"),
                         (False, b"X-Swid: \r\n")):
        request = L.http_request("/svc/claim", extra=claim)
        client.sendall(request)
        L.expect(server, proxy.forwarded(request.replace(claim, b""), first))

    body = L.payload(10 << 20, 21)
    chunks = b"".join(b"%x;ext=1\r\n%s\r\n" % (len(piece), piece)
                      for piece in (body[i:i + 65521] for i in range(0, len(body), 65521)))
    upload = (b"POST /svc/chunked HTTP/1.1\r\nHost: service\r\nTransfer-Encoding: chunked\r\n\r\n"
              + chunks + b"0\r\nTrailer: t\r\n\r\n" + L.http_request("/svc/after"))
    head = upload.index(b"\r\n\r\n") + 4
    client.sendall(upload[:head])
    time.sleep(0.3)
    done = L.sending(client, b"".join(
        upload[i:i + 7001] for i in range(head, len(upload), 7001)))
    L.expect(server, upload, "chunked upload and the request behind it")
    done()
