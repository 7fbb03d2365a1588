"""Start-up on an interface, readiness, port reuse, the exit status of each way of stopping and
the shipped deployment files."""

import os
import shutil
import signal
import tempfile

import pytest

import lab as L


def test_start_and_stop(lab):
    # Only a link-local address, or no such interface: nothing to bind to, status 1, no readiness.
    for command in ("link add apll0 type veth peer name apll1", "link set apll1 up",
                    "link set apll0 addrgenmode none", "addr add fe80::1/64 dev apll0 nodad",
                    "link set apll0 up"):
        L.run("ip", "-n", lab.client_ns, *command.split())
    for interface in ("apll0", "nosuch0"):
        daemon = lab.start("forward", interface=interface)
        assert daemon.stop(None) == 1, interface  # no signal: it ends by itself
        assert L.quiet(daemon.notify, wait=0), interface
        assert "Could not find IP for interface" in daemon.log(), interface

    # Port reuse lets a second proxy bind the same address and port; each connection works
    # whichever proxy the kernel gave it to. SIGTERM ends with status 0, SIGINT with 1.
    listener = lab.listen()
    for role in ("forward", "reverse"):
        first = lab.proxy(role).daemon
        second = lab.start(role).wait_ready()
        for index in range(6):
            lab.pair(listener, L.http_request(f"/svc/both/{index}"))[0].close()
        assert (first.stop(signal.SIGTERM), second.stop(signal.SIGINT)) == (0, 1)

    # The lab loads the rule files with its own definitions; here they are as shipped. Inside the
    # lab, as nft -c still asks the kernel.
    for name in ("nftables-forward.nft", "nftables-reverse.nft"):
        L.run("ip", "netns", "exec", lab.client_ns, "nft", "-c", "-f", os.path.join(L.DEPLOY, name))


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="no systemd-analyze")
def test_service_unit_verifies(daemon_path):
    with open(os.path.join(L.DEPLOY, "access-proxy.service")) as unit, \
            tempfile.NamedTemporaryFile("w", suffix=".service") as copy:
        copy.write(unit.read().replace("/usr/local/bin/access-proxy", daemon_path))
        copy.flush()
        L.run("systemd-analyze", "verify", copy.name)
