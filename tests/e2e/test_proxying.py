"""Requests and responses through the proxy in both roles: exact bytes, the identity header,
pipelining, requests split across reads and the 400 answer."""

import os
import subprocess
import threading
import time

import lab as L

MIB = 1 << 20


def test_requests_and_responses_arrive_byte_exact(proxy):
    listener = proxy.listen()
    client = proxy.client()
    server = proxy.accept(listener)

    # A small exchange, then a 10 MiB body each way on the same connection: bodies of random
    # bytes pass through unparsed, and nothing is added, lost or reordered.
    first = L.http_request("/svc/res/1?x=1", extra=b"Accept: */*\r\n")
    client.sock.sendall(first)
    expected = proxy.forwarded(first, first=True)
    L.assert_same_bytes(L.recv_exactly(server, len(expected)), expected, "first request")
    reply = L.http_response(b"hello")
    server.sendall(reply)
    assert L.recv_exactly(client.sock, len(reply)) == reply

    upload = L.http_request("/svc/upload", method="POST", body=L.payload(10 * MIB, 1))
    sender = L.Sender(client.sock, upload)
    L.assert_same_bytes(L.recv_exactly(server, len(upload)), upload, "10 MiB request")
    sender.join()

    download = L.http_response(L.payload(10 * MIB, 2))
    sender = L.Sender(server, download)
    L.assert_same_bytes(L.recv_exactly(client.sock, len(download)), download, "10 MiB response")
    sender.join()

    # The connection still parses requests after the long body.
    last = L.http_request("/svc/res/2", method="DELETE")
    client.sock.sendall(last)
    assert L.recv_exactly(server, len(last)) == last
    assert L.nothing_arrives(server)


def test_identity_header_only_on_first_request_of_each_connection(proxy):
    listener = proxy.listen()
    for connection in range(2):
        client = proxy.client()
        server = proxy.accept(listener)
        for index in range(3):
            request = L.http_request(f"/svc/item/{index}", extra=b"X-Trace: %d\r\n" % index)
            client.sock.sendall(request)
            expected = proxy.forwarded(request, first=index == 0)
            got = L.recv_exactly(server, len(expected))
            assert got == expected, f"connection {connection}, request {index}"
            server.sendall(L.http_response(b"ok"))
            L.recv_exactly(client.sock, len(L.http_response(b"ok")))
        if not proxy.forward:
            assert b"X-SWID" not in got
        client.close()


def test_first_request_with_a_body_gets_the_header_before_the_body(forward):
    # The header goes into the first request even when its body is still arriving: the body
    # bytes that came with the head, and all that follow, reach the server unchanged.
    listener = forward.listen()
    client = forward.client()
    server = forward.accept(listener)
    request = L.http_request("/svc/upload", method="PUT", body=L.payload(3 * MIB + 17, 3))
    sender = L.Sender(client.sock, request)
    expected = L.with_swid(request)
    L.assert_same_bytes(L.recv_exactly(server, len(expected)), expected, "request")
    sender.join()
    assert L.nothing_arrives(server)


def test_pipelined_requests(proxy):
    listener = proxy.listen()
    client = proxy.client()
    server = proxy.accept(listener)

    # Three requests in one write, one of them with a body that holds a request line of its
    # own, which must not be taken for a request.
    requests = [
        L.http_request("/svc/a"),
        L.http_request("/svc/b", method="POST", body=b"GET /svc/fake HTTP/1.1\r\n\r\n"),
        L.http_request("/svc/c", method="HEAD"),
    ]
    client.sock.sendall(b"".join(requests))
    expected = proxy.forwarded(requests[0], first=True) + requests[1] + requests[2]
    L.assert_same_bytes(L.recv_exactly(server, len(expected)), expected, "pipelined requests")
    assert L.nothing_arrives(server)

    responses = b"".join(L.http_response(b"r%d" % i) for i in range(3))
    server.sendall(responses)
    assert L.recv_exactly(client.sock, len(responses)) == responses

    # A burst that fills several reads of the proxy, ending in the middle of a request.
    burst = [L.http_request(f"/svc/burst/{i}", extra=b"X-Pad: " + b"p" * 300 + b"\r\n")
             for i in range(200)]
    data = b"".join(burst)
    cut = len(data) - 50
    client.sock.sendall(data[:cut])
    time.sleep(0.3)
    client.sock.sendall(data[cut:])
    L.assert_same_bytes(L.recv_exactly(server, len(data)), data, "burst")


def test_request_split_across_reads(proxy):
    listener = proxy.listen()
    client = proxy.client()
    server = proxy.accept(listener)

    def send_in_pieces(data, cuts):
        start = 0
        for cut in [*cuts, len(data)]:
            client.sock.sendall(data[start:cut])
            start = cut
            # Let the proxy read each piece on its own; nothing below depends on it.
            time.sleep(0.2)

    # Cut inside the method, inside the target, inside the header block and inside the blank
    # line that ends it.
    first = L.http_request("/svc/split/one", extra=b"User-Agent: e2e\r\n")
    send_in_pieces(first, [2, 9, 30, len(first) - 1])
    expected = proxy.forwarded(first, first=True)
    assert L.recv_exactly(server, len(expected)) == expected

    # Cut inside the head of a request with a body, then inside the body.
    second = L.http_request("/svc/split/two", method="POST", body=L.payload(20000, 4))
    send_in_pieces(second, [20, 60, 5000])
    L.assert_same_bytes(L.recv_exactly(server, len(second)), second, "second request")

    # A head that arrives one byte at a time.
    third = L.http_request("/svc/split/three")
    send_in_pieces(third, range(1, len(third), 7))
    assert L.recv_exactly(server, len(third)) == third
    assert L.nothing_arrives(server)


def test_unparsable_target_gets_400_and_the_connection_stays(proxy):
    listener = proxy.listen()
    client = proxy.client()
    server = proxy.accept(listener)

    for target in ("/a", "svc/res", "*"):
        client.sock.sendall(L.http_request(target))
        assert L.recv_exactly(client.sock, len(L.BAD_REQUEST)) == L.BAD_REQUEST, target
    # The refused requests never reached the service; the next good one does, and it is the
    # first forwarded one, so it carries the identity header.
    good = L.http_request("/svc/res")
    client.sock.sendall(good)
    expected = proxy.forwarded(good, first=True)
    assert L.recv_exactly(server, len(expected)) == expected
    reply = L.http_response(b"fine")
    server.sendall(reply)
    assert L.recv_exactly(client.sock, len(reply)) == reply

    # A refused request pipelined between two good ones.
    batch = [L.http_request("/svc/x"), L.http_request("/y"), L.http_request("/svc/z")]
    client.sock.sendall(b"".join(batch))
    assert L.recv_exactly(client.sock, len(L.BAD_REQUEST)) == L.BAD_REQUEST
    assert L.recv_exactly(server, len(batch[0]) + len(batch[2])) == batch[0] + batch[2]
    assert L.nothing_arrives(client.sock)


def test_curl_through_the_proxy(proxy):
    """A real client: curl uploads 10 MiB and downloads 10 MiB."""
    listener = proxy.listen()
    upload = L.payload(10 * MIB, 5)
    download = L.payload(10 * MIB, 6)
    received = {}

    def serve():
        try:
            server = proxy.accept(listener)
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = server.recv(65536)
                assert chunk, f"stream ended inside the head: {head!r}"
                head += chunk
            head, _, body = head.partition(b"\r\n\r\n")
            length = next(int(line.split(b":")[1]) for line in head.split(b"\r\n")
                          if line.lower().startswith(b"content-length:"))
            body += L.recv_exactly(server, length - len(body))
            received["head"], received["body"] = head, body
            server.sendall(L.http_response(download, extra=b"Content-Type: "
                                           b"application/octet-stream\r\n"))
        except (AssertionError, OSError, StopIteration) as error:
            received["error"] = error

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    workdir = proxy.daemon.workdir
    with open(os.path.join(workdir, "upload.bin"), "wb") as file:
        file.write(upload)
    os.chmod(workdir, 0o755)
    curl = ["curl", "-q", "-sS", "--fail", "--max-time", str(int(L.TIMEOUT)), "-H", "Expect:",
            "--data-binary", f"@{workdir}/upload.bin", "-o", "-",
            f"http://[{L.SERVER_ADDR}]:{L.PORT_PLAIN}/svc/upload"]
    if proxy.forward:
        command = ["ip", "netns", "exec", proxy.lab.client_ns, "setpriv",
                   f"--reuid={L.CLIENT_UID}", f"--regid={L.CLIENT_GID}", "--clear-groups", *curl]
    else:
        command = ["ip", "netns", "exec", proxy.lab.client_ns, *curl]
    result = subprocess.run(command, capture_output=True, timeout=L.TIMEOUT * 2, cwd="/")
    thread.join(L.TIMEOUT)
    assert "error" not in received, received["error"]
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    L.assert_same_bytes(result.stdout, download, "downloaded body")
    L.assert_same_bytes(received["body"], upload, "uploaded body")
    headers = received["head"].split(b"\r\n")
    assert headers[0] == b"POST /svc/upload HTTP/1.1"
    swid = [line for line in headers if line.startswith(b"X-SWID: ")]
    assert swid == ([b"X-SWID: " + L.ALIAS.encode()] if proxy.forward else [])
