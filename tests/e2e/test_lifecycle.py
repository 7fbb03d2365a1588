"""Start-up on an interface, readiness, and the exit status of each way of stopping."""

import signal

import pytest

import lab as L


def start(the_lab, role, interface=None, **options):
    if role == "-f":
        return the_lab.daemon(the_lab.client_ns, "-f", interface or "ap0", **options)
    return the_lab.daemon(the_lab.server_ns, "-r", interface or "ap1", **options)


@pytest.mark.parametrize("role", ["-f", "-r"])
@pytest.mark.parametrize("number,status", [(signal.SIGTERM, 0), (signal.SIGINT, 1)],
                         ids=["SIGTERM", "SIGINT"])
def test_termination_signal_decides_exit_status(lab, role, number, status):
    daemon = start(lab, role).start().wait_ready()
    assert daemon.stop(number) == status
    log = daemon.log()
    assert "Stopping proxy" in log
    port = L.FORWARD_PORT if role == "-f" else L.REVERSE_PORT
    assert ("Setting forward proxy port" if role == "-f" else "Setting reverse proxy port") in log
    assert f" : {port}" in log


def test_sigterm_with_connections_open_ends_with_status_0(proxy):
    listener = proxy.listen()
    request = L.http_request("/svc/idle")

    # An idle pair, a pair in the middle of a long upload to a server that does not read, a
    # request whose head is only half there, and an upgraded WebSocket.
    idle = proxy.client()
    idle_server = proxy.accept(listener)
    idle.sock.sendall(request)
    L.recv_exactly(idle_server, len(proxy.forwarded(request, True)))

    uploading = proxy.client()
    proxy.accept(listener)
    L.Sender(uploading.sock, L.http_request("/svc/up", method="POST",
                                            body=L.payload(8 << 20, 30)))

    partial = proxy.client()
    proxy.accept(listener)
    partial.sock.sendall(b"GET /svc/partial HTTP/1.1\r\nHo")

    websocket = proxy.client()
    websocket_server = proxy.accept(listener)
    upgrade = L.http_request("/svc/events", extra=b"Upgrade: websocket\r\nConnection: Upgrade\r\n")
    websocket.sock.sendall(upgrade)
    L.recv_exactly(websocket_server, len(proxy.forwarded(upgrade, True)))
    websocket_server.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                             b"Connection: Upgrade\r\n\r\n")

    assert proxy.daemon.stop(signal.SIGTERM) == 0
    for client in (idle, partial, websocket):
        L.read_until_closed(client.sock)


def test_interface_without_global_address_fails_start(lab):
    # Only a link-local address: the proxy has nothing to bind to.
    L.run("ip", "-n", lab.client_ns, "link", "add", "apll0", "type", "veth", "peer", "name",
          "apll1")
    L.run("ip", "-n", lab.client_ns, "link", "set", "apll0", "addrgenmode", "none")
    L.run("ip", "-n", lab.client_ns, "addr", "add", "fe80::1/64", "dev", "apll0", "nodad")
    L.run("ip", "-n", lab.client_ns, "link", "set", "apll0", "up")
    L.run("ip", "-n", lab.client_ns, "link", "set", "apll1", "up")
    for interface in ("apll0", "nosuch0"):
        daemon = start(lab, "-f", interface).start()
        assert daemon.wait() == 1, interface
        assert not daemon.sent_ready()
        log = daemon.log()
        assert "Could not find IP for interface" in log, interface
        assert "Proxy initialization failed, exiting" in log, interface


def test_second_proxy_binds_the_same_address_and_port(lab):
    lab.redirect_forward()
    first = start(lab, "-f").start().wait_ready()
    second = start(lab, "-f").start().wait_ready()
    assert first.running() and second.running()

    # Both accept (the kernel spreads connections over the two listening sockets): every
    # connection still works, whichever proxy took it.
    listener = lab.listen(lab.server_ns, L.SERVER_ADDR, L.PORT_PLAIN)
    for index in range(6):
        client = lab.user_client(L.SERVER_ADDR, L.PORT_PLAIN)
        server = lab.accept(listener)
        request = L.http_request(f"/svc/both/{index}")
        client.sock.sendall(request)
        assert L.recv_exactly(server, len(L.with_swid(request))) == L.with_swid(request)
        client.close()
    assert first.stop() == 0
    assert second.stop() == 0
