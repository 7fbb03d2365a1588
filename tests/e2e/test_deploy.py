"""The deployment examples: both nftables rule sets are valid and, with their definitions set to
a lab's addresses, bring exactly the intended connections to the proxy; the unit verifies."""

import os
import re
import shutil
import tempfile

import pytest

import lab as L

DEPLOY = os.path.join(os.path.dirname(__file__), "..", "..", "deploy")


def rules(name, **definitions):
    with open(os.path.join(DEPLOY, name)) as file:
        text = file.read()
    for key, value in definitions.items():
        text, count = re.subn(rf"^define {key} = .*$", f"define {key} = {value}", text, flags=re.M)
        assert count == 1, key
    return text


def test_rule_files(lab):
    for name in ("nftables-forward.nft", "nftables-reverse.nft"):
        # Inside the lab: nft -c still asks the kernel.
        result = L.run("ip", "netns", "exec", lab.client_ns, "nft", "-c", "-f",
                       os.path.join(DEPLOY, name), check=False)
        assert result.returncode == 0, f"{name}: {result.stderr}"
    request = L.http_request("/svc/deployed")

    # Forward: the applications' connections go to the proxy (root here), others' do not.
    L.nft(lab.client_ns, rules("nftables-forward.nft", PROXY_ADDR=L.CLIENT_ADDR,
                               APP_UIDS=f"{{ {L.CLIENT_UID} }}", PROXY_UID="0"))
    lab.start("forward").wait_ready()
    listener = lab.listen()
    for user in (True, False):
        lab.client(user=user).sendall(request)
        L.expect(lab.accept(listener), L.with_swid(request) if user else request)

    # Reverse: only the service ports go to the proxy, whose address the service then sees.
    L.nft(lab.server_ns, rules("nftables-reverse.nft", PROXY_ADDR=L.SERVER_ADDR,
                               CLIENT_IF='"ap1"', SERVICE_PORTS=f"{{ {L.PORT_PLAIN} }}"))
    lab.start("reverse").wait_ready()
    for port, listener, peer in ((L.PORT_PLAIN, listener, L.SERVER_ADDR),
                                 (L.PORT_SPARE, lab.listen(L.PORT_SPARE), L.CLIENT_ADDR)):
        lab.client(port, user=False).sendall(request)
        server = lab.accept(listener)
        L.expect(server, request)
        assert server.getpeername()[0] == peer, port


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="no systemd-analyze")
def test_service_unit_verifies(daemon_path):
    with open(os.path.join(DEPLOY, "access-proxy.service")) as unit, \
            tempfile.NamedTemporaryFile("w", suffix=".service") as copy:
        copy.write(unit.read().replace("/usr/local/bin/access-proxy", daemon_path))
        copy.flush()
        result = L.run("systemd-analyze", "verify", copy.name, check=False)
    assert result.returncode == 0, result.stderr
