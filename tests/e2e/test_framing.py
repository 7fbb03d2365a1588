"""Framing agreement with a strict HTTP/1.1 server: whatever shape a client gives its requests
(two lengths, a length and chunks, odd spellings of either, folded or bare-LF lines, chunk
extensions, a forged identity header), the server behind the proxy never sees a request that the
proxy did not check. Each case runs on a connection of its own: the client sends it with a
request hidden in its body and another one behind it, then half-closes. The service parses what
arrives with h11 and records every request head; the requests it saw on a connection must be a
prefix of those that the proxy logged as checked (and let through) on the client's connection.
An error of h11 ends its record: the server refuses the rest, which is safe."""

import concurrent.futures
import contextlib
import re
import socket
import threading
import time

import h11

import lab as L

ID = b"@@@@"  # replaced by the case's number, c000 to c999, so every length stays as written


def request(name, fields=(), body=b"", method=b"POST", line=None):
    line = line or b"%s /%s/%s HTTP/1.1" % (method, ID, name)
    return line + b"\r\nHost: h\r\n" + b"".join(f + b"\r\n" for f in fields) + b"\r\n" + body


SMUGGLED = request(b"smuggled", method=b"GET")
NEXT = request(b"next", method=b"GET")


def chunked(data, size=None, last=b"0\r\n\r\n"):
    return (size or b"%x" % len(data)) + b"\r\n" + data + b"\r\n" + last


def cases():
    """(name, bytes, where to cut them into two writes or None), each followed by NEXT."""
    hidden = chunked(SMUGGLED)
    found = [
        ("CL.CL", request(b"a", [b"Content-Length: 0", b"Content-Length: %d" % len(SMUGGLED)],
                          SMUGGLED)),
        ("CL.CL equal", request(b"a", [b"Content-Length: 4", b"content-length: 004"], b"abcd")),
        ("CL.TE", request(b"a", [b"Content-Length: %d" % (5 + len(SMUGGLED)),
                                 b"Transfer-Encoding: chunked"], b"0\r\n\r\n" + SMUGGLED)),
        ("TE.CL", request(b"a", [b"Transfer-Encoding: chunked", b"Content-Length: 4"], hidden)),
        ("TE.TE", request(b"a", [b"Transfer-Encoding: chunked", b"Transfer-Encoding: x"], hidden)),
        ("TE twice", request(b"a", [b"Transfer-Encoding: gzip", b"Transfer-Encoding: chunked"],
                             hidden)),
        ("HTTP/1.0 TE", request(b"a", [b"Transfer-Encoding: chunked"], hidden,
                                line=b"POST /%s/a HTTP/1.0" % ID)),
        ("HTTP/2.0 CL", request(b"a", [b"Content-Length: %d" % len(SMUGGLED)], SMUGGLED,
                                line=b"POST /%s/a HTTP/2.0" % ID)),
        ("HTTP/2.0 TE", request(b"a", [b"Transfer-Encoding: chunked"], hidden,
                                line=b"POST /%s/a HTTP/2.0" % ID)),
        ("folded CL", request(b"a", [b"Content-Length: 0", b" %d" % len(SMUGGLED)], SMUGGLED)),
        ("folded TE", request(b"a", [b"X: y", b" Transfer-Encoding: chunked"], hidden)),
        ("folded Host", request(b"a", [b"X: y", b"\tz"])),
        ("bare LF line end", request(b"a", [b"Content-Length: %d" % len(SMUGGLED)],
                                     SMUGGLED).replace(b"\r\n", b"\n", 1)),
        ("bare LF field", request(b"a", [b"Content-Length: 0\nContent-Length: %d"
                                         % len(SMUGGLED)], SMUGGLED)),
        ("bare LF blank line", request(b"a", [b"Content-Length: %d" % len(SMUGGLED)],
                                       SMUGGLED).replace(b"\r\n\r\n", b"\r\n\n", 1)),
        ("bare CR", request(b"a", [b"X: a\rContent-Length: %d" % len(SMUGGLED)], SMUGGLED)),
        ("identity header", request(b"a", [b"X-SWID: forged"], method=b"GET")),
        ("identity header lower case", request(b"a", [b"x-swid:forged"], method=b"GET")),
        ("identity trailer", request(b"a", [b"Transfer-Encoding: chunked"],
                                     chunked(b"abcd", last=b"0\r\nX-SWID: forged\r\n\r\n"))),
        ("upgrade", request(b"a", [b"Upgrade: websocket"], method=b"GET")),
        ("length behind", request(b"a", [b"Content-Length: 100"], b"abcd")),
    ]
    for line in (b"GET  /%s/a HTTP/1.1", b"GET /%s/a  HTTP/1.1", b"GET /%s/a HTTP/1.1 ",
                 b"GET\t/%s/a HTTP/1.1", b"GET /%s/a http/1.1", b"GET /%s/a HTTP/1.10",
                 b"GET /%s/a\x00b HTTP/1.1", b"xGET /%s/a HTTP/1.1", b"GET /%s/a HTTP/0.9"):
        found.append(("request line %r" % line, request(b"a", line=line % ID)))

    # Chunk-size lines and last chunks, the smuggled request as the data.
    size = b"%x" % len(SMUGGLED)
    for spelling in (size.upper(), b"000" + size, b"0x" + size, b"+" + size, b" " + size,
                     size + b" ", size + b"\t", size + b";ext", size + b";e=\"v;w\"",
                     size + b" ; e = v", size + b";e=\"\r\n\"", b"1" + size.zfill(15),
                     size + b"\n", size + b";" + b"e" * 5000):
        found.append(("chunk size %r" % spelling[:20],
                      request(b"a", [b"Transfer-Encoding: chunked"], chunked(SMUGGLED, spelling))))
    for last in (b"000\r\n\r\n", b"0;e\r\n\r\n", b"0\r\nT: v\r\n\r\n", b"0\n\n", b"0\r\n\n",
                 b"0\r\n T: v\r\n\r\n", b"0\r\nT : v\r\n\r\n"):
        found.append(("last chunk %r" % last,
                      request(b"a", [b"Transfer-Encoding: chunked"], chunked(b"abcd", last=last))))
    found.append(("no CR LF after data", request(b"a", [b"Transfer-Encoding: chunked"],
                                                 b"2\r\nabcd\r\n0\r\n\r\n")))

    # Odd spellings of both framing fields, alone and together.
    for name in (b"Transfer-Encoding", b"transfer-encoding", b"Transfer-Encoding ",
                 b"Transfer-Encoding\t", b" Transfer-Encoding", b"X-Transfer-Encoding",
                 b"Transfer-Encodingx", b"Transfer_Encoding"):
        for value in (b"chunked", b"CHUNKED", b" chunked\t", b"xchunked", b"chunked, identity",
                      b"identity, chunked", b"chunked, chunked", b"chunked;q=1", b"\"chunked\"",
                      b"\x0bchunked", b"chunk", b"", b"chunked,", b",chunked"):
            field = name + b": " + value
            found.append(("%r" % field, request(b"a", [field], hidden)))
            found.append(("%r with length" % field,
                          request(b"a", [field, b"Content-Length: 4"], hidden)))
    n = len(SMUGGLED)
    for name in (b"Content-Length", b"content-length", b"Content-Length ", b" Content-Length",
                 b"X-Content-Length", b"Content_Length"):
        for value in (b"%d" % n, b"00%d" % n, b"+%d" % n, b"-%d" % n, b"0x%x" % n, b" %d " % n,
                      b"%d, %d" % (n, n), b"%d.0" % n, b"", b"%d\x0b" % n, b"1%020d" % n):
            field = name + b": " + value
            found.append(("%r" % field, request(b"a", [field], SMUGGLED)))
    # Every third case arrives in two writes, cut inside its body or head.
    return [(name, data + NEXT, len(data) - 7 if k % 3 == 0 else None)
            for k, (name, data) in enumerate(found)]


class Service:
    """The strict server: accepts every onward connection and records, per connection, the
    method, target and header fields of each request head that h11 parsed."""

    def __init__(self, listener):
        self.listener, self.connections, self.threads = listener, [], []
        self.stopping = threading.Event()
        self.acceptor = threading.Thread(target=self.accept, daemon=True)
        self.acceptor.start()

    def accept(self):
        self.listener.settimeout(0.1)
        while not self.stopping.is_set():
            try:
                sock = self.listener.accept()[0]
            except socket.timeout:
                continue
            record = []
            self.connections.append(record)
            thread = threading.Thread(target=self.serve, args=(sock, record), daemon=True)
            self.threads.append(thread)
            thread.start()

    @staticmethod
    def serve(sock, record):
        conn = h11.Connection(h11.SERVER)
        sock.settimeout(L.TIMEOUT)
        try:
            while True:
                event = conn.next_event()
                if event is h11.NEED_DATA:
                    conn.receive_data(sock.recv(65536))
                elif isinstance(event, h11.Request):
                    record.append((event.method.decode(), event.target.decode(errors="replace"),
                                   list(event.headers)))
                elif isinstance(event, h11.EndOfMessage):
                    sock.sendall(conn.send(h11.Response(status_code=200,
                                                        headers=[("Content-Length", "2")]))
                                 + conn.send(h11.Data(data=b"ok")) + conn.send(h11.EndOfMessage()))
                    if conn.our_state is not h11.DONE or conn.their_state is not h11.DONE:
                        break
                    conn.start_next_cycle()
                elif isinstance(event, h11.ConnectionClosed) or event is h11.PAUSED:
                    break
        except (h11.RemoteProtocolError, OSError):
            pass
        finally:
            sock.close()

    def stop(self, count):
        """Waits for `count` connections to end."""
        deadline = time.monotonic() + L.TIMEOUT
        while len(self.threads) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        self.stopping.set()
        self.acceptor.join(L.TIMEOUT)
        for thread in self.threads:
            thread.join(max(deadline - time.monotonic(), 0.1))
        assert len(self.threads) == count and not any(t.is_alive() for t in self.threads)


def send_case(proxy, data, cut, port):
    """Sends one case on a new connection, half-closes and reads to the end; returns the
    client's endpoint as the proxy's log entries name it. The source port is the case's own and
    below the ephemeral range: the log names connections by their endpoints, and a port freed by
    an ended connection could otherwise come back for the next one."""
    with proxy.client(source_port=port) as client:
        address, port = client.getsockname()[:2]
        with contextlib.suppress(OSError):  # closed by the proxy before everything was sent
            for k, part in enumerate((data,) if cut is None else (data[:cut], data[cut:])):
                if k:
                    time.sleep(0.05)  # makes a second read of the proxy likely
                client.sendall(part)
            client.shutdown(socket.SHUT_WR)
            L.receive(client)
    return f"[{address}]:{port}/"


def passes(method, target):
    """Whether a checked request is forwarded: the proxy answers 400 for a target it cannot
    split and asks nothing for GET /; every action is allowed in this build."""
    return (method == "GET" and target == "/") or (
        len(target) >= 3 and (target.startswith("/") or target.startswith("\\/")))


CHECKED = re.compile(r"^\[[FR]P\] : DEBUG   : Parsing result : (.*?) : ([A-Z]+) : (.*)$", re.M)


def test_server_sees_only_checked_requests(shared_proxy):
    proxy = shared_proxy
    catalogue = cases()
    assert len(catalogue) >= 200
    service = Service(proxy.listen())
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        futures = [pool.submit(send_case, proxy, data.replace(ID, b"c%03d" % k), cut, 21000 + k)
                   for k, (_, data, cut) in enumerate(catalogue)]
        endpoints = [future.result(L.TIMEOUT * 3) for future in futures]
    service.stop(len(catalogue))
    assert len(set(endpoints)) == len(endpoints)
    # Entries are written as they come; wait until the log stops growing.
    log, before = proxy.daemon.log(), None
    while log != before:
        time.sleep(0.3)
        before, log = log, proxy.daemon.log()

    checked = {endpoint: [] for endpoint in endpoints}
    for tag, method, target in CHECKED.findall(log):
        owner = next((e for e in endpoints if tag.startswith(e)), None)
        assert owner, f"a request checked on no connection of this test: {tag}"
        if passes(method, target):
            checked[owner].append((method, target))
    seen = {}
    failures = []
    for record in filter(None, service.connections):
        numbers = {m.group(1) for _, target, _ in record if (m := re.match(r"/c(\d{3})/", target))}
        if len(numbers) != 1 or any(not re.match(r"/c\d{3}/", t) for _, t, _ in record):
            failures.append(f"requests of no case or several: {[r[:2] for r in record]}")
            continue
        number = int(numbers.pop())
        if number in seen:
            failures.append(f"{catalogue[number][0]}: on two onward connections")
        seen[number] = record
    for number, record in seen.items():
        name = catalogue[number][0]
        upstream = [(method, target) for method, target, _ in record]
        if upstream != checked[endpoints[number]][:len(upstream)]:
            failures.append(f"{name}: server saw {upstream}, proxy checked "
                            f"{checked[endpoints[number]]}")
        # The proxy's own identity header may reach the server, once; a client's never.
        own = [L.ALIAS.encode()] if proxy.forward else []
        for _, _, fields in record:
            values = [value for field, value in fields if field == b"x-swid"]
            if len(values) > 1 or any(value not in own for value in values):
                failures.append(f"{name}: identity fields {values} reached the server")
    assert not failures, f"{len(failures)} of {len(catalogue)} cases:\n" + "\n".join(failures)
