"""Fixtures of the end-to-end tests: a lab of network namespaces per test, the daemon in either
role, and the clean-up that runs whatever the test's outcome."""

import os

import pytest

import lab as L


def pytest_addoption(parser):
    parser.addoption("--daemon", default=os.environ.get("AP_DAEMON"),
                     help="path of the built access-proxy (default: $AP_DAEMON)")


def pytest_configure(config):
    config.addinivalue_line("markers", "daemon_args(*args): extra command-line options for the "
                            "daemon of the proxy fixture")


@pytest.hookimpl(hookwrapper=True, tryfirst=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, f"report_{report.when}", report)


@pytest.fixture(scope="session")
def daemon_path(request):
    if os.geteuid() != 0:
        pytest.skip("needs root: creates network namespaces and nftables rules")
    path = request.config.getoption("--daemon")
    if not path:
        pytest.fail("no daemon given: pass --daemon=<path of access-proxy> or set AP_DAEMON")
    path = os.path.abspath(path)
    if not os.access(path, os.X_OK):
        pytest.fail(f"daemon {path} is not an executable")
    L.remove_stale_namespaces()
    return path


@pytest.fixture
def lab(request, daemon_path):
    """A fresh pair of namespaces. On teardown every daemon still running is stopped with
    SIGTERM and must end with status 0 and without sanitizer reports; on failure the daemons'
    logs are printed."""
    the_lab = L.Lab(daemon_path)
    try:
        yield the_lab
    finally:
        try:
            problems = L.sigterm_problems(the_lab.daemons)
            failed = any(getattr(request.node, f"report_{when}", None) is not None
                         and getattr(request.node, f"report_{when}").failed
                         for when in ("setup", "call"))
            if failed and not problems:
                for daemon in the_lab.daemons:
                    print(daemon.report())
        finally:
            the_lab.close()
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


class Proxied:
    """A running proxy in either role, with the means to reach a service through it."""

    def __init__(self, the_lab, role, daemon_args=()):
        self.lab = the_lab
        self.role = role
        if role == "forward":
            the_lab.redirect_forward()
            self.daemon = the_lab.daemon(the_lab.client_ns, "-f", "ap0", extra_args=daemon_args)
        else:
            the_lab.redirect_reverse()
            self.daemon = the_lab.daemon(the_lab.server_ns, "-r", "ap1", extra_args=daemon_args)
        self.daemon.start().wait_ready()

    @property
    def forward(self):
        return self.role == "forward"

    def listen(self, port=L.PORT_PLAIN, address=L.SERVER_ADDR):
        """A service listening in the server namespace."""
        return self.lab.listen(self.lab.server_ns, address, port)

    def client(self, port=L.PORT_PLAIN, address=L.SERVER_ADDR, **options):
        """A client connection towards the service, which the kernel redirects to the proxy:
        from a process of the test user (forward) or from the client namespace (reverse)."""
        if self.forward:
            return self.lab.user_client(address, port, **options)
        return self.lab.connect(self.lab.client_ns, address, port, **options)

    def accept(self, listener):
        return self.lab.accept(listener)

    def forwarded(self, request, first):
        """What the service receives for a request: the forward proxy with a plain outgoing
        side adds the identity header to the first request of each connection."""
        return L.with_swid(request) if self.forward and first else request


def _daemon_args(request):
    marker = request.node.get_closest_marker("daemon_args")
    return tuple(marker.args) if marker else ()


@pytest.fixture(params=["forward", "reverse"])
def proxy(request, lab):
    return Proxied(lab, request.param, _daemon_args(request))


@pytest.fixture
def forward(request, lab):
    return Proxied(lab, "forward", _daemon_args(request))


@pytest.fixture
def reverse(request, lab):
    return Proxied(lab, "reverse", _daemon_args(request))
