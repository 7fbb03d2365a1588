"""WebSocket traffic through the proxy: library clients and servers with and without compression,
crafted client frames after a real 101, upgrade answers and one WebSocket per application and
destination. One daemon per role; each test has ports of its own, so none holds another's key."""

import asyncio
import base64
import hashlib
import json
import random
import re
import time
import zlib

import websockets

import lab as L

ECHO_PORT, RAW_PORT, CRAFT_PORT, UPGRADE_PORT = 8080, 8090, 8091, 8092
ZERO = bytes(4)  # a masking key too
GOOD = b'{"event":"/svc/res"}'
NO_EVENT = "Websocket RSI parsing error at position 11"  # where {"type":"x"} ends
TAIL = b"\x00\x00\xff\xff"  # ends every compressed message, left off on the wire
URL = f"ws://[{L.SERVER_ADDR}]:{{}}/svc/events"
UPGRADE = L.http_request("/svc/events", extra=b"Upgrade: websocket\r\nConnection: Upgrade\r\n")
BAD_REQUEST = b"HTTP/1.1 400 Bad Request\r\nServer: rz\r\n\r\n"
KEY = b"\x37\xfa\x21\x3d"  # a client's masking key


def frame(payload, first=0x81, key=KEY):
    """A WebSocket frame, masked unless key is None; first holds FIN, RSV1 and the opcode."""
    n, mask = len(payload), 0x80 if key else 0
    size = (bytes([mask | n]) if n < 126 else bytes([mask | 126]) + n.to_bytes(2, "big")
            if n < 1 << 16 else bytes([mask | 127]) + n.to_bytes(8, "big"))
    body = bytes(b ^ key[i % 4] for i, b in enumerate(payload)) if key else payload
    return bytes([first]) + size + (key or b"") + body


def read_frame(sock):
    """The next WebSocket frame: its first byte and its unmasked payload."""
    def take(count):
        data, how = L.receive(sock, count)
        assert how is None, f"ended ({how}) after {data!r}"
        return data
    first, second = take(2)
    size = second & 0x7f
    if size >= 126:
        size = int.from_bytes(take(2 if size == 126 else 8), "big")
    key = take(4) if second & 0x80 else bytes(4)
    return first, bytes(b ^ key[i % 4] for i, b in enumerate(take(size)))


def switch(server, deflate=False):
    """Reads the upgrade request at a service and agrees; returns the answer."""
    head = b""
    while b"\r\n\r\n" not in head:
        head += (more := server.recv(4096))
        assert more, f"ended after {head!r}"
    assert head.endswith(b"\r\n\r\n"), "bytes behind the upgrade request before the answer"
    key = re.search(rb"(?i)\r\nSec-WebSocket-Key: *(\S+)", head)
    accept = base64.b64encode(hashlib.sha1((key.group(1) if key else b"") +
                                           b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
    answer = (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              b"Sec-WebSocket-Accept: " + accept + b"\r\n" +
              (b"Sec-WebSocket-Extensions: permessage-deflate\r\n" if deflate else b"") + b"\r\n")
    server.sendall(answer)
    return answer


def error_text(message, code=400, event=""):
    return '{"type":"error","code":%d,"event":"%s","message": "%s"}' % (code, event, message)


def error_frame(*args):
    return frame(error_text(*args).encode(), key=None)


def pieces(text, size):
    return [text[k:k + size] for k in range(0, len(text), size)]


def deflated(compressor, text, final=False):
    """One message's deflate data as permessage-deflate sends it; final ends the stream."""
    data = compressor.compress(text) + compressor.flush(zlib.Z_FINISH if final else
                                                        zlib.Z_SYNC_FLUSH)
    return data if final else data.removesuffix(TAIL)


def message(n, words):
    """JSON text whose event comes after members the proxy has to skip, with escaped quotes,
    escaped backslashes and non-ASCII text."""
    filler = " ".join(random.Random(n).choices(["alpha", '"beta"', "γάμμα", "δ\\"], k=words))
    return json.dumps({"n": n, "meta": {"list": [1, -2.5e3, True, None, {}]}, "data": filler,
                       "event": f"/svc/res{n}"}, ensure_ascii=False)


async def echo(ws):
    async for text in ws:
        await ws.send(text)


async def library_exchanges(proxy, echo_listener, raw_listener):
    # The server offers permessage-deflate with context takeover both ways.
    async with websockets.serve(echo, sock=echo_listener):
        for compression in ("deflate", None):
            async with websockets.connect(URL.format(ECHO_PORT), sock=proxy.client(ECHO_PORT),
                                          compression=compression) as ws:
                assert bool(ws.extensions) == bool(compression)

                async def send_all():
                    for text in sent:
                        await ws.send(text)
                # A thousand messages, sent while their echoes come back.
                sent, start = [message(n, n * 37 % 600) for n in range(1000)], time.monotonic()
                sender = asyncio.create_task(send_all())
                received = [await asyncio.wait_for(ws.recv(), L.TIMEOUT) for _ in sent]
                await sender
                wrong = [n for n, (a, b) in enumerate(zip(sent, received)) if a != b]
                assert not wrong, f"{len(wrong)} messages changed, the first {wrong[:5]}"
                print(f"1000 messages ({compression}) in {time.monotonic() - start:.2f} s")
                # A message without an event is answered; a compressed connection then ends,
                # since the server never saw the message that the proxy inflated.
                await ws.send('{"type":"x"}')
                assert await ws.recv() == error_text(NO_EVENT)
                if compression:
                    await asyncio.wait_for(ws.wait_closed(), L.TIMEOUT)
                    assert ws.close_code == 1006
                else:
                    # Longer than any message the proxy holds: checked by its event up front.
                    huge = json.dumps({"event": "/svc/huge", "data": "x" * 100000})
                    await ws.send(huge)
                    assert await ws.recv() == huge

    # Frame boundaries at a raw server: each fragmented message arrives as one frame, compressed
    # messages rebuilt from the client's own deflate data.
    for compression in ("deflate", None):
        answered = asyncio.create_task(asyncio.to_thread(accept_switched, proxy, raw_listener,
                                                         compression))
        async with websockets.connect(URL.format(RAW_PORT), sock=proxy.client(RAW_PORT),
                                      compression=compression) as ws:
            server, inflater = await answered, zlib.decompressobj(-15)
            for parts in (["{", '"event"', ':"/svc/a"}'], [message(1, 200)],
                          pieces(message(2, 700), 1000)):
                await ws.send(parts if len(parts) > 1 else parts[0])
                first, data = await asyncio.to_thread(read_frame, server)
                assert first == (0xc1 if compression else 0x81)
                text = inflater.decompress(data + TAIL) if compression else data
                assert text.decode() == "".join(parts)
            assert L.quiet(server)
            server.close()  # the server ends it: no close handshake to wait for


def accept_switched(proxy, listener, deflate=False):
    server = proxy.accept(listener)
    switch(server, deflate)
    return server


def test_library_clients_and_servers(shared_proxy):
    asyncio.run(library_exchanges(shared_proxy, shared_proxy.listen(ECHO_PORT),
                                  shared_proxy.listen(RAW_PORT)))


def crafted_cases():
    """(name, deflate negotiated, frames sent in one write, what the server then receives,
    what the client gets back, whether the pair closes)."""
    padded = lambda n: b'{"event":"/svc/res","pad":"' + b"p" * n + b'"}'
    exact, huge = padded(8192 - len(padded(0))), padded(9000)  # inflate to 8192 and 9029 bytes
    history = zlib.compressobj(wbits=-15)
    limits = [frame(deflated(history, exact), 0xc1), frame(deflated(history, huge), 0xc1)]
    # Senders may end the deflate stream with each message (with or without the empty stored
    # block's first byte behind it) and start a new one with the next.
    ended = [frame(deflated(zlib.compressobj(wbits=-15), GOOD, True) + b"\x00", 0xc1),
             frame(deflated(zlib.compressobj(wbits=-15), GOOD, True), 0xc1)]
    fresh = zlib.compressobj(wbits=-15)
    ended += [frame(deflated(fresh, GOOD), 0xc1), frame(deflated(fresh, GOOD), 0xc1)]
    ping, pong = frame(b"p" * 125, 0x89), frame(b"", 0x8a)
    return [
        ("binary", False, [frame(GOOD, 0x82)], b"",
         error_frame("Websocket opcodes 0x2 to 0x7 are not allowed"), True),
        ("pings of 125 and 126 bytes", False, [ping, frame(b"p" * 126, 0x89)], ping,
         error_frame("Websocket control frame exceeds 125 bytes"), True),
        ("ping without FIN", False, [frame(b"p", 0x09)], b"",
         error_frame("Websocket control frame without FIN flag"), True),
        ("text frame between fragments", False,
         [frame(GOOD[:5], 0x01), pong, frame(GOOD)], pong,
         error_frame("Non control frame between fragmentation frames"), True),
        ("continuation without start", False, [frame(GOOD, 0x00)], b"",
         error_frame("Websocket continuation frame without running fragmentation"), True),
        ("fragments of 9000 bytes", False,
         [frame(b"x" * 4000, 0x01), frame(b"x" * 4000, 0x00), frame(b"x" * 1000, 0x80)], b"",
         error_frame("Fragmented websocket message exceeds 8kiB in size"), True),
        ("corrupt deflate data", True, [frame(b"\xff" * 20, 0xc1)], b"",
         error_frame("Websocket decompression failed"), True),
        ("inflating to 8192 and past", True, limits, limits[0],
         error_frame("Websocket decompression failed"), True),
        ("deflate streams ended", True, ended, b"".join(ended), b"", False),
        # The event names no service: answered with it, escaped. A reassembled message without
        # event ends its fragmentation. A message masked with the key 0 is rebuilt with it.
        ("refused messages", False,
         [frame(b'{"event":"a\\"b"}'), frame(b'{"type":', 0x01), frame(b'"x"}', 0x80),
          frame(GOOD[:7], 0x01, ZERO), ping, frame(GOOD[7:], 0x80, ZERO), frame(GOOD)],
         ping + frame(GOOD, key=ZERO) + frame(GOOD),
         error_frame("Bad Request", 400, json.dumps('a\\"b')[1:-1]) + error_frame(NO_EVENT),
         False),
    ]


def test_crafted_frames(shared_proxy):
    proxy, listener = shared_proxy, shared_proxy.listen(CRAFT_PORT)
    for name, deflate, sent, upstream, answer, closes in crafted_cases():
        client = proxy.client(CRAFT_PORT)
        server = proxy.accept(listener)
        client.sendall(UPGRADE)
        L.expect(client, switch(server, deflate), name)
        client.sendall(b"".join(sent))
        L.expect(client, answer, f"{name}: client")
        L.expect(server, upstream, f"{name}: server")
        if closes:
            assert L.expect(client, b"", f"{name}: client", end=True) == "eof", name
            assert L.expect(server, b"", f"{name}: server", end=True) == "eof", name
        else:
            assert L.quiet(client, server), name
            client.close()
            L.expect(server, b"", f"{name}: server", end=True)  # the key is free again


async def library_upgrade(proxy, listener):
    """A library client's WebSocket with a raw server; one message must pass."""
    answered = asyncio.create_task(asyncio.to_thread(accept_switched, proxy, listener))
    async with websockets.connect(URL.format(UPGRADE_PORT), sock=proxy.client(UPGRADE_PORT)) as ws:
        server = await answered
        await ws.send(GOOD.decode())
        assert (await asyncio.to_thread(read_frame, server)) == (0x81, GOOD)
        server.close()


async def library_refusal(proxy):
    try:
        await websockets.connect(URL.format(UPGRADE_PORT), sock=proxy.client(UPGRADE_PORT))
    except websockets.InvalidStatusCode as refusal:
        return refusal.status_code


def test_upgrade_answers_and_answers_of_the_proxy(shared_proxy):
    proxy, listener = shared_proxy, shared_proxy.listen(UPGRADE_PORT)
    # A refusal never overtakes the response to an earlier request.
    client, server = proxy.client(UPGRADE_PORT), proxy.accept(listener)
    first = L.http_request("/svc/first")
    client.sendall(first + L.http_request("/a"))
    L.expect(server, proxy.forwarded(first))
    assert L.quiet(client), "the 400 overtook the response to the first request"
    server.sendall(L.http_response(b"first"))
    L.expect(client, L.http_response(b"first") + BAD_REQUEST)

    # A refused upgrade keeps HTTP: the requests behind it, held until the answer, are parsed
    # as requests (the unsplittable target gets 400), and the key is free again.
    refused = b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"
    client.sendall(UPGRADE + L.http_request("/a") + L.http_request("/svc/next"))
    L.expect(server, UPGRADE)
    assert L.quiet(server)
    server.sendall(refused)
    L.expect(client, refused + BAD_REQUEST)
    L.expect(server, L.http_request("/svc/next"))
    server.sendall(L.http_response())
    L.expect(client, L.http_response())
    client.sendall(UPGRADE)
    L.expect(client, switch(server))

    # An error frame never cuts into a frame of the server's.
    news = frame(b"s" * 100, key=None)
    server.sendall(news[:52])
    L.expect(client, news[:52])
    client.sendall(frame(b'{"type":"x"}'))
    assert L.quiet(client), "the answer split the server's frame"
    server.sendall(news[52:])
    L.expect(client, news[52:] + error_frame(NO_EVENT))

    # While that one is open a second WebSocket of the application to the destination gets 409
    # and its onward connection ends unused; remote clients are not told apart by application.
    if proxy.forward:
        assert asyncio.run(library_refusal(proxy)) == 409
        assert L.expect(proxy.accept(listener), b"", end=True) == "eof"
        client.sendall(frame(GOOD))  # the first one is untouched
        L.expect(server, frame(GOOD))
        client.close()
        assert L.expect(server, b"", end=True) == "eof"
    asyncio.run(library_upgrade(proxy, listener))
