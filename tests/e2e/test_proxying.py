"""Requests and responses through the proxy: exact bytes, the identity header, requests split
across reads and chunked uploads."""

import time

import lab as L


def test_identity_claims_never_pass_and_bytes_stay_exact(shared_proxy):
    """A client's own X-SWID (any letter case, first request or later) never reaches the
    service; ours is there once, where it belongs. A chunked upload of 10 MiB passes byte for
    byte, and so does the request behind it."""
    proxy = shared_proxy
    client, server = proxy.pair(proxy.listen())
    # 10 MiB each way, the upload being the first request: the client's claim goes out
    # and ours goes in while the body is still arriving; the random body bytes pass unparsed.
    body = L.payload(10 << 20, 1)
    L.exchange(client, server,
               L.http_request("/svc/upload", "POST", body, b"X-SWID: com.example.forged\r\n"),
               L.http_response(L.payload(10 << 20, 2)),
               proxy.forwarded(L.http_request("/svc/upload", "POST", body)))
    for claim in (b"x-swid: other\r\n", b"X-Swid: \r\n"):
        client.sendall(L.http_request("/svc/claim", extra=claim))
        L.expect(server, L.http_request("/svc/claim"), "a later request")

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

    # A chunked upload: the head, a pause, then the chunks in small pieces.
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
