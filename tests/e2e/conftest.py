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
    """A failed test shows its daemons' output and logs, stopped first so that they are complete."""
    report = (yield).get_result()
    arguments = getattr(item, "funcargs", {})
    the_lab, shared = arguments.get("lab"), arguments.get("shared_proxy")
    if report.failed and call.when == "call":
        # A shared daemon serves the module's later tests: its log is shown as far as written.
        for daemon in the_lab.daemons if isinstance(the_lab, L.Lab) else []:
            with contextlib.suppress(subprocess.TimeoutExpired):
                daemon.stop()
            report.sections.append(("access-proxy", daemon.report()))
        for daemon in shared.daemons if isinstance(shared, L.Lab) else []:
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


@contextlib.contextmanager
def checked_lab(daemon_path):
    """Whatever the outcome, every daemon still running at the end gets SIGTERM and must end
    with status 0, no daemon may leave a sanitizer report, and the namespaces go."""
    the_lab, problems = L.Lab(daemon_path), []
    try:
        yield the_lab
        for daemon in the_lab.daemons:
            try:
                if daemon.process.poll() is None and daemon.stop() != 0:
                    problems.append(f"SIGTERM gave status {daemon.status}\n{daemon.report()}")
                elif "Sanitizer" in (err := daemon.read("output.txt")) or "runtime error:" in err:
                    problems.append(f"sanitizer report\n{daemon.report()}")
            except subprocess.TimeoutExpired:
                problems.append(f"SIGTERM did not end the daemon\n{daemon.report()}")
    finally:
        the_lab.close()
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def lab(daemon_path):
    with checked_lab(daemon_path) as the_lab:
        yield the_lab


@pytest.fixture(params=["forward", "reverse"])
def proxy(request, lab):
    return lab.proxy(request.param)


@pytest.fixture(scope="module", params=["forward", "reverse"])
def shared_proxy(request, daemon_path):
    """One proxy per role for all the tests of a module that ask for it; each test uses
    destinations of its own, so that what one leaves behind cannot disturb another."""
    with checked_lab(daemon_path) as the_lab:
        yield the_lab.proxy(request.param)
