#!/usr/bin/env bash
# A self-contained demonstration of the forward role in two network namespaces:
#
#   "app" host: the proxy (root) and an application running under its own user id, whose
#               outgoing IPv6 TCP connections an nftables output rule redirects to the proxy
#   "svc" host: a sample HTTP service that answers every request with the request as it
#               received it, so its view shows what the proxy forwarded; and two TLS services
#               that demand a client certificate and tell whose it was and how the link is
#               protected
#
# The application uses curl and speaks plain HTTP only; the proxy identifies it, looks up its
# alias in an alias table and adds the "X-SWID: " header to the first request of each plain
# connection. Where the capability rules ask for an authentic or a confidential link, the proxy
# makes the onward connection over TLS itself, presenting the application's certificate. Builds
# nothing: pass the daemon that run.sh built. Needs root (namespaces, nftables); everything is
# removed at the end.
set -euo pipefail

daemon=$(realpath "${1:?usage: demo.sh <path to access-proxy>}")
scripts=$(dirname "$(realpath "$0")")
if [[ $(id -u) -ne 0 ]]; then
    if command -v sudo >/dev/null; then exec sudo "$0" "$daemon"; fi
    echo "demo.sh needs root to create network namespaces" >&2
    exit 1
fi

app_ns=apdemo-$$-app
svc_ns=apdemo-$$-svc
app_addr=2001:db8:de::1
svc_addr=2001:db8:de::2
open_port=8080     # no rule: plain link, the request passes
refused_port=8081  # the rules give level 7, which no link can have: the proxy refuses
authentic_port=8443     # level 1: TLS, integrity-only suites: every record signed, none encrypted
confidential_port=8444  # level 2: TLS, encrypting (AEAD) suites only
alias_name=com.example.weather
workdir=$(mktemp -d /tmp/access-proxy-demo.XXXXXX)
chmod 755 "$workdir"
proxy_pid=""
service_pid=""
tls_service_pid=""

cleanup() {
    set +e
    [[ -n $proxy_pid ]] && kill -KILL "$proxy_pid" 2>/dev/null
    [[ -n $service_pid ]] && kill -KILL "$service_pid" 2>/dev/null
    [[ -n $tls_service_pid ]] && kill -KILL "$tls_service_pid" 2>/dev/null
    wait 2>/dev/null
    ip netns del "$app_ns" 2>/dev/null
    ip netns del "$svc_ns" 2>/dev/null
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

section() { printf '\n\033[1m==== %s ====\033[0m\n' "$*"; }

# Polls until a TCP port listens in a namespace (bounded: 10 s).
wait_listening() {
    local ns=$1 port=$2
    for _ in $(seq 100); do
        if ip netns exec "$ns" ss -Htln "sport = :$port" | grep -q .; then return 0; fi
        sleep 0.1
    done
    echo "nothing listens on port $port in $ns" >&2
    return 1
}

# Namespaces of an earlier demo that was killed before it could clean up.
for stale in $(ip netns list | awk '/^apdemo-[0-9]+-/ {print $1}'); do
    owner=${stale#apdemo-}
    owner=${owner%%-*}
    if ! kill -0 "$owner" 2>/dev/null; then ip netns del "$stale" 2>/dev/null || true; fi
done

# A user id and group id without an entry, for the demo application.
app_uid=47100
while getent passwd "$app_uid" >/dev/null; do app_uid=$((app_uid + 1)); done
app_gid=47100
while getent group "$app_gid" >/dev/null; do app_gid=$((app_gid + 1)); done

section "Network: two namespaces joined by a veth pair"
ip netns add "$app_ns"
ip netns add "$svc_ns"
ip -n "$app_ns" link set lo up
ip -n "$svc_ns" link set lo up
ip -n "$app_ns" link add eth0 type veth peer name eth0 netns "$svc_ns"
ip -n "$app_ns" addr add "$app_addr/64" dev eth0 nodad
ip -n "$svc_ns" addr add "$svc_addr/64" dev eth0 nodad
ip -n "$app_ns" link set eth0 up
ip -n "$svc_ns" link set eth0 up
echo "app host $app_ns: eth0 $app_addr   (proxy, application uid $app_uid)"
echo "svc host $svc_ns: eth0 $svc_addr   (sample service on ports $open_port and $refused_port,"
echo "                                     TLS services on ports $authentic_port and $confidential_port)"

section "Sample service: answers with the request it received"
cat >"$workdir/echo_service.py" <<'EOF'
import http.server
import socket
import sys
import threading


class Echo(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def handle_one(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        headers = "".join(f"{name}: {value}\r\n" for name, value in self.headers.items())
        seen = f"{self.requestline}\r\n{headers}\r\n".encode() + body
        print(f"--- port {self.server.server_address[1]}, connection from "
              f"[{self.client_address[0]}]:{self.client_address[1]}:", flush=True)
        print(seen.decode(errors="replace").replace("\r\n", "\n"), flush=True)
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(seen)))
        self.end_headers()
        self.wfile.write(seen)

    do_GET = do_POST = do_PUT = do_DELETE = handle_one

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET6


servers = [Server((sys.argv[1], int(port)), Echo) for port in sys.argv[2:]]
for server in servers[1:]:
    threading.Thread(target=server.serve_forever, daemon=True).start()
servers[0].serve_forever()
EOF
ip netns exec "$svc_ns" /usr/bin/python3 -u "$workdir/echo_service.py" "$svc_addr" \
    "$open_port" "$refused_port" >"$workdir/service.log" 2>&1 &
service_pid=$!
wait_listening "$svc_ns" "$open_port"
wait_listening "$svc_ns" "$refused_port"
echo "listening on [$svc_addr]:$open_port and [$svc_addr]:$refused_port"

section "TLS credentials: a test CA and identities, made by make-tls-credentials.sh"
tls_dir=$workdir/tls
bash "$scripts/make-tls-credentials.sh" "$tls_dir" "$alias_name" weather-service
for pem in "$tls_dir"/*.pem; do
    printf '%-26s %s\n' "$(basename "$pem")" "$(openssl x509 -in "$pem" -noout -subject)"
done
echo "The proxy uses ca.pem (trust anchor), node.pem/node.key and, for the application's links,"
echo "$alias_name.pem/.key. The TLS services present weather-service.pem and trust ca.pem."

section "TLS services: demand a client certificate, report its name and the suite"
cat >"$workdir/tls_service.py" <<'EOF'
import http.server
import socket
import ssl
import sys
import threading


class Report(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        tls = self.connection
        subject = dict(entry[0] for entry in tls.getpeercert()["subject"])
        seen = (f"port {self.server.server_address[1]}: client certificate CN="
                f"{subject['commonName']}, {tls.version()}, suite {tls.cipher()[0]}")
        print(f"{seen}, request {self.requestline!r}", flush=True)
        body = (seen + "\n").encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET6


directory, address = sys.argv[1], sys.argv[2]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(f"{directory}/weather-service.pem", f"{directory}/weather-service.key")
context.load_verify_locations(f"{directory}/ca.pem")
context.verify_mode = ssl.CERT_REQUIRED
# Integrity-only suites allowed too: the suite reported is the one the proxy asked for.
context.set_ciphers("ALL:eNULL:@SECLEVEL=0")
servers = []
for port in sys.argv[3:]:
    server = Server((address, int(port)), Report)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    servers.append(server)
for server in servers[1:]:
    threading.Thread(target=server.serve_forever, daemon=True).start()
servers[0].serve_forever()
EOF
ip netns exec "$svc_ns" /usr/bin/python3 -u "$workdir/tls_service.py" "$tls_dir" "$svc_addr" \
    "$authentic_port" "$confidential_port" >"$workdir/tls_service.log" 2>&1 &
tls_service_pid=$!
wait_listening "$svc_ns" "$authentic_port"
wait_listening "$svc_ns" "$confidential_port"
echo "listening on [$svc_addr]:$authentic_port and [$svc_addr]:$confidential_port"

section "Proxy configuration"
printf '%s %s\n' "$app_uid" "$alias_name" >"$workdir/aliases.txt"
printf '%s %s %s\n' "$svc_addr" "$refused_port" 7 "$svc_addr" "$authentic_port" 1 \
    "$svc_addr" "$confidential_port" 2 >"$workdir/capabilities.txt"
: >"$workdir/tls_exceptions.txt"
echo "alias table (ACCESS_PROXY_ALIASES):       $(cat "$workdir/aliases.txt")"
echo "capability rules (ACCESS_PROXY_CAPABILITIES):"
sed 's/^/    /' "$workdir/capabilities.txt"
echo "tls_exceptions.txt: empty"
echo "TLS credentials (ACCESS_PROXY_TLS_DIR): $tls_dir"

section "nftables: the application's IPv6 TCP goes to the proxy"
ip netns exec "$app_ns" nft -f - <<EOF
table ip6 access_proxy_demo {
    chain output {
        type nat hook output priority -100; policy accept;
        # only the application's user: the proxy runs as root, so its own onward
        # connections leave untouched
        meta skuid $app_uid meta l4proto tcp dnat to [$app_addr]:29178
    }
}
EOF
ip netns exec "$app_ns" nft list ruleset

section "Starting the proxy: access-proxy -f -i eth0 -m buffered -l 2"
(
    cd "$workdir"
    ACCESS_PROXY_ALIASES="$workdir/aliases.txt" \
        ACCESS_PROXY_CAPABILITIES="$workdir/capabilities.txt" \
        ACCESS_PROXY_TLS_DIR="$tls_dir" \
        exec ip netns exec "$app_ns" "$daemon" -f -i eth0 -m buffered -l 2
) &
proxy_pid=$!
wait_listening "$app_ns" 29178
echo "proxy (pid $proxy_pid) listening on [$app_addr]:29178"

as_app() {
    ip netns exec "$app_ns" setpriv --reuid="$app_uid" --regid="$app_gid" --clear-groups "$@"
}

# Prints the words as a reader would type them: single quotes around those that need any.
show_words() {
    local word
    for word in "$@"; do
        if [[ $word =~ ^[A-Za-z0-9_./:=@,-]+$ ]]; then printf ' %s' "$word"; else printf " '%s'" "$word"; fi
    done
    printf '\n'
}

# Shows the command and the response heads that curl received; the bodies are the service's
# echo, shown further down from the service's side.
run_curl() {
    echo
    printf '$ curl'
    show_words "$@"
    local args=() arg status=0
    for arg in "$@"; do
        [[ $arg == http://* ]] && args+=(-o /dev/null)
        args+=("$arg")
    done
    as_app curl -q -sS --max-time 10 -D - "${args[@]}" | tr -d '\r' || status=$?
    echo "(curl exit status $status)"
}

# Shows the command and the body of the response.
run_curl_body() {
    echo
    printf '$ curl'
    show_words "$@"
    local status=0
    as_app curl -q -sS --max-time 10 "$@" || status=$?
    echo "(curl exit status $status)"
}

# Sends raw requests on one connection and shows every byte that comes back. The proxy's own
# answers carry no length, which an HTTP client would wait on, so this one just reads.
run_raw() {
    local port=$1
    shift
    echo
    printf '$ send on one connection:'
    show_words "$@"
    as_app /usr/bin/python3 -c '
import socket, sys
client = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=10)
client.settimeout(2)
client.sendall("".join(sys.argv[3:]).encode().decode("unicode_escape").encode())
received = b""
try:
    while chunk := client.recv(65536):
        received += chunk
except socket.timeout:
    pass
print(received.decode(errors="replace").replace("\r\n", "\n"), end="")
' "$svc_addr" "$port" "$@"
}

section "Requests from the application (uid $app_uid) with curl"
url=http://[$svc_addr]:$open_port
echo "Two requests on one connection: only the first carries X-SWID."
run_curl "$url/weather/today" "$url/weather/tomorrow"
echo
echo "A POST with a body."
run_curl -H 'Content-Type: application/json' --data-binary '{"city":"Kiel"}' "$url/weather/report"
echo
echo "A request target the proxy cannot parse, then a good request on the same connection:"
echo "the proxy answers the first with 400 itself, forwards only the second, and the"
echo "connection stays open."
run_raw "$open_port" 'GET /x HTTP/1.1\r\nHost: demo\r\n\r\n' \
    'GET /weather/now HTTP/1.1\r\nHost: demo\r\n\r\n'
echo
echo "A service whose link the rules mark with an undeterminable security level: refused."
run_curl "http://[$svc_addr]:$refused_port/weather/today"

section "Secured links: the application speaks plain HTTP, the proxy adds TLS"
echo "Level 1, authentic: the proxy presents $alias_name's certificate and asks for an"
echo "integrity-only suite. The TLS service's answer tells what it saw; no X-SWID header"
echo "goes with it: the certificate names the application."
run_curl_body "http://[$svc_addr]:$authentic_port/weather/signed"
echo
echo "Level 2, confidential: the same certificate, an encrypting suite."
run_curl_body "http://[$svc_addr]:$confidential_port/weather/secret"

section "The service's view of the requests it received"
sleep 0.2
cat "$workdir/service.log"
echo "--- the TLS services:"
cat "$workdir/tls_service.log"

section "Stopping the proxy with SIGTERM"
kill -TERM "$proxy_pid"
status=0
wait "$proxy_pid" || status=$?
proxy_pid=""
echo "exit status: $status"

section "The proxy's log ($(cd "$workdir" && ls bufferedlog_*.txt))"
cat "$workdir"/bufferedlog_*.txt
