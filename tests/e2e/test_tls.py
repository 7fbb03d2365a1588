"""Authentic (level 1, port 8081) and confidential (level 2, port 8082) links with real TLS peers
on either side, mutual authentication, the handshake deadline and start-up credentials."""

import contextlib
import os
import shutil
import socket
import ssl
import time

import pytest

import lab as L

CLIENT_CN = "remote.client"
NULL_SUITE = "ECDHE-ECDSA-NULL-SHA"
FORGED = b"X-SWID: mallory\r\n"
PORTS = {1: L.PORT_AUTHENTIC, 2: L.PORT_CONFIDENTIAL}


@pytest.fixture(scope="module")
def creds(tmp_path_factory):
    """Ours: CA, node, the application ALIAS and a remote client; theirs: another CA's client."""
    root, script = tmp_path_factory.mktemp("tls"), f"{L.HERE}/../../scripts/make-tls-credentials.sh"
    L.run("bash", script, str(root / "ours"), L.ALIAS, CLIENT_CN)
    L.run("bash", script, str(root / "theirs"), CLIENT_CN)
    return {"ours": str(root / "ours"), "theirs": str(root / "theirs")}


def context(creds, level, identity="ours", server=False):
    """A peer trusting our CA, presenting CLIENT_CN (the node as a server) of the identity's CA
    or nothing; clients offer the integrity-only suite alone for level 1, the defaults for 2."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER if server else ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_REQUIRED
    ctx.load_verify_locations(os.path.join(creds["ours"], "ca.pem"))
    if identity:
        name = os.path.join(creds[identity], "node" if server else CLIENT_CN)
        ctx.load_cert_chain(name + ".pem", name + ".key")
    if server:
        ctx.set_ciphers("ALL:eNULL:@SECLEVEL=0")  # anything: what is negotiated is the proxy's pick
    elif level == 1:
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        ctx.set_ciphers(NULL_SUITE + ":@SECLEVEL=0")
    return ctx


def common_name(tls):
    return dict(entry[0] for entry in tls.getpeercert()["subject"])["commonName"]


def ends_in_order(tls, plain, tls_first):
    """A close_notify reaches the plain side as the end of its stream, the plain side's end
    reaches the TLS side as close_notify (or recv and unwrap raise: ragged ends count)."""
    if tls_first:
        ending = L.workers.submit(tls.unwrap)
        assert L.expect(plain, b"", end=True) == "eof"
    with contextlib.suppress(OSError):
        plain.shutdown(socket.SHUT_WR)
    assert ending.result(L.TIMEOUT) if tls_first else tls.recv(1) == b""


def copy(source, target, *names):
    target.mkdir(exist_ok=True)
    for name in names:
        shutil.copy(os.path.join(source, name), target)
    return str(target)


def refused(lab, port, ctx):
    """No session; an onward connection made meanwhile (if any) ends without carrying a byte."""
    with contextlib.suppress(ssl.SSLError, ConnectionError):
        tls = ctx.wrap_socket(lab.client(port))
        tls.sendall(L.http_request("/svc/secret"))
        assert tls.recv(1) == b""
    while not L.quiet(lab.services[port], wait=0.3):
        assert L.receive(lab.accept(lab.services[port]))[0] == b""


@pytest.fixture(scope="module")
def reverse(daemon_path, creds):
    """One reverse proxy for the module, with one handler thread: all connections share a loop."""
    with L.checked(daemon_path) as lab:
        lab.services = {port: lab.listen(port, backlog=256) for port in PORTS.values()}
        yield lab.proxy("reverse", "-t", "1", tls_dir=creds["ours"])


def test_reverse_links_carry_the_client_identity(reverse, creds):
    for level, port in PORTS.items():
        tls = context(creds, level).wrap_socket(reverse.client(port), suppress_ragged_eofs=False)
        service = reverse.accept(reverse.services[port])
        suite = tls.cipher()[0]
        assert (common_name(tls), suite == NULL_SUITE) == ("node", level == 1), suite
        assert tls.version() == ("TLSv1.2" if level == 1 else "TLSv1.3")
        # 10 MiB each way. The first request carries the certificate's name, never the claim
        # the client made; later requests carry no identity at all.
        body = L.payload(10 << 20, level)
        L.exchange(tls, service, L.http_request("/svc/up", "POST", body, extra=FORGED),
                   L.http_response(L.payload(10 << 20, level + 2)),
                   L.with_identity(L.http_request("/svc/up", "POST", body), CLIENT_CN))
        tls.sendall(L.http_request("/svc/next", extra=FORGED))
        L.expect(service, L.http_request("/svc/next"), "a later request")
        # A TLS 1.3 server sends session tickets after the handshake; they came before the data.
        assert level == 1 or tls.session.has_ticket

        # No certificate, one from another CA, or the suites of the other level: no session,
        # and nothing reaches the service.
        for ctx in (context(creds, level, None), context(creds, level, "theirs"),
                    context(creds, 3 - level)):
            refused(reverse, port, ctx)
        tls.sendall(L.http_request("/svc/still"))
        L.expect(service, L.http_request("/svc/still"), "after the refusals")
        ends_in_order(tls, service, tls_first=level == 1)


def timed_exchange(reverse, creds):
    start, request = time.monotonic(), L.http_request("/svc/now")
    tls = context(creds, 2).wrap_socket(reverse.client(L.PORT_CONFIDENTIAL))
    service = reverse.accept(reverse.services[L.PORT_CONFIDENTIAL])
    L.exchange(tls, service, request, L.http_response(b"ok"), L.with_identity(request, CLIENT_CN))
    return time.monotonic() - start


def test_silent_clients_wait_out_the_handshake_deadline(reverse, creds):
    """100 clients that never send a ClientHello and two that stop after it hold no thread: a
    well-behaved client is served at once meanwhile; they are closed once the deadline passed."""
    silent, connected = [], []
    for _ in range(102):
        silent.append(reverse.client(L.PORT_AUTHENTIC))
        connected.append(time.monotonic())
    for stalled in silent[:2]:
        hello = context(creds, 1).wrap_bio(ssl.MemoryBIO(), outgoing := ssl.MemoryBIO())
        with contextlib.suppress(ssl.SSLWantReadError):
            hello.do_handshake()
        stalled.sendall(outgoing.read())

    served = timed_exchange(reverse, creds)
    print(f"\nwell-behaved TLS exchange during a burst of 102 silent clients: {served:.3f} s")
    assert served < 5 and L.quiet(*silent[2:], wait=0)

    # Each one ends (the first two may see the refusal alert), none before the deadline, and
    # its service side carries nothing.
    ended = []
    for index, sock in enumerate(silent):
        data, how = L.receive(sock)
        assert how and (index < 2 or data == b""), how
        ended.append(time.monotonic() - connected[index])
    print(f"silent clients closed after {min(ended):.2f} to {max(ended):.2f} s")
    assert min(ended) > 9.5
    for _ in silent:
        assert L.receive(reverse.accept(reverse.services[L.PORT_AUTHENTIC]))[0] == b""
    reverse.daemon.wait_for_log("deadline : handshake")
    print(f"the same exchange without the burst: {timed_exchange(reverse, creds):.3f} s")


def test_forward_links_present_the_application_identity(lab, creds, tmp_path):
    ours, tls_dir = creds["ours"], tmp_path / "credentials"
    proxy = lab.proxy("forward", tls_dir=copy(ours, tls_dir, "ca.pem", "node.pem", "node.key"))
    # A service that takes the connection and never answers: its client ends at the deadline.
    services = {L.PORT_AUTHENTIC: lab.listen(L.PORT_AUTHENTIC)}
    stalled, stalled_at = proxy.client(L.PORT_AUTHENTIC), time.monotonic()
    lab.accept(services[L.PORT_AUTHENTIC])

    # Without files of its own the application's links present the node. The service sends
    # session tickets and asks for key updates mid-stream: the link carries on.
    server = lab.openssl(lab.server_ns, "s_server", "-naccept", "1", "-accept",
                         f"[{L.SERVER_ADDR}]:{L.PORT_CONFIDENTIAL}", "-Verify", "1",
                         "-CAfile", f"{ours}/ca.pem", "-cert", f"{ours}/node.pem",
                         "-key", f"{ours}/node.key")
    server.wait_for(b"ACCEPT")
    client = proxy.client(L.PORT_CONFIDENTIAL)
    server.wait_for(b"subject=CN = node")
    for index in range(3):
        request, response = L.http_request(f"/svc/{index}"), L.http_response(b"%d" % index)
        client.sendall(request)
        server.wait_for(request)
        server.type(b"K\n")  # s_server's command: a key update, asking the peer for one too
        server.wait_for(b"SSL_do_handshake -> 1")
        server.type(response)
        L.expect(client, response)
    server.close()

    # With them, they are presented; authentic links negotiate an integrity-only suite, and
    # confidential ones an AEAD suite, though the service would accept any.
    copy(ours, tls_dir, L.ALIAS + ".pem", L.ALIAS + ".key")
    services[L.PORT_CONFIDENTIAL] = lab.listen(L.PORT_CONFIDENTIAL)
    for level, port in PORTS.items():
        client = proxy.client(port)
        request = L.http_request("/svc/up", "POST", L.payload(1 << 20, level))
        sent = L.sending(client, request)  # before the session exists: held until it does
        tls = context(creds, level, server=True).wrap_socket(
            lab.accept(services[port]), server_side=True, suppress_ragged_eofs=False)
        suite = tls.cipher()[0]
        assert common_name(tls) == L.ALIAS
        assert (suite == NULL_SUITE if level == 1 else "GCM" in suite or "POLY1305" in suite), suite
        L.expect(tls, request, "a request sent during the handshake")
        sent()
        L.exchange(client, tls, request, L.http_response(L.payload(1 << 20, level + 2)))
        ends_in_order(tls, client, tls_first=level == 2)

    # A service whose certificate our CA did not issue gets no session, its client no bytes.
    client = proxy.client(L.PORT_CONFIDENTIAL)
    with pytest.raises(ssl.SSLError):
        context(creds, 2, "theirs", server=True).wrap_socket(
            lab.accept(services[L.PORT_CONFIDENTIAL]), server_side=True)
    with contextlib.suppress(ConnectionError):
        client.sendall(L.http_request("/svc/secret"))
    L.expect(client, b"", end=True)
    proxy.daemon.wait_for_log("Secure Outgoing Connection session failed")
    assert L.expect(stalled, b"", end=True) and time.monotonic() - stalled_at > 9.5


def test_credentials_at_start_up(lab, creds, tmp_path):
    # Without a credentials directory the proxy runs, and refuses every link that needs TLS.
    reverse = lab.proxy("reverse")
    lab.services = {port: lab.listen(port) for port in PORTS.values()}
    for level, port in PORTS.items():
        refused(lab, port, context(creds, level))
    log = reverse.daemon.wait_for_log("Secure connections not available. Rejecting connection")
    assert "No TLS credentials configured" in log

    # A directory without the node's key: no start, and the log names the file.
    daemon = lab.start("reverse", tls_dir=copy(creds["ours"], tmp_path, "ca.pem", "node.pem"))
    assert daemon.stop(None) == 1 and L.quiet(daemon.notify, wait=0)
    assert f"{tmp_path}/node.key" in daemon.log()
