"""Network namespaces joined by a veth pair, the daemon under test and socket helpers. The extra
addresses sit on lo, routed across, so that each veth end keeps the one global address the proxy
binds to."""

import concurrent.futures
import contextlib
import ctypes
import glob
import itertools
import os
import pathlib
import pwd
import random
import re
import resource
import select
import selectors
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import pytest

PREFIX = "ape2e"
TIMEOUT = 20.0  # bound of every single wait; generous because the daemon runs under sanitizers
HERE = os.path.dirname(os.path.abspath(__file__))
DEPLOY = os.path.join(HERE, "..", "..", "deploy")

CLIENT_ADDR, SERVER_ADDR = "2001:db8:e2e::1", "2001:db8:e2e::2"
CLIENT_EXTRA_ADDR = "2001:db8:e2f::1"  # a reverse client on the TLS exception list
SERVER_EXTRA_ADDR = "2001:db8:e2f::2"  # a forward destination on the TLS exception list
FORWARD_PORT, REVERSE_PORT = 29178, 29179
PORT_PLAIN, PORT_AUTHENTIC, PORT_CONFIDENTIAL, PORT_UNDETERMINED = 8080, 8081, 8082, 8087

CAPABILITY_RULES = (f"{SERVER_ADDR} {PORT_AUTHENTIC} 1\n{SERVER_ADDR} {PORT_CONFIDENTIAL} 2\n"
                    f"{SERVER_ADDR} {PORT_UNDETERMINED} 7\n{SERVER_EXTRA_ADDR} * 2\n")
TLS_EXCEPTIONS = f"{SERVER_EXTRA_ADDR}\n{CLIENT_EXTRA_ADDR}\n"
ALIAS = "org.example.viewer"
# Not in the user database, so the alias manager knows the user (and its group of the same
# number) only through the alias table.
CLIENT_UID = next(i for i in range(47001, 48000) if i not in {e.pw_uid for e in pwd.getpwall()})
ALIAS_TABLE = f"{CLIENT_UID} {ALIAS} org.example.second\n"

_sequence = itertools.count()
_libc, CLONE_NEWNET = ctypes.CDLL(None, use_errno=True), 0x40000000
workers = concurrent.futures.ThreadPoolExecutor(32)  # for senders and other background work


def run(*args, input=None, check=True):
    result = subprocess.run(args, input=input, capture_output=True, text=True, timeout=TIMEOUT)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed ({result.returncode}): {result.stderr}")
    return result


def nft(namespace, rules):
    run("ip", "netns", "exec", namespace, "nft", "-f", "-", input=rules)


def deploy_rules(name, **definitions):
    with open(os.path.join(DEPLOY, name)) as file:
        text = file.read()
    for key, value in definitions.items():
        text, count = re.subn(rf"^define {key} = .*$", f"define {key} = {value}", text, flags=re.M)
        assert count == 1, key
    return text


@contextlib.contextmanager
def in_namespace(name):
    """Runs the body with the calling thread in the named network namespace."""
    with open("/proc/thread-self/ns/net") as home, open(f"/run/netns/{name}") as target:
        if _libc.setns(target.fileno(), CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns failed")
        try:
            yield
        finally:
            assert _libc.setns(home.fileno(), CLONE_NEWNET) == 0


def delete_namespace(name):
    for pid in run("ip", "netns", "pids", name, check=False).stdout.split():
        with contextlib.suppress(ProcessLookupError):
            os.kill(int(pid), signal.SIGKILL)
    run("ip", "netns", "del", name, check=False)


def http_request(path, method="GET", body=b"", extra=b""):
    head = f"{method} {path} HTTP/1.1\r\nHost: service\r\n".encode() + extra
    if body or method in ("POST", "PUT"):
        head += f"Content-Length: {len(body)}\r\n".encode()
    return head + b"\r\n" + body


def http_response(body=b""):
    return f"HTTP/1.1 200 OK\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body


def with_identity(request, name):
    """The request with our identity header after its last header line."""
    end = request.index(b"\r\n\r\n") + 2
    return request[:end] + f"X-SWID: {name}\r\n".encode() + request[end:]


def payload(size, seed):
    """Deterministic pseudo-random bytes; every byte value occurs, CR LF included."""
    return random.Random(seed).randbytes(size)


def receive(sock, count=None):
    """Reads count bytes, or all up to the peer's end; returns them and how the stream ended:
    "eof", "reset" or None (count bytes came first)."""
    deadline, data = time.monotonic() + TIMEOUT, bytearray()
    while count is None or len(data) < count:
        sock.settimeout(max(deadline - time.monotonic(), 0.001))
        try:
            chunk = sock.recv(min((count or 1 << 40) - len(data), 1 << 20))
        except socket.timeout:
            raise AssertionError(f"timed out after {len(data)} bytes: {data[:200]!r}") from None
        except ConnectionResetError:
            return bytes(data), "reset"
        if not chunk:
            return bytes(data), "eof"
        data += chunk
    return bytes(data), None


def expect(sock, expected, what="bytes", end=False):
    """Checks what arrives (all up to the peer's end if end is set); returns how it ended."""
    data, how = receive(sock, None if end else len(expected))
    if data != expected:
        at = next((i for i, (a, b) in enumerate(zip(data, expected)) if a != b),
                  min(len(data), len(expected)))
        near = slice(max(0, at - 40), at + 40)
        raise AssertionError(f"{what} (then {how}): {len(data)} bytes, {len(expected)} expected, "
                             f"differing at {at}: {data[near]!r}, not {expected[near]!r}")
    return how


def quiet(*socks, wait=0.5):
    """True when nothing (no byte, no end, no connection) arrives at any within the short wait."""
    return not select.select(socks, [], [], wait)[0]


def abort(sock):
    """Closes with a reset instead of an orderly end."""
    with contextlib.suppress(OSError):
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def sending(sock, data, shut_down=False):
    """Sends on another thread; returns a function that waits for the end of sending."""
    def send():
        sock.sendall(data)
        if shut_down:
            sock.shutdown(socket.SHUT_WR)
    future = workers.submit(send)
    return lambda: future.result(TIMEOUT)


def exchange(client, server, request, response, upstream=None):
    """The request (the server sees upstream if given), then the response, each sent while read."""
    for sender, receiver, data, expected in ((client, server, request, upstream or request),
                                             (server, client, response, response)):
        done = sending(sender, data)
        expect(receiver, expected, f"{len(data)} bytes")
        done()


def serve_echo(descriptor):
    """The echo service, run by Lab.echo: every byte comes back, then the end of the input; a
    connection that does not take its echo is not read meanwhile."""
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    listener, selector = socket.socket(fileno=descriptor), selectors.DefaultSelector()
    listener.setblocking(False)
    selector.register(listener, selectors.EVENT_READ)
    while True:
        for key, events in selector.select():
            if key.fileobj is listener:
                with contextlib.suppress(BlockingIOError):
                    while True:
                        sock = listener.accept()[0]
                        sock.setblocking(False)
                        selector.register(sock, selectors.EVENT_READ, [bytearray(), False])
                continue
            sock, (out, ended) = key.fileobj, key.data  # the echo due, whether the input ended
            try:
                if events & selectors.EVENT_READ:
                    out += (data := sock.recv(1 << 16))
                    ended = not data
                del out[:sock.send(out) if out else 0]
            except BlockingIOError:
                pass
            except OSError:  # a reset
                out.clear()
                ended = True
            if ended and not out:
                selector.unregister(sock)
                sock.close()
            else:
                reading = not ended and len(out) < 1 << 20
                selector.modify(sock, (selectors.EVENT_WRITE if out else 0)
                                | (selectors.EVENT_READ if reading else 0), [out, ended])


def built_with(path, *symbols):
    """Whether the binary names any of the symbols: a sanitizer's, say."""
    code = pathlib.Path(path).read_bytes()
    return any(symbol in code for symbol in symbols)


def settled(daemon, descriptors):
    """The daemon's descriptor count once down to the given one (or the bound has passed)."""
    deadline = time.monotonic() + TIMEOUT
    while (count := daemon.descriptors()) > descriptors and time.monotonic() < deadline:
        time.sleep(0.1)
    return count


def stop_in_time(daemon, bound=2.0):
    """SIGTERM ends the daemon with status 0 within the bound, every worker thread joined."""
    started = time.monotonic()
    status = daemon.stop()
    took = time.monotonic() - started
    assert status == 0, daemon.report()
    log = daemon.log()
    for start, end in (("SocketListener running", "SocketListener shutting down"),
                       ("Connection establisher running", "Connection establisher shutting down"),
                       ("ConnectionHandler starting up", "ConnectionHandler shutting down")):
        assert log.count(start) == log.count(end) > 0, end
    print(f"SIGTERM: status 0 after {took:.2f} s")
    assert took < bound


# Connects as the test user when asked and hands each socket over, holding a copy of its own (the
# forward proxy looks for the client's process by it) until asked to let go of it.
_HOLDER = r"""
import socket, sys
control, held = socket.socket(fileno=int(sys.argv[1])), {}
while order := control.recv(100).split():
    if order[0] == b"drop":
        held.pop(int(order[1])).close()
        continue
    sock = socket.create_connection((order[0].decode(), int(order[1])), float(sys.argv[2]),
                                    ("::", int(order[2])))
    held[sock.fileno()] = sock
    socket.send_fds(control, [b"%d" % sock.fileno()], [sock.fileno()])
"""


class Client(socket.socket):
    """A client connection; closing one of the forward role lets the holder's copy go too."""
    drop = None

    def close(self):
        super().close()
        drop, self.drop = self.drop, None
        if drop:
            drop()


class OpenSsl:
    """openssl s_client or s_server in a namespace, typed at; what it prints is searched."""

    def __init__(self, namespace, *args):
        # Line-buffered: some of its messages go through stdio, which would hold them back.
        command = ["ip", "netns", "exec", namespace, "stdbuf", "-oL", "openssl", *args]
        self.process, self.seen = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT), b""

    def type(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def wait_for(self, text):
        deadline = time.monotonic() + TIMEOUT
        while text not in self.seen:
            wait = max(deadline - time.monotonic(), 0)
            ready = select.select([self.process.stdout], [], [], wait)[0]
            chunk = os.read(self.process.stdout.fileno(), 65536) if ready else b""
            assert chunk, f"openssl never printed {text!r}: {self.seen[-2000:]!r}"
            self.seen += chunk
        self.seen = self.seen[self.seen.index(text) + len(text):]

    def close(self):
        if self.process.returncode is None:
            self.process.kill()
            self.process.communicate(timeout=TIMEOUT)


class Daemon:
    """One access-proxy in a namespace, with its files in a working directory of its own."""

    def __init__(self, path, namespace, args, tls_dir=None, prefix=()):
        self.namespace, self.args, self.status = namespace, args, None
        self.workdir = tempfile.mkdtemp(prefix=f"{PREFIX}-daemon-")
        for name, text in (("aliases.txt", ALIAS_TABLE), ("capabilities.txt", CAPABILITY_RULES),
                           ("tls_exceptions.txt", TLS_EXCEPTIONS)):
            pathlib.Path(self.file(name)).write_text(text)
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.file("notify"))
        env = dict(os.environ, NOTIFY_SOCKET=self.file("notify"),
                   ACCESS_PROXY_ALIASES=self.file("aliases.txt"),
                   ACCESS_PROXY_CAPABILITIES=self.file("capabilities.txt"))
        env.pop("ACCESS_PROXY_TLS_DIR", None)
        if tls_dir:
            env["ACCESS_PROXY_TLS_DIR"] = tls_dir
        with open(self.file("output.txt"), "wb") as output:
            # Each command of the prefix (prlimit, say) execs the next: the pid is the daemon's.
            self.process = subprocess.Popen(["ip", "netns", "exec", namespace, *prefix, path,
                                             *args], cwd=self.workdir, env=env,
                                            stdin=subprocess.DEVNULL, stdout=output,
                                            stderr=subprocess.STDOUT)

    def file(self, name):
        return os.path.join(self.workdir, name)

    def wait_ready(self):
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline and self.process.poll() is None:
            if not quiet(self.notify, wait=0.1) and b"READY=1" in self.notify.recv(4096).split(b"\n"):
                return self
        self.status = self.process.poll()
        raise AssertionError(f"daemon not ready\n{self.report()}")

    def stop(self, number=signal.SIGTERM):
        """Sends the signal (unless None or ended already); returns the exit status."""
        if number and self.process.poll() is None:
            self.process.send_signal(number)
        self.status = self.process.wait(TIMEOUT)
        return self.status

    def read(self, pattern):
        paths = sorted(glob.glob(self.file(pattern)))
        return "".join(pathlib.Path(path).read_text(errors="replace") for path in paths)

    def log(self):
        return self.read("bufferedlog_*.txt")

    def wait_for_log(self, text):
        deadline = time.monotonic() + TIMEOUT
        while text not in (log := self.log()):
            if time.monotonic() > deadline:
                raise AssertionError(f"log never showed {text!r}\n{self.report()}")
            time.sleep(0.05)
        return log

    def rss_mib(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            return int(next(line.split()[1] for line in status if line.startswith("VmRSS:"))) / 1024

    def descriptors(self):
        return len(os.listdir(f"/proc/{self.process.pid}/fd"))

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def report(self):
        return (f"--- access-proxy {' '.join(self.args)} in {self.namespace}, status "
                f"{self.status}\n--- output:\n{self.read('output.txt')}--- end of the log:\n"
                + "\n".join(self.log().splitlines()[-300:]))

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(TIMEOUT)
        self.notify.close()
        shutil.rmtree(self.workdir, ignore_errors=True)


class Lab:
    """Two namespaces joined by a veth pair and all started in them; proxy() starts the proxy."""

    def __init__(self, daemon_path):
        self.daemon_path = daemon_path
        base = f"{PREFIX}-{os.getpid()}-{next(_sequence)}"
        self.client_ns, self.server_ns = c, s = f"{base}-c", f"{base}-s"
        self.daemons, self._closables, self._processes = [], [], []
        self.forward, self.daemon, self._holder, self._lock = False, None, None, threading.Lock()
        try:
            run("ip", "netns", "add", c)
            run("ip", "netns", "add", s)
            for command in (f"{c} link set lo up", f"{s} link set lo up",
                            f"{c} link add ap0 type veth peer name ap1 netns {s}",
                            f"{c} addr add {CLIENT_ADDR}/64 dev ap0 nodad",
                            f"{s} addr add {SERVER_ADDR}/64 dev ap1 nodad",
                            f"{c} addr add {CLIENT_EXTRA_ADDR}/128 dev lo",
                            f"{s} addr add {SERVER_EXTRA_ADDR}/128 dev lo",
                            f"{c} link set ap0 up", f"{s} link set ap1 up",
                            f"{c} route add {SERVER_EXTRA_ADDR}/128 via {SERVER_ADDR} dev ap0",
                            f"{s} route add {CLIENT_EXTRA_ADDR}/128 via {CLIENT_ADDR} dev ap1"):
                run("ip", "-n", *command.split())
        except BaseException:
            self.close()
            raise

    def start(self, role, *args, interface=None, tls_dir=None, prefix=()):
        """A daemon in the role's namespace, on its veth end unless told otherwise."""
        namespace, flag, default = ((self.client_ns, "-f", "ap0") if role == "forward"
                                    else (self.server_ns, "-r", "ap1"))
        daemon = Daemon(self.daemon_path, namespace,
                        ["-m", "buffered", "-l", "1", flag, "-i", interface or default, *args],
                        tls_dir, prefix)
        self.daemons.append(daemon)
        return daemon

    def proxy(self, role, *args, tls_dir=None, prefix=()):
        """The proxy under test behind the deployed rules; it runs as root, which they pass."""
        if role == "forward":
            nft(self.client_ns, deploy_rules("nftables-forward.nft", PROXY_ADDR=CLIENT_ADDR,
                                             APP_UIDS=f"{{ {CLIENT_UID} }}", PROXY_UID="0"))
        else:
            nft(self.server_ns, deploy_rules("nftables-reverse.nft", PROXY_ADDR=SERVER_ADDR,
                                             CLIENT_IF='"ap1"', SERVICE_PORTS="{ 8080-8099 }"))
        self.forward = role == "forward"
        self.daemon = self.start(role, *args, tls_dir=tls_dir, prefix=prefix).wait_ready()
        return self

    def forwarded(self, request, first=True):
        """What the service receives: a forward proxy with a plain outgoing side adds the
        identity header to the first request of each connection."""
        return with_identity(request, ALIAS) if self.forward and first else request

    def openssl(self, namespace, *args):
        tool = OpenSsl(namespace, *args)
        self._closables.append(tool)
        return tool

    def listen(self, port=PORT_PLAIN, address=SERVER_ADDR, backlog=64):
        """A service in the server namespace."""
        with in_namespace(self.server_ns):
            listener = socket.create_server((address, port), family=socket.AF_INET6,
                                            backlog=backlog)
        self._closables.append(listener)
        return listener

    def echo(self, port):
        """The echo service on the port, in a process in the server namespace (killed with it)."""
        listener = self.listen(port, backlog=1024)
        self._processes.append(subprocess.Popen(
            ["ip", "netns", "exec", self.server_ns, sys.executable, "-c",
             "import lab, sys; lab.serve_echo(int(sys.argv[1]))", str(listener.fileno())],
            pass_fds=[listener.fileno()], cwd=HERE))

    def client(self, port=PORT_PLAIN, address=SERVER_ADDR, user=None, namespace=None,
               source="::", source_port=0):
        """A connection from the client namespace: by the test user (default in the forward
        role) or by this process as root."""
        if self.forward if user is None else user:
            client = self._held(address, port, source_port)
        else:
            with in_namespace(namespace or self.client_ns):
                client = socket.create_connection((address, port), TIMEOUT, (source, source_port))
        return self._kept(client)

    def _held(self, address, port, source_port):
        with self._lock:
            if not self._holder:
                self._control, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
                with child:
                    self._holder = subprocess.Popen(
                        ["ip", "netns", "exec", self.client_ns, "setpriv", f"--reuid={CLIENT_UID}",
                         f"--regid={CLIENT_UID}", "--clear-groups", "/usr/bin/python3", "-I",
                         "-S", "-c", _HOLDER, str(child.fileno()), str(TIMEOUT)],
                        pass_fds=[child.fileno()], cwd="/", env={"PATH": "/usr/bin:/bin"},
                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                self._processes.append(self._holder)
                self._closables.append(self._control)
                self._control.settimeout(TIMEOUT)
            self._control.send(f"{address} {port} {source_port}".encode())
            number, fds = socket.recv_fds(self._control, 16, 1)[:2]
        if not fds:
            raise AssertionError(self._holder.communicate(timeout=TIMEOUT)[1].decode())
        client = Client(fileno=fds[0])
        client.drop = lambda: self._control.send(b"drop " + number)
        return client

    def pair(self, listener, request=b"", **options):
        """A client connection and the service's end of it, which gets the request if any."""
        client, server = self.client(**options), self.accept(listener)
        if request:
            client.sendall(request)
            expect(server, self.forwarded(request))
        return client, server

    def accept(self, listener):
        listener.settimeout(TIMEOUT)
        return self._kept(listener.accept()[0])

    def _kept(self, sock):
        """The connection, closed with the lab; blocking within the bound, without delay."""
        self._closables.append(sock)
        sock.settimeout(TIMEOUT)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock

    def close(self):
        for daemon in self.daemons:
            daemon.close()
        for closable in reversed(self._closables):
            with contextlib.suppress(Exception):
                closable.close()
        delete_namespace(self.client_ns)
        delete_namespace(self.server_ns)
        for process in self._processes:  # ended with the namespaces
            process.wait(TIMEOUT)


@contextlib.contextmanager
def checked(daemon_path):
    """A lab closed whatever happens; a daemon still running must end with status 0 on SIGTERM,
    and none may leave a sanitizer report."""
    the_lab, problems = Lab(daemon_path), []
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
