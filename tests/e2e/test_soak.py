"""Long runs against one reverse proxy: slow readers on either side, many short connections and
many idle pairs leave its memory and descriptors bounded. Reduced counts by default; AP_SOAK=full
runs the full ones (1 GiB at 1 MiB/s, 100,000 connections, 9,900 idle pairs: the pairs take
two of the daemon's descriptors each, and the hard limit here is 20,000). Memory bounds hold for
a release daemon; a sanitizer build, which inflates its memory, only reports its figures."""

import concurrent.futures
import hashlib
import os
import resource
import socket
import time

import lab as L

FULL = os.environ.get("AP_SOAK") == "full"
MiB = 1 << 20
ECHO_PORT = 8083


def reverse_proxy(lab, *args):
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # for the idle pairs' clients
    lab.sanitized = L.built_with(lab.daemon_path, b"__asan_init", b"__tsan_init")
    lab.proxy("reverse", *args)
    lab.echo(ECHO_PORT)
    return lab


def send_stream(sock, head, size, seed):
    """The head, then size pseudo-random bytes; returns their digest."""
    digest = hashlib.sha256()
    sock.sendall(head)
    for offset in range(0, size, MiB):
        chunk = L.payload(min(MiB, size - offset), seed + offset)
        digest.update(chunk)
        sock.sendall(chunk)
    return digest.hexdigest()


def read_slowly(sock, size, rate):
    """Reads size bytes at no more than rate bytes a second; returns their digest."""
    digest, done, start = hashlib.sha256(), 0, time.monotonic()
    while done < size:
        time.sleep(max(0.0, done / rate - (time.monotonic() - start)))
        chunk = sock.recv(min(size - done, 64 << 10))
        assert chunk, f"end after {done} of {size} bytes"
        digest.update(chunk)
        done += len(chunk)
    return digest.hexdigest()


def test_slow_readers_leave_memory_bounded(lab):
    reverse = reverse_proxy(lab)
    size, rate = (1 << 30, MiB) if FULL else (64 * MiB, 4 * MiB)
    listener = reverse.listen()
    head = f"POST /svc/up HTTP/1.1\r\nHost: service\r\nContent-Length: {size}\r\n\r\n".encode()
    uploader, upload_server = reverse.pair(listener, head)
    downloader, download_server = reverse.pair(listener, L.http_request("/svc/down"))
    response_head = f"HTTP/1.1 200 OK\r\nContent-Length: {size}\r\n\r\n".encode()
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        sent = [pool.submit(send_stream, uploader, b"", size, 1),
                pool.submit(send_stream, download_server, response_head, size, 2)]
        downloader_head = pool.submit(L.expect, downloader, response_head)
        received = [pool.submit(read_slowly, upload_server, size, rate),
                    pool.submit(lambda: downloader_head.result() or
                                read_slowly(downloader, size, rate))]
        peak = 0.0
        while not all(future.done() for future in received):
            peak = max(peak, reverse.daemon.rss_mib())
            time.sleep(0.1)
        assert [future.result() for future in sent] == [future.result() for future in received]
    print(f"slow readers: {size // MiB} MiB each way at {rate // MiB} MiB/s, "
          f"RSS peak {peak:.1f} MiB")
    assert reverse.sanitized or peak < 64

    # SIGTERM while a client does not read what its server sends.
    L.sending(download_server, L.payload(16 * MiB, 3))
    time.sleep(1)  # lets the queues fill
    L.stop_in_time(reverse.daemon)


def churn(lab, count):
    """Short connections one after another, ending in turn with an orderly close after the
    echo, a reset after the echo, and a close in the middle of a request head."""
    request = L.http_request("/svc/churn")
    with L.in_namespace(lab.client_ns):
        for index in range(count):
            with socket.create_connection((L.SERVER_ADDR, ECHO_PORT), L.TIMEOUT) as client:
                if index % 3 == 2:
                    client.sendall(request[:20])
                    continue
                client.sendall(request)
                L.expect(client, request)
                if index % 3 == 1:
                    L.abort(client)


def test_churn_and_idle_pairs_leave_nothing_behind(lab):
    # Info and above: Debug entries for thousands of connections a second would measure the
    # logging thread's backlog, not the connections.
    reverse = reverse_proxy(lab, "-l", "2")
    short, idle = (100_000, 9_900) if FULL else (5_000, 1_000)
    daemon = reverse.daemon
    # Closed connections linger in TIME_WAIT on their ephemeral ports and in the connection
    # tracking table; a full run would exhaust the default port range and fill the table.
    for namespace in (reverse.client_ns, reverse.server_ns):
        L.run("ip", "netns", "exec", namespace, "sysctl", "-qw",
              "net.ipv4.ip_local_port_range=1024 65535", "net.ipv4.tcp_tw_reuse=1",
              "net.netfilter.nf_conntrack_tcp_timeout_time_wait=5")
    idle_descriptors = daemon.descriptors()
    churn(reverse, 600)  # warm-up: the allocator's and the log's working sizes
    before = L.settled(daemon, idle_descriptors), daemon.rss_mib()
    started = time.monotonic()
    churn(reverse, short)
    rate = short / (time.monotonic() - started)
    after = L.settled(daemon, idle_descriptors), daemon.rss_mib()
    print(f"churn: {short} connections ({rate:.0f}/s), descriptors {before[0]} -> {after[0]}, "
          f"RSS {before[1]:.1f} -> {after[1]:.1f} MiB")
    assert after[0] == before[0] == idle_descriptors
    assert reverse.sanitized or after[1] < before[1] + 2

    request = L.http_request("/svc/idle")
    pairs = []
    for _ in range(idle):  # each with its first request, which is due soon after connecting
        pairs.append(client := reverse.client(ECHO_PORT))
        client.sendall(request)
        L.expect(client, request)
    held = daemon.descriptors(), daemon.rss_mib()
    for client in pairs:
        client.sendall(request)
        L.expect(client, request)
    print(f"idle pairs: {idle} held, descriptors {held[0]}, RSS {after[1]:.1f} -> {held[1]:.1f} "
          f"MiB ({(held[1] - after[1]) * 1024 / idle:.1f} KiB a pair)")
    assert held[0] == idle_descriptors + 2 * idle
    L.stop_in_time(daemon)
