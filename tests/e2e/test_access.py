"""Who gets through: security levels from the capability rules, the TLS exception list, the
identification of forward clients and connections not redirected."""

import contextlib

import lab as L

REQUEST = L.http_request("/svc/secret")


def refused(proxy, client, listener, onward=False):
    """The connection ends without an answer; an onward connection, which only a secured link
    may have, never carries the request."""
    with contextlib.suppress(OSError):
        client.sendall(REQUEST)
    L.expect(client, b"", end=True)
    if onward and not L.quiet(listener, wait=0.2):
        assert b"/svc/secret" not in L.receive(proxy.accept(listener))[0]
    assert L.quiet(listener, wait=0.2)


def test_who_passes(shared_proxy):
    proxy = shared_proxy
    ports = (L.PORT_PLAIN, L.PORT_AUTHENTIC, L.PORT_CONFIDENTIAL, L.PORT_UNDETERMINED)
    listeners = {port: proxy.listen(port) for port in ports}
    # The exception list overrides the rules without asking: a forward destination that they
    # give level 2, a reverse client of the service whose level cannot be determined (asking
    # would reject it). Plain like level 0, so the identity header goes into the first request.
    if proxy.forward:
        exempt, exempt_server = proxy.pair(proxy.listen(address=L.SERVER_EXTRA_ADDR), REQUEST,
                                           address=L.SERVER_EXTRA_ADDR)
    else:
        exempt, exempt_server = proxy.pair(listeners[L.PORT_UNDETERMINED], REQUEST,
                                           port=L.PORT_UNDETERMINED, source=L.CLIENT_EXTRA_ADDR)
    exempt.sendall(REQUEST)
    L.expect(exempt_server, REQUEST)

    # Level 0 (no rule matches) passes plain. Levels 1 and 2 need a secured link, which a plain
    # client cannot have; 7 is no level at all and is rejected before any onward connection.
    proxy.pair(listeners[L.PORT_PLAIN], REQUEST)
    for port in ports[1:]:
        refused(proxy, proxy.client(port), listeners[port], port != L.PORT_UNDETERMINED)
    assert "result : 7" in proxy.daemon.wait_for_log("Could not determine security level")

    # Straight to the proxy's port, not redirected: following its "original destination" would
    # make the proxy connect to itself.
    direct = (L.FORWARD_PORT, L.CLIENT_ADDR) if proxy.forward else (L.REVERSE_PORT, L.SERVER_ADDR)
    refused(proxy, proxy.client(*direct, user=False), listeners[L.PORT_PLAIN])
    proxy.daemon.wait_for_log("Connection was not redirected to the proxy. Rejecting connection")

    if proxy.forward:
        # From another host, redirected: no local process owns the client socket (the fixed
        # source port keeps it from matching a local one by chance).
        L.nft(proxy.client_ns, f"table ip6 {L.PREFIX}_remote {{ chain pre {{ type nat hook "
                               f"prerouting priority -100; policy accept; iifname \"ap0\" tcp "
                               f"dport 8099 dnat to [{L.CLIENT_ADDR}]:{L.FORWARD_PORT}; }}; }}")
        refused(proxy, proxy.client(8099, L.CLIENT_ADDR, user=False, namespace=proxy.server_ns,
                                    source_port=40999), listeners[L.PORT_PLAIN])
        proxy.daemon.wait_for_log("Cannot find pid, most likely you did not set correct "
                                  "permissions to the executable. Rejecting connection")
