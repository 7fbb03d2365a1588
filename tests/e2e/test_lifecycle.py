"""Start-up on an interface, readiness, port reuse and the exit status of each way of stopping."""

import signal

import lab as L


def test_start_and_stop(lab):
    # Only a link-local address, or no such interface: nothing to bind to, so status 1 and no
    # readiness.
    for command in ("link add apll0 type veth peer name apll1", "link set apll1 up",
                    "link set apll0 addrgenmode none", "addr add fe80::1/64 dev apll0 nodad",
                    "link set apll0 up"):
        L.run("ip", "-n", lab.client_ns, *command.split())
    for interface in ("apll0", "nosuch0"):
        daemon = lab.start("forward", interface=interface)
        assert daemon.stop(None) == 1, interface  # no signal: it ends by itself
        assert L.quiet(daemon.notify, 0), interface
        log = daemon.log()
        assert "Could not find IP for interface" in log, interface
        assert "Proxy initialization failed, exiting" in log, interface

    # Port reuse lets a second proxy bind the same address and port. The kernel spreads the
    # connections over both, and each one works whichever proxy took it.
    listener = lab.listen()
    for role, port in (("forward", L.FORWARD_PORT), ("reverse", L.REVERSE_PORT)):
        first = lab.proxy(role).daemon
        second = lab.start(role).wait_ready()
        for index in range(6):
            lab.pair(listener, L.http_request(f"/svc/both/{index}"))[0].close()
        # SIGTERM ends with status 0, SIGINT with 1.
        assert (first.stop(signal.SIGTERM), second.stop(signal.SIGINT)) == (0, 1)
        for daemon in (first, second):
            assert f"Setting {role} proxy port : {port}" in daemon.log()
            assert "Stopping proxy" in daemon.log()
