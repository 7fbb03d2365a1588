"""Network namespaces, the daemon under test and socket helpers for the end-to-end tests.

A lab is two network namespaces joined by a veth pair:

    client namespace            server namespace
    ap0  2001:db8:e2e::1/64 --- ap1  2001:db8:e2e::2/64
    lo   2001:db8:e2f::1/128    lo   2001:db8:e2f::2/128

The second addresses live on the loopback interfaces so that each veth end keeps exactly one global
address (the proxy binds to "the" global address of its interface); each side routes the other's
second address across the veth. Addresses are added with nodad so they are usable at once.

The forward proxy runs as root in the client namespace; an output-hook rule sends the TCP traffic
of the test users to it. The reverse proxy runs in the server namespace; a prerouting rule sends
the TCP traffic arriving on ap1 for the service ports to it.

Sockets of servers and of reverse-role clients are made by this process itself inside the
namespaces (setns around socket creation; a socket stays in the namespace it was made in).
Forward-role clients must be processes of a test user, so a small helper process connects and
hands its socket over (SCM_RIGHTS), staying alive and holding it until the test releases it: the
proxy has to find that process in /proc.
"""

import contextlib
import ctypes
import glob
import itertools
import grp
import os
import pwd
import random
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

PREFIX = "ape2e"
TIMEOUT = 20.0  # bound of every single wait; generous because the daemon runs under sanitizers

CLIENT_ADDR = "2001:db8:e2e::1"
SERVER_ADDR = "2001:db8:e2e::2"
CLIENT_EXTRA_ADDR = "2001:db8:e2f::1"  # a reverse client on the TLS exception list
SERVER_EXTRA_ADDR = "2001:db8:e2f::2"  # a forward destination on the TLS exception list

FORWARD_PORT = 29178
REVERSE_PORT = 29179

# Service ports; the rules file below gives them their security levels.
PORT_PLAIN = 8080
PORT_AUTHENTIC = 8081
PORT_CONFIDENTIAL = 8082
PORT_UNDETERMINED = 8087
PORT_SPARE = 8090  # plain as well; for tests that want a listener of their own

CAPABILITY_RULES = f"""\
# security levels of the test services
{SERVER_ADDR} {PORT_AUTHENTIC} 1
{SERVER_ADDR} {PORT_CONFIDENTIAL} 2
{SERVER_ADDR} {PORT_UNDETERMINED} 7
# only the TLS exception list lets plain traffic reach this address
{SERVER_EXTRA_ADDR} * 2
"""

TLS_EXCEPTIONS = f"{SERVER_EXTRA_ADDR}\n{CLIENT_EXTRA_ADDR}\n"

ALIAS = "org.example.viewer"

_sequence = itertools.count()

# --------------------------------------------------------------------------------------------
# Test users


def _free_id(start, taken):
    for candidate in range(start, start + 1000):
        if candidate not in taken:
            return candidate
    raise RuntimeError("no free id")


def _find_test_ids():
    users = {entry.pw_uid for entry in pwd.getpwall()}
    groups = {entry.gr_gid for entry in grp.getgrall()}
    # Neither user has an entry in the user database, so the alias manager knows them only
    # through the alias table: the first has an alias there, the second none.
    uid = _free_id(47001, users)
    nameless = _free_id(uid + 1, users)
    gid = _free_id(47001, groups)
    return uid, nameless, gid


CLIENT_UID, NAMELESS_UID, CLIENT_GID = _find_test_ids()
ALIAS_TABLE = f"{CLIENT_UID} {ALIAS} org.example.second\n"

# --------------------------------------------------------------------------------------------
# Commands and namespaces

_libc = ctypes.CDLL(None, use_errno=True)
_CLONE_NEWNET = 0x40000000


def run(*args, input=None, check=True):
    """Runs a command with a bound; returns the completed process."""
    result = subprocess.run(list(args), input=input, capture_output=True, text=True,
                            timeout=TIMEOUT)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed ({result.returncode}): {result.stderr}")
    return result


def _setns(fd):
    if _libc.setns(fd, _CLONE_NEWNET) != 0:
        code = ctypes.get_errno()
        raise OSError(code, f"setns: {os.strerror(code)}")


@contextlib.contextmanager
def in_namespace(name):
    """Runs the body with the calling thread in the named network namespace."""
    home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    try:
        target = os.open(f"/run/netns/{name}", os.O_RDONLY)
        try:
            _setns(target)
            try:
                yield
            finally:
                _setns(home)
        finally:
            os.close(target)
    finally:
        os.close(home)


def remove_stale_namespaces(prefix=PREFIX):
    """Deletes namespaces that a crashed earlier run left behind (their owner pid is gone)."""
    for path in glob.glob(f"/run/netns/{prefix}-*"):
        name = os.path.basename(path)
        try:
            owner = int(name.split("-")[1])
        except (IndexError, ValueError):
            continue
        if owner != os.getpid() and not os.path.exists(f"/proc/{owner}"):
            _kill_namespace_processes(name)
            run("ip", "netns", "del", name, check=False)


def _kill_namespace_processes(name):
    listed = run("ip", "netns", "pids", name, check=False)
    for pid in listed.stdout.split():
        with contextlib.suppress(ProcessLookupError, ValueError):
            os.kill(int(pid), signal.SIGKILL)


def nft(namespace, rules):
    run("ip", "netns", "exec", namespace, "nft", "-f", "-", input=rules)


# --------------------------------------------------------------------------------------------
# Socket helpers


def recv_exactly(sock, count, timeout=TIMEOUT):
    """Reads exactly count bytes; fails on an early end of stream or when the bound passes."""
    deadline = time.monotonic() + timeout
    chunks = []
    remaining = count
    while remaining > 0:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        sock.settimeout(left)
        try:
            chunk = sock.recv(min(remaining, 1 << 20))
        except socket.timeout:
            break
        if not chunk:
            raise AssertionError(f"stream ended after {count - remaining} of {count} bytes: "
                                 f"{b''.join(chunks)[:200]!r}")
        chunks.append(chunk)
        remaining -= len(chunk)
    if remaining > 0:
        raise AssertionError(f"timed out with {count - remaining} of {count} bytes: "
                             f"{b''.join(chunks)[:200]!r}")
    return b"".join(chunks)


def read_until_closed(sock, timeout=TIMEOUT):
    """Reads until the peer closes. Returns (bytes, how) with how "eof" or "reset"; fails when
    the bound passes first."""
    deadline = time.monotonic() + timeout
    chunks = []
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError(f"connection still open; received {b''.join(chunks)[:200]!r}")
        sock.settimeout(left)
        try:
            chunk = sock.recv(1 << 20)
        except socket.timeout:
            continue
        except ConnectionResetError:
            return b"".join(chunks), "reset"
        if not chunk:
            return b"".join(chunks), "eof"
        chunks.append(chunk)


def nothing_arrives(sock, wait=0.5):
    """True when no byte and no end of stream arrives within the (short) wait."""
    readable, _, _ = select.select([sock], [], [], wait)
    return not readable


def set_reset_on_close(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")


class Sender:
    """Sends bytes on a thread of its own, so a test can read the other end meanwhile."""

    def __init__(self, sock, data, then_shut_down=False):
        self.error = None
        self._sock = sock
        self._data = data
        self._shut_down = then_shut_down
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        try:
            self._sock.sendall(self._data)
            if self._shut_down:
                self._sock.shutdown(socket.SHUT_WR)
        except OSError as error:
            self.error = error

    def join(self, timeout=TIMEOUT):
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise AssertionError("sending did not finish in time")
        if self.error is not None:
            raise AssertionError(f"sending failed: {self.error!r}")


def assert_same_bytes(actual, expected, what="bytes"):
    """Compares long byte strings with a readable report instead of a giant diff."""
    if actual == expected:
        return
    first = next((i for i, (a, b) in enumerate(zip(actual, expected)) if a != b),
                 min(len(actual), len(expected)))
    raise AssertionError(
        f"{what} differ: {len(actual)} bytes received, {len(expected)} expected, first "
        f"difference at offset {first}: received {actual[max(0, first - 40):first + 40]!r}, "
        f"expected {expected[max(0, first - 40):first + 40]!r}")


def with_swid(request, alias=ALIAS):
    """The request as the proxy forwards it when it adds the identity header: the header line
    goes right after the last header line, before the blank line."""
    end = request.index(b"\r\n\r\n")
    return request[:end + 2] + b"X-SWID: " + alias.encode() + b"\r\n\r\n" + request[end + 4:]


def http_request(path, method="GET", body=b"", host="service", extra=b""):
    head = f"{method} {path} HTTP/1.1\r\nHost: {host}\r\n".encode() + extra
    if body or method in ("POST", "PUT"):
        head += f"Content-Length: {len(body)}\r\n".encode()
    return head + b"\r\n" + body


def http_response(body=b"", status="200 OK", extra=b""):
    return (f"HTTP/1.1 {status}\r\nContent-Length: {len(body)}\r\n".encode() + extra + b"\r\n"
            + body)


def payload(size, seed):
    """Deterministic pseudo-random bytes; every byte value occurs, CR LF included."""
    return random.Random(seed).randbytes(size)


BAD_REQUEST = b"HTTP/1.1 400 Bad Request\r\nServer: rz\r\n\r\n"
FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\nServer: rz\r\n\r\n"
CONFLICT = ("HTTP/1.1 409 Dude, the highlander principle applies\u2026 I warned you.\r\n"
            "Server: rz\r\n\r\n").encode()
assert (len(BAD_REQUEST), len(FORBIDDEN), len(CONFLICT)) == (40, 38, 84)

# --------------------------------------------------------------------------------------------
# Clients running as a test user (forward role)

_HELPER = r"""
import socket, sys
control = socket.socket(fileno=int(sys.argv[1]))
address, port, source_port = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
client = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
client.settimeout(float(sys.argv[5]))
try:
    if source_port:
        client.bind(("::", source_port))
    client.connect((address, port))
except OSError as error:
    control.sendall(b"E%d" % (error.errno or 0))
    sys.exit(1)
socket.send_fds(control, [b"K"], [client.fileno()])
# Hold the socket (the proxy looks for its owner in /proc) until the test lets go.
control.settimeout(None)
control.recv(1)
"""


class Client:
    """A TCP connection made by this process."""

    def __init__(self, sock):
        self.sock = sock

    def close(self, reset=False):
        """Ends the connection: a reset instead of an orderly close when reset is true."""
        if self.sock is not None:
            if reset:
                with contextlib.suppress(OSError):
                    set_reset_on_close(self.sock)
            self.sock.close()
            self.sock = None


class UserClient:
    """A TCP connection made by a process of a test user in a namespace; .sock is a duplicate
    of that process's socket."""

    def __init__(self, namespace, address, port, uid=None, gid=None, source_port=0):
        uid = CLIENT_UID if uid is None else uid
        gid = CLIENT_GID if gid is None else gid
        self.control, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.process = subprocess.Popen(
                ["ip", "netns", "exec", namespace, "setpriv", f"--reuid={uid}",
                 f"--regid={gid}", "--clear-groups", "/usr/bin/python3", "-I", "-S", "-c",
                 _HELPER, str(child.fileno()), address, str(port), str(source_port),
                 str(TIMEOUT)],
                pass_fds=[child.fileno()], cwd="/", env={"PATH": "/usr/bin:/bin"},
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        finally:
            child.close()
        self.control.settimeout(TIMEOUT)
        try:
            message, fds, _, _ = socket.recv_fds(self.control, 16, 1)
        except socket.timeout:
            self.close()
            raise AssertionError("client helper did not connect in time") from None
        if not fds:
            self.close()
            raise AssertionError(f"client helper could not connect: {message!r}")
        self.sock = socket.socket(fileno=fds[0])
        self.sock.settimeout(TIMEOUT)

    def close(self, reset=False):
        """Ends the connection: a reset instead of an orderly close when reset is true."""
        sock = getattr(self, "sock", None)
        if sock is not None:
            if reset:
                with contextlib.suppress(OSError):
                    set_reset_on_close(sock)
            sock.close()
            self.sock = None
        self.control.close()
        try:
            self.process.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(TIMEOUT)
        if self.process.stderr:
            self.process.stderr.close()


# --------------------------------------------------------------------------------------------
# The daemon


class Daemon:
    """One access-proxy process in a namespace, with a buffered log in a working directory of
    its own and a notification socket that receives its readiness."""

    def __init__(self, path, namespace, role, interface, extra_args=(), log_level=1,
                 aliases=ALIAS_TABLE, capabilities=CAPABILITY_RULES,
                 tls_exceptions=TLS_EXCEPTIONS):
        self.path = path
        self.namespace = namespace
        self.args = ["-m", "buffered", "-l", str(log_level), role, "-i", interface,
                     *extra_args]
        self.workdir = tempfile.mkdtemp(prefix=f"{PREFIX}-daemon-")
        self._write("aliases.txt", aliases)
        self._write("capabilities.txt", capabilities)
        self._write("tls_exceptions.txt", tls_exceptions)
        self.process = None
        self.status = None
        self._notify = None

    def _write(self, name, text):
        with open(os.path.join(self.workdir, name), "w") as file:
            file.write(text)

    def start(self):
        notify_path = os.path.join(self.workdir, "notify")
        self._notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._notify.bind(notify_path)
        env = dict(os.environ)
        env.update({
            "NOTIFY_SOCKET": notify_path,
            "ACCESS_PROXY_ALIASES": os.path.join(self.workdir, "aliases.txt"),
            "ACCESS_PROXY_CAPABILITIES": os.path.join(self.workdir, "capabilities.txt"),
        })
        self._stdout = open(os.path.join(self.workdir, "stdout.txt"), "wb")
        self._stderr = open(os.path.join(self.workdir, "stderr.txt"), "wb")
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", self.namespace, self.path, *self.args], cwd=self.workdir,
            env=env, stdin=subprocess.DEVNULL, stdout=self._stdout, stderr=self._stderr)
        return self

    def wait_ready(self, timeout=TIMEOUT):
        """Waits for READY=1; fails if the daemon exits or the bound passes first."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            readable, _, _ = select.select([self._notify], [], [], 0.1)
            if readable and b"READY=1" in self._notify.recv(4096).split(b"\n"):
                return self
            if self.process.poll() is not None:
                raise AssertionError(f"daemon exited with {self.process.returncode} before "
                                     f"it was ready\n{self.report()}")
        raise AssertionError(f"daemon not ready within {timeout} s\n{self.report()}")

    def sent_ready(self):
        """Whether a READY=1 is waiting on the notification socket (does not wait)."""
        readable, _, _ = select.select([self._notify], [], [], 0)
        return bool(readable) and b"READY=1" in self._notify.recv(4096).split(b"\n")

    def running(self):
        return self.process is not None and self.process.poll() is None

    def send_signal(self, number):
        self.process.send_signal(number)

    def wait(self, timeout=TIMEOUT):
        """The exit status; fails when the daemon has not ended within the bound."""
        try:
            self.status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"daemon still running after {timeout} s") from None
        return self.status

    def stop(self, number=signal.SIGTERM, timeout=TIMEOUT):
        if self.running():
            self.send_signal(number)
        return self.wait(timeout)

    def kill(self):
        if self.running():
            self.process.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(TIMEOUT)

    def log(self):
        """The daemon's log file (written by its logging thread, so it may lag behind)."""
        texts = []
        for path in sorted(glob.glob(os.path.join(self.workdir, "bufferedlog_*.txt"))):
            with open(path, errors="replace") as file:
                texts.append(file.read())
        return "".join(texts)

    def wait_for_log(self, text, timeout=TIMEOUT):
        """Waits until the log holds the text; returns the log."""
        deadline = time.monotonic() + timeout
        while True:
            log = self.log()
            if text in log:
                return log
            if time.monotonic() > deadline:
                raise AssertionError(f"log never showed {text!r}\n{self.report()}")
            time.sleep(0.05)

    def stderr(self):
        with open(os.path.join(self.workdir, "stderr.txt"), errors="replace") as file:
            return file.read()

    def report(self):
        return (f"--- access-proxy {' '.join(self.args)} in {self.namespace}, status "
                f"{self.status if self.status is not None else 'running'}\n--- stderr:\n"
                f"{self.stderr()}--- log:\n{self.log()}")

    def close(self):
        self.kill()
        for stream in (self._notify, getattr(self, "_stdout", None),
                       getattr(self, "_stderr", None)):
            if stream is not None:
                stream.close()
        shutil.rmtree(self.workdir, ignore_errors=True)


# --------------------------------------------------------------------------------------------
# The lab


class Lab:
    """Two namespaces joined by a veth pair, and everything started in them; close() removes
    it all, also after a failed test."""

    def __init__(self, daemon_path):
        self.daemon_path = daemon_path
        base = f"{PREFIX}-{os.getpid()}-{next(_sequence)}"
        self.client_ns = f"{base}-c"
        self.server_ns = f"{base}-s"
        self.daemons = []
        self._closables = []
        self._namespaces = []
        try:
            self._build()
        except BaseException:
            self.close()
            raise

    def _build(self):
        for name in (self.client_ns, self.server_ns):
            run("ip", "netns", "add", name)
            self._namespaces.append(name)
            run("ip", "-n", name, "link", "set", "lo", "up")
        run("ip", "-n", self.client_ns, "link", "add", "ap0", "type", "veth", "peer", "name",
            "ap1", "netns", self.server_ns)
        run("ip", "-n", self.client_ns, "addr", "add", f"{CLIENT_ADDR}/64", "dev", "ap0",
            "nodad")
        run("ip", "-n", self.server_ns, "addr", "add", f"{SERVER_ADDR}/64", "dev", "ap1",
            "nodad")
        run("ip", "-n", self.client_ns, "addr", "add", f"{CLIENT_EXTRA_ADDR}/128", "dev", "lo")
        run("ip", "-n", self.server_ns, "addr", "add", f"{SERVER_EXTRA_ADDR}/128", "dev", "lo")
        run("ip", "-n", self.client_ns, "link", "set", "ap0", "up")
        run("ip", "-n", self.server_ns, "link", "set", "ap1", "up")
        run("ip", "-n", self.client_ns, "route", "add", f"{SERVER_EXTRA_ADDR}/128", "via",
            SERVER_ADDR, "dev", "ap0")
        run("ip", "-n", self.server_ns, "route", "add", f"{CLIENT_EXTRA_ADDR}/128", "via",
            CLIENT_ADDR, "dev", "ap1")

    def redirect_forward(self, uids=None):
        """Sends the TCP traffic of the test users to the forward proxy's port. The proxy runs
        as root, so its own onward connections are left alone."""
        uids = uids or (CLIENT_UID, NAMELESS_UID)
        nft(self.client_ns, f"""
table ip6 ape2e {{
    chain output {{
        type nat hook output priority -100; policy accept;
        meta skuid {{ {', '.join(map(str, uids))} }} meta l4proto tcp \
dnat to [{CLIENT_ADDR}]:{FORWARD_PORT}
    }}
}}
""")

    def redirect_reverse(self):
        """Sends TCP connections arriving for the service ports to the reverse proxy's port."""
        nft(self.server_ns, f"""
table ip6 ape2e {{
    chain prerouting {{
        type nat hook prerouting priority -100; policy accept;
        iifname "ap1" tcp dport 8080-8099 dnat to [{SERVER_ADDR}]:{REVERSE_PORT}
    }}
}}
""")

    def daemon(self, namespace, role, interface, **options):
        daemon = Daemon(self.daemon_path, namespace, role, interface, **options)
        self.daemons.append(daemon)
        return daemon

    def listen(self, namespace, address, port):
        with in_namespace(namespace):
            listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((address, port))
            listener.listen(64)
        self._closables.append(listener)
        return listener

    def connect(self, namespace, address, port, source=None, source_port=0):
        """A Client connected from this process inside the namespace."""
        with in_namespace(namespace):
            sock = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
            client = Client(sock)
            self._closables.append(client)
            sock.settimeout(TIMEOUT)
            if source is not None or source_port:
                sock.bind((source or "::", source_port))
            sock.connect((address, port))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return client

    def user_client(self, address, port, **options):
        client = UserClient(self.client_ns, address, port, **options)
        self._closables.append(client)
        client.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return client

    def accept(self, listener, timeout=TIMEOUT):
        listener.settimeout(timeout)
        try:
            sock, _ = listener.accept()
        except socket.timeout:
            raise AssertionError("no connection reached the server") from None
        self._closables.append(sock)
        sock.settimeout(TIMEOUT)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock

    def close(self):
        for daemon in self.daemons:
            daemon.kill()
        for closable in reversed(self._closables):
            with contextlib.suppress(Exception):
                closable.close()
        for name in self._namespaces:
            _kill_namespace_processes(name)
            run("ip", "netns", "del", name, check=False)
        for daemon in self.daemons:
            daemon.close()


def sigterm_problems(daemons):
    """Stops every daemon still running with SIGTERM; returns a text for each one that did not
    end with status 0 or whose sanitizers reported something."""
    problems = []
    for daemon in daemons:
        if daemon.process is None:
            continue
        if daemon.running():
            try:
                daemon.stop(signal.SIGTERM)
            except AssertionError as error:
                problems.append(f"{error}\n{daemon.report()}")
                continue
            if daemon.status != 0:
                problems.append(f"SIGTERM ended the daemon with status {daemon.status}\n"
                                f"{daemon.report()}")
        if "Sanitizer" in daemon.stderr() or "runtime error:" in daemon.stderr():
            problems.append(f"sanitizer report\n{daemon.report()}")
    return problems

