"""The deployment examples: the nftables rule sets are valid and, with their definitions set to a
lab's addresses, really bring connections to the proxy; the systemd unit passes verification."""

import os
import re
import shutil
import subprocess
import tempfile

import pytest

import lab as L

DEPLOY = os.path.join(os.path.dirname(__file__), "..", "..", "deploy")


def rules(name, **definitions):
    """The rule file's text with the given definitions replaced."""
    with open(os.path.join(DEPLOY, name)) as file:
        text = file.read()
    for key, value in definitions.items():
        text, count = re.subn(rf"^define {key} = .*$", f"define {key} = {value}", text,
                              flags=re.M)
        assert count == 1, key
    return text


@pytest.mark.parametrize("name", ["nftables-forward.nft", "nftables-reverse.nft"])
def test_rule_files_pass_the_check(lab, name):
    # Checked inside the lab's namespace: nft -c still asks the kernel.
    result = L.run("ip", "netns", "exec", lab.client_ns, "nft", "-c", "-f",
                   os.path.join(DEPLOY, name), check=False)
    assert result.returncode == 0, result.stderr


def test_forward_rules_redirect_the_applications_only(lab):
    # The proxy runs as root here, so root is the proxy's user.
    L.nft(lab.client_ns, rules("nftables-forward.nft", PROXY_ADDR=L.CLIENT_ADDR,
                               APP_UIDS=f"{{ {L.CLIENT_UID} }}", PROXY_UID="0"))
    lab.daemon(lab.client_ns, "-f", "ap0").start().wait_ready()
    listener = lab.listen(lab.server_ns, L.SERVER_ADDR, L.PORT_PLAIN)
    request = L.http_request("/svc/deployed")

    client = lab.user_client(L.SERVER_ADDR, L.PORT_PLAIN)
    server = lab.accept(listener)
    client.sock.sendall(request)
    assert L.recv_exactly(server, len(L.with_swid(request))) == L.with_swid(request)

    # Anybody else (here: root, from this process) goes straight to the service.
    direct = lab.connect(lab.client_ns, L.SERVER_ADDR, L.PORT_PLAIN)
    server = lab.accept(listener)
    direct.sock.sendall(request)
    assert L.recv_exactly(server, len(request)) == request


def test_reverse_rules_redirect_the_service_ports_only(lab):
    L.nft(lab.server_ns, rules("nftables-reverse.nft", PROXY_ADDR=L.SERVER_ADDR,
                               CLIENT_IF='"ap1"', SERVICE_PORTS=f"{{ {L.PORT_PLAIN} }}"))
    daemon = lab.daemon(lab.server_ns, "-r", "ap1").start().wait_ready()
    request = L.http_request("/svc/deployed")
    for port, redirected in ((L.PORT_PLAIN, True), (L.PORT_SPARE, False)):
        listener = lab.listen(lab.server_ns, L.SERVER_ADDR, port)
        client = lab.connect(lab.client_ns, L.SERVER_ADDR, port)
        server = lab.accept(listener)
        client.sock.sendall(request)
        assert L.recv_exactly(server, len(request)) == request
        # The service sees the proxy's address as the peer exactly when it was redirected.
        assert (server.getpeername()[0] == L.SERVER_ADDR) == redirected
    assert daemon.wait_for_log(f"->[{L.SERVER_ADDR}]:{L.PORT_PLAIN},in,p,")
    assert f"]:{L.PORT_SPARE}," not in daemon.log()


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="no systemd-analyze")
def test_service_unit_verifies(daemon_path):
    with open(os.path.join(DEPLOY, "access-proxy.service")) as file:
        unit = file.read()
    assert "Type=notify" in unit
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "access-proxy.service")
        with open(path, "w") as file:
            file.write(unit.replace("/usr/local/bin/access-proxy", daemon_path))
        result = subprocess.run(["systemd-analyze", "verify", path], capture_output=True,
                                text=True, timeout=L.TIMEOUT)
    assert result.returncode == 0, result.stderr
