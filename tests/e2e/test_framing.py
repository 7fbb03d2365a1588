"""Framing agreement with a strict HTTP/1.1 server (h11): whatever shape a client gives its requests
(two lengths, a length and chunks, odd spellings of either, folded or bare-LF lines, chunk
extensions, a forged identity header), the server never sees a request the proxy did not check.
Each case, with a request hidden in its body and another behind it, runs on a connection of its
own; the requests the server saw there must be a prefix of those that the proxy logged as checked
and let through. An error of h11 ends the record: the server refuses the rest, which is safe."""

import concurrent.futures
import contextlib
import re
import socket
import time

import h11

import lab as L

ID = b"@@@@"  # replaced by the case's number, c000 to c999, so every length stays as written


def request(fields=(), body=b"", line=b"POST /%s/a HTTP/1.1" % ID):
    return line + b"\r\nHost: h\r\n" + b"".join(f + b"\r\n" for f in fields) + b"\r\n" + body


def chunked(data, size=None, last=b"0\r\n\r\n"):
    return (size or b"%x" % len(data)) + b"\r\n" + data + b"\r\n" + last


GET = b"GET /%s/a HTTP/1.1" % ID
SMUGGLED = request(line=b"GET /%s/smuggled HTTP/1.1" % ID)
NEXT = request(line=b"GET /%s/next HTTP/1.1" % ID)
N, TE = len(SMUGGLED), b"Transfer-Encoding: chunked"
CL = b"Content-Length: %d" % N


def cases():
    """(name, bytes, where to cut them into two writes or None), each followed by NEXT."""
    hidden = chunked(SMUGGLED)
    found = [
        ("CL.CL", request([b"Content-Length: 0", CL], SMUGGLED)),
        ("CL.CL equal", request([b"Content-Length: 4", b"content-length: 004"], b"abcd")),
        ("CL.TE", request([b"Content-Length: %d" % (N + 5), TE], b"0\r\n\r\n" + SMUGGLED)),
        ("TE.CL", request([TE, b"Content-Length: 4"], hidden)),
        ("TE.TE", request([TE, b"Transfer-Encoding: x"], hidden)),
        ("TE twice", request([b"Transfer-Encoding: gzip", TE], hidden)),
        ("HTTP/1.0 TE", request([TE], hidden, b"POST /%s/a HTTP/1.0" % ID)),
        ("HTTP/2.0 CL", request([CL], SMUGGLED, b"POST /%s/a HTTP/2.0" % ID)),
        ("HTTP/2.0 TE", request([TE], hidden, b"POST /%s/a HTTP/2.0" % ID)),
        ("folded CL", request([b"Content-Length: 0", b" %d" % N], SMUGGLED)),
        ("folded TE", request([b"X: y", b" " + TE], hidden)),
        ("folded Host", request([b"X: y", b"\tz"])),
        ("bare LF line end", request([CL], SMUGGLED).replace(b"\r\n", b"\n", 1)),
        ("bare LF field", request([b"Content-Length: 0\n" + CL], SMUGGLED)),
        ("bare LF blank line", request([CL], SMUGGLED).replace(b"\r\n\r\n", b"\r\n\n", 1)),
        ("bare CR", request([b"X: a\r" + CL], SMUGGLED)),
        ("identity header", request([b"X-SWID: forged"], line=GET)),
        ("identity header lower case", request([b"x-swid:forged"], line=GET)),
        ("identity trailer", request([TE], chunked(b"abcd", last=b"0\r\nX-SWID: forged\r\n\r\n"))),
        ("upgrade", request([b"Upgrade: websocket"], line=GET)),
        ("length behind", request([b"Content-Length: 100"], b"abcd")),
    ]
    for line in (b"GET  /%s/a HTTP/1.1", b"GET /%s/a  HTTP/1.1", b"GET /%s/a HTTP/1.1 ",
                 b"GET\t/%s/a HTTP/1.1", b"GET /%s/a http/1.1", b"GET /%s/a HTTP/1.10",
                 b"GET /%s/a\x00b HTTP/1.1", b"xGET /%s/a HTTP/1.1", b"GET /%s/a HTTP/0.9"):
        found.append(("request line %r" % line, request(line=line % ID)))

    # Chunk-size lines and last chunks, the smuggled request as the data.
    size = b"%x" % N
    for spelling in (size.upper(), b"000" + size, b"0x" + size, b"+" + size, b" " + size,
                     size + b" ", size + b"\t", size + b";ext", size + b";e=\"v;w\"",
                     size + b" ; e = v", size + b";e=\"\r\n\"", b"1" + size.zfill(15),
                     size + b"\n", size + b";" + b"e" * 5000):
        found.append(("chunk size %r" % spelling[:20], request([TE], chunked(SMUGGLED, spelling))))
    for last in (b"000\r\n\r\n", b"0;e\r\n\r\n", b"0\r\nT: v\r\n\r\n", b"0\n\n", b"0\r\n\n",
                 b"0\r\n T: v\r\n\r\n", b"0\r\nT : v\r\n\r\n"):
        found.append(("last chunk %r" % last, request([TE], chunked(b"abcd", last=last))))
    found.append(("no CR LF after data", request([TE], b"2\r\nabcd\r\n0\r\n\r\n")))

    # Odd spellings of both framing fields, alone and together.
    for name in (b"Transfer-Encoding", b"transfer-encoding", b"Transfer-Encoding ",
                 b"Transfer-Encoding\t", b" Transfer-Encoding", b"X-Transfer-Encoding",
                 b"Transfer-Encodingx", b"Transfer_Encoding"):
        for value in (b"chunked", b"CHUNKED", b" chunked\t", b"xchunked", b"chunked, identity",
                      b"identity, chunked", b"chunked, chunked", b"chunked;q=1", b"\"chunked\"",
                      b"\x0bchunked", b"chunk", b"", b"chunked,", b",chunked"):
            field = name + b": " + value
            found.append(("%r" % field, request([field], hidden)))
            found.append(("%r with length" % field, request([field, b"Content-Length: 4"], hidden)))
    for name in (b"Content-Length", b"content-length", b"Content-Length ", b" Content-Length",
                 b"X-Content-Length", b"Content_Length"):
        for value in (b"%d" % N, b"00%d" % N, b"+%d" % N, b"-%d" % N, b"0x%x" % N, b" %d " % N,
                      b"%d, %d" % (N, N), b"%d.0" % N, b"", b"%d\x0b" % N, b"1%020d" % N):
            found.append(("%r" % (name + b": " + value), request([name + b": " + value], SMUGGLED)))
    # Every third case arrives in two writes, cut inside its body or head.
    return [(name, data + NEXT, len(data) - 7 if k % 3 == 0 else None)
            for k, (name, data) in enumerate(found)]


def serve(sock):
    """The strict server on one onward connection: answers each request and returns the method,
    target and header fields of every request head that h11 parsed."""
    conn, record = h11.Connection(h11.SERVER), []
    with sock, contextlib.suppress(h11.RemoteProtocolError, OSError):
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
    return record


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
    listener = proxy.listen()
    # Each case makes one onward connection, served until it ends.
    with concurrent.futures.ThreadPoolExecutor(8) as clients, \
            concurrent.futures.ThreadPoolExecutor(len(catalogue)) as servers:
        sent = [clients.submit(send_case, proxy, data.replace(ID, b"c%03d" % k), cut, 21000 + k)
                for k, (_, data, cut) in enumerate(catalogue)]
        served = [servers.submit(serve, proxy.accept(listener)) for _ in catalogue]
        endpoints = [future.result(L.TIMEOUT * 3) for future in sent]
        records = [future.result(L.TIMEOUT) for future in served]
    assert L.quiet(listener, wait=0.2)
    assert len(set(endpoints)) == len(endpoints)
    # Entries are written as they come; wait until the log stops growing.
    log, before, deadline = proxy.daemon.log(), None, time.monotonic() + L.TIMEOUT
    while log != before and time.monotonic() < deadline:
        time.sleep(0.3)
        before, log = log, proxy.daemon.log()

    checked = {endpoint: [] for endpoint in endpoints}
    for tag, method, target in CHECKED.findall(log):
        owner = next((e for e in endpoints if tag.startswith(e)), None)
        assert owner, f"a request checked on no connection of this test: {tag}"
        if passes(method, target):
            checked[owner].append((method, target))
    failures, seen, own = [], set(), [L.ALIAS.encode()] if proxy.forward else []
    for record in filter(None, records):
        upstream = [(method, target) for method, target, _ in record]
        numbers = {target[:6] for _, target in upstream}
        if len(numbers) != 1 or not re.fullmatch(r"/c\d{3}/", prefix := numbers.pop()):
            failures.append(f"requests of no case or several: {upstream}")
            continue
        number = int(prefix[2:5])
        name, checked_here = catalogue[number][0], checked[endpoints[number]]
        if number in seen:
            failures.append(f"{name}: on two onward connections")
        seen.add(number)
        if upstream != checked_here[:len(upstream)]:
            failures.append(f"{name}: server saw {upstream}, proxy checked {checked_here}")
        # The proxy's own identity header may reach the server, once; a client's never.
        for _, _, fields in record:
            values = [value for field, value in fields if field == b"x-swid"]
            if len(values) > 1 or any(value not in own for value in values):
                failures.append(f"{name}: identity fields {values} reached the server")
    assert not failures, f"{len(failures)} of {len(catalogue)} cases:\n" + "\n".join(failures)
