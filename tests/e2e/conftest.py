"""Fixtures: a lab of network namespaces per test, with the proxy under test in either role."""

import contextlib
import glob
import os
import subprocess

import pytest

import lab as L


def pytest_addoption(parser):
    parser.addoption("--daemon", default=os.environ.get("AP_DAEMON"),
                     help="path of the built access-proxy (default: $AP_DAEMON)")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failed test shows its daemons' output and logs, those of its own lab stopped first so
    that they are complete; a lab that later tests share keeps running."""
    report = (yield).get_result()
    if report.failed and call.when == "call":
        for name, the_lab in getattr(item, "funcargs", {}).items():
            for daemon in the_lab.daemons if isinstance(the_lab, L.Lab) else ():
                if name == "lab":
                    with contextlib.suppress(subprocess.TimeoutExpired):
                        daemon.stop()
                report.sections.append(("access-proxy", daemon.report()))


@pytest.fixture(scope="session")
def daemon_path(request):
    if os.geteuid() != 0:
        pytest.skip("needs root: creates network namespaces and nftables rules")
    path = request.config.getoption("--daemon")
    if not path or not os.access(path, os.X_OK):
        pytest.fail(f"no daemon at {path!r}: pass --daemon=<built access-proxy> or set AP_DAEMON")
    # Namespaces that a killed earlier run left behind: their owner pid is gone.
    for name in map(os.path.basename, glob.glob(f"/run/netns/{L.PREFIX}-*")):
        if not os.path.exists(f"/proc/{name.split('-')[1]}"):
            L.delete_namespace(name)
    return os.path.abspath(path)


@pytest.fixture
def lab(daemon_path):
    """A lab per test, checked at its end (lab.checked)."""
    with L.checked(daemon_path) as the_lab:
        yield the_lab


@pytest.fixture(scope="module", params=["forward", "reverse"])
def shared_proxy(request, daemon_path):
    """One proxy per role for all the tests of a module that ask for it; each test uses
    destinations of its own, so that what one leaves behind cannot disturb another."""
    with L.checked(daemon_path) as the_lab:
        yield the_lab.proxy(request.param)
