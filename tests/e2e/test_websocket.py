"""WebSocket upgrades: one open WebSocket per application and destination in the forward role."""

import lab as L

SWITCHING = (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n")
# One unmasked final text frame, as a server sends it.
SERVER_FRAME = b"\x81\x0bhello world"


def upgrade_request(path="/svc/events"):
    return L.http_request(path, extra=b"Upgrade: websocket\r\nConnection: Upgrade\r\n"
                          b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          b"Sec-WebSocket-Version: 13\r\n")


def open_websocket(proxy, listener, port=L.PORT_PLAIN):
    client = proxy.client(port)
    server = proxy.accept(listener)
    request = upgrade_request()
    client.sock.sendall(request)
    expected = proxy.forwarded(request, first=True)
    assert L.recv_exactly(server, len(expected)) == expected
    server.sendall(SWITCHING)
    assert L.recv_exactly(client.sock, len(SWITCHING)) == SWITCHING
    return client, server


def test_second_websocket_to_the_same_destination_gets_409(forward):
    listener = forward.listen()
    first, first_server = open_websocket(forward, listener)

    # Same application, address and port while the first is open: 409 and the pair closes;
    # the onward connection, made when the client connected, never sees the request.
    second = forward.client()
    second_server = forward.accept(listener)
    second.sock.sendall(upgrade_request())
    answer, _ = L.read_until_closed(second.sock)
    assert answer == L.CONFLICT
    assert L.read_until_closed(second_server) == (b"", "eof")
    forward.daemon.wait_for_log("Websocket with this domain and IP/Port is already open. "
                                "Returning HTTP 409")

    # Another port is another key.
    spare_listener = forward.listen(L.PORT_SPARE)
    open_websocket(forward, spare_listener, L.PORT_SPARE)

    # The first WebSocket is untouched.
    first_server.sendall(SERVER_FRAME)
    assert L.recv_exactly(first.sock, len(SERVER_FRAME)) == SERVER_FRAME

    # Once the first has closed (the server sees its end after the proxy dropped the
    # registration), the next upgrade is allowed.
    first.close()
    assert L.read_until_closed(first_server) == (b"", "eof")
    third, third_server = open_websocket(forward, listener)
    third_server.sendall(SERVER_FRAME)
    assert L.recv_exactly(third.sock, len(SERVER_FRAME)) == SERVER_FRAME


def test_reverse_websockets_are_not_limited(reverse):
    # Remote clients are not told apart by application, so the reverse role keeps no registry.
    listener = reverse.listen()
    sessions = [open_websocket(reverse, listener) for _ in range(2)]
    for client, server in sessions:
        server.sendall(SERVER_FRAME)
        assert L.recv_exactly(client.sock, len(SERVER_FRAME)) == SERVER_FRAME
    assert "Websocket with this domain" not in reverse.daemon.log()
