"""Requests and responses through the proxy in both roles: exact bytes, the identity header,
pipelining, requests split across reads, the 400 answer and one WebSocket per destination."""

import time

import lab as L

UPGRADE = L.http_request("/svc/events", extra=b"Upgrade: websocket\r\nConnection: Upgrade\r\n")
SWITCHING = b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"
FRAME = b"\x81\x0bhello world"  # an unmasked final text frame, as a server sends it


def test_exchanges_pass_byte_exact(proxy):
    client, server = proxy.pair(proxy.listen())

    # 10 MiB each way, the upload being the first request: the identity header goes in while
    # the body is still arriving, and the random body bytes pass unparsed.
    upload = L.http_request("/svc/upload", "POST", L.payload(10 << 20, 1))
    done = L.sending(client, upload)
    L.expect(server, proxy.forwarded(upload), "10 MiB request")
    done()
    download = L.http_response(L.payload(10 << 20, 2))
    done = L.sending(server, download)
    L.expect(client, download, "10 MiB response")
    done()

    # Pipelined in one write; a body holding a request line must not be taken for a request.
    requests = (L.http_request("/svc/a") + L.http_request("/svc/b", "POST", UPGRADE)
                + L.http_request("/svc/c", "HEAD"))
    client.sendall(requests)
    L.expect(server, requests, "pipelined requests")
    responses = b"".join(L.http_response(b"r%d" % i) for i in range(3))
    server.sendall(responses)
    L.expect(client, responses)

    # A burst that fills several reads of the proxy and ends inside a request; a request cut
    # inside the method, the target, a header, the blank line and the body; a head trickling
    # in 7 bytes at a time. The pauses only make separate reads likely.
    burst = b"".join(L.http_request(f"/svc/burst/{i}", extra=b"X-Pad: %s\r\n" % (b"p" * 300))
                     for i in range(200))
    split = L.http_request("/svc/split", "POST", L.payload(20000, 3), extra=b"User-Agent: e2e\r\n")
    blank = split.index(b"\r\n\r\n") + 3
    trickle = L.http_request("/svc/trickle")
    pieces = [burst[:-50], burst[-50:] + split[:2], split[2:9], split[9:30], split[30:blank],
              split[blank:blank + 5000], split[blank + 5000:]]
    for piece in pieces + [trickle[i:i + 7] for i in range(0, len(trickle), 7)]:
        client.sendall(piece)
        time.sleep(0.1)
    L.expect(server, burst + split + trickle, "requests in pieces")
    assert L.quiet(server)


def test_identity_header_and_bad_targets(proxy):
    client, server = proxy.pair(proxy.listen())
    # 400 for an unparsable target, which never reaches the service; the connection stays, and
    # the first request forwarded is the one that gets the identity header.
    for target in ("/a", "svc/res", "*"):
        client.sendall(L.http_request(target))
        L.expect(client, L.BAD_REQUEST, target)
    for index in range(3):
        request = L.http_request(f"/svc/item/{index}", extra=b"X-Trace: %d\r\n" % index)
        client.sendall(request)
        L.expect(server, proxy.forwarded(request, index == 0), f"request {index}")
        server.sendall(L.http_response(b"ok"))
        L.expect(client, L.http_response(b"ok"))

    # A refused request pipelined between two good ones.
    batch = [L.http_request("/svc/x"), L.http_request("/y"), L.http_request("/svc/z")]
    client.sendall(b"".join(batch))
    L.expect(client, L.BAD_REQUEST)
    L.expect(server, batch[0] + batch[2])
    assert L.quiet(client)


def open_websocket(proxy, listener, port=L.PORT_PLAIN):
    client, server = proxy.pair(listener, UPGRADE, port=port)
    server.sendall(SWITCHING)
    L.expect(client, SWITCHING)
    return client, server


def test_one_websocket_per_application_and_destination(proxy):
    listener = proxy.listen()
    first, first_server = open_websocket(proxy, listener)
    if not proxy.forward:
        # Remote clients are not told apart by application: no limit in the reverse role.
        open_websocket(proxy, listener)
        return

    # A second one from the same application to the same address and port while the first is
    # open gets 409, and the pair closes; the onward connection, made when the client
    # connected, never sees the request.
    second, second_server = proxy.pair(listener)
    second.sendall(UPGRADE)
    L.expect_end(second, L.CONFLICT)
    assert L.expect_end(second_server) == "eof"

    # Another port is another key, and the first WebSocket is untouched.
    open_websocket(proxy, proxy.listen(L.PORT_SPARE), L.PORT_SPARE)
    first_server.sendall(FRAME)
    L.expect(first, FRAME)

    # Once the first has closed (its server sees the end after the proxy dropped the
    # registration), a third is allowed.
    first.close()
    assert L.expect_end(first_server) == "eof"
    third, third_server = open_websocket(proxy, listener)
    third_server.sendall(FRAME)
    L.expect(third, FRAME)
