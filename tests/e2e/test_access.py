"""Who gets through: security levels from the capability rules, the TLS exception list and the
identification of forward clients."""

import contextlib

import lab as L


def refused(proxy, client, listener, request):
    """The client's connection ends without an answer, and the plain request never reaches the
    service (an onward connection, if one was made, carries something else)."""
    with contextlib.suppress(OSError):
        client.sock.sendall(request)
    answer, _ = L.read_until_closed(client.sock)
    assert answer == b""
    if not L.nothing_arrives(listener, wait=0.2):
        server = proxy.accept(listener)
        seen, _ = L.read_until_closed(server)
        assert request not in seen and b"/svc/secret" not in seen


def test_security_level_decides_who_passes(proxy):
    request = L.http_request("/svc/secret")
    listeners = {port: proxy.listen(port) for port in
                 (L.PORT_PLAIN, L.PORT_AUTHENTIC, L.PORT_CONFIDENTIAL, L.PORT_UNDETERMINED)}

    # Level 0 (no rule matches): plain on both sides.
    client = proxy.client(L.PORT_PLAIN)
    server = proxy.accept(listeners[L.PORT_PLAIN])
    client.sock.sendall(request)
    expected = proxy.forwarded(request, first=True)
    assert L.recv_exactly(server, len(expected)) == expected

    # Levels 1 and 2 need a secured link, which a plain client cannot have: the plain request
    # never reaches the service.
    for port in (L.PORT_AUTHENTIC, L.PORT_CONFIDENTIAL):
        refused(proxy, proxy.client(port), listeners[port], request)

    # Level 7 is no level at all: the connection is rejected before any onward connection.
    refused(proxy, proxy.client(L.PORT_UNDETERMINED), listeners[L.PORT_UNDETERMINED], request)
    assert L.nothing_arrives(listeners[L.PORT_UNDETERMINED], wait=0.2)
    log = proxy.daemon.wait_for_log("Could not determine security level")
    assert "result : 7" in log

    # The refusals cost the proxy nothing: the first connection still works.
    reply = L.http_response(b"still here")
    server.sendall(reply)
    assert L.recv_exactly(client.sock, len(reply)) == reply


def test_forward_destination_on_exception_list_is_plain_with_identity_header(forward):
    # The rules want a confidential link to this address; the exception list overrides them
    # without asking, and the plain link gets the identity header like a level-0 one.
    listener = forward.listen(L.PORT_PLAIN, L.SERVER_EXTRA_ADDR)
    client = forward.client(L.PORT_PLAIN, L.SERVER_EXTRA_ADDR)
    server = forward.accept(listener)
    first = L.http_request("/svc/exempt/1")
    second = L.http_request("/svc/exempt/2")
    client.sock.sendall(first)
    assert L.recv_exactly(server, len(L.with_swid(first))) == L.with_swid(first)
    client.sock.sendall(second)
    assert L.recv_exactly(server, len(second)) == second
    log = forward.daemon.wait_for_log("Creating outgoing connection (TLS exclusion)")
    assert "Querying security level" not in log


def test_reverse_client_on_exception_list_skips_the_query(reverse):
    listener = reverse.listen(L.PORT_UNDETERMINED)
    request = L.http_request("/svc/exempt")

    # From the exempt address the level is never asked for, so the undeterminable level of
    # this service does not matter.
    client = reverse.client(L.PORT_UNDETERMINED, source=L.CLIENT_EXTRA_ADDR)
    server = reverse.accept(listener)
    client.sock.sendall(request)
    assert L.recv_exactly(server, len(request)) == request
    reply = L.http_response(b"exempt")
    server.sendall(reply)
    assert L.recv_exactly(client.sock, len(reply)) == reply
    log = reverse.daemon.wait_for_log("Creating incoming connection (TLS exclusion)")
    assert "Querying security level" not in log

    # From the ordinary address the same service is refused after the query.
    refused(reverse, reverse.client(L.PORT_UNDETERMINED), listener, request)
    log = reverse.daemon.wait_for_log("Could not determine security level")
    assert "Querying security level" in log


def test_forward_client_that_cannot_be_identified_is_rejected(forward):
    listener = forward.listen()
    request = L.http_request("/svc/who")

    # A connection from another host reaches the forward proxy's port: no local process owns
    # its client socket. A fixed source port keeps it from matching a local socket by chance.
    stranger = forward.lab.connect(forward.lab.server_ns, L.CLIENT_ADDR, L.FORWARD_PORT,
                                   source_port=40999)
    refused(forward, stranger, listener, request)
    forward.daemon.wait_for_log("Cannot find pid, most likely you did not set correct "
                                "permissions to the executable. Rejecting connection")
    assert L.nothing_arrives(listener, wait=0.2)

    # A local user that has neither an alias in the table nor a name in the user database.
    nameless = forward.client(uid=L.NAMELESS_UID)
    refused(forward, nameless, listener, request)
    forward.daemon.wait_for_log("Alias query vector empty. Rejecting connection")
    assert L.nothing_arrives(listener, wait=0.2)

    # An identified user still gets through, with the first of its aliases.
    client = forward.client()
    server = forward.accept(listener)
    client.sock.sendall(request)
    assert L.recv_exactly(server, len(L.with_swid(request))) == L.with_swid(request)
    log = forward.daemon.wait_for_log(f"/{L.ALIAS}->[{L.SERVER_ADDR}]:{L.PORT_PLAIN},in,p,")
    assert "org.example.second" not in log
