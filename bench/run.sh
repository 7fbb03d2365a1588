#!/usr/bin/env bash
# Measures what the proxy costs: the same HTTP traffic from a load generator to an nginx server,
# once directly, once through HAProxy in TCP mode and once through access-proxy, each proxy in the
# reverse and the forward role behind the nftables rules of deploy/. Prints one table of medians
# with the ratios to the direct path and to HAProxy, and writes the raw figures and the summary
# to a results directory. Needs root (namespaces, nftables); everything it creates is removed on
# exit, also on Ctrl-C or failure. See bench/README.md.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
python=/usr/bin/python3

all_scenarios=direct,haproxy-rev,ap-rev,haproxy-fwd,ap-fwd
daemon=""
scenarios=$all_scenarios
runs=3
duration=10
warmup=2
connections=50
idle_pairs=1000
client_cpu=0
server_cpu=1
out_dir=""
skip_install=0

usage() {
    cat <<EOF
usage: bench/run.sh [options]     (as root)

  -d, --daemon PATH       access-proxy binary (default: build-release/access-proxy, built when
                          missing)
  -s, --scenarios LIST    comma-separated, of $all_scenarios
                          (default: all)
  -n, --runs N            runs of every scenario; the table shows medians (default $runs)
  -D, --duration S        seconds of each measured load (default $duration)
  -w, --warmup S          seconds of load before each measured one (default $warmup)
  -c, --connections N     connections of the keep-alive and new-connection loads (default $connections)
  -i, --idle N            idle connection pairs held for the memory figure (default $idle_pairs)
  -q, --quick             smoke run: 1 run, 2 s loads, 1 s warm-up, 200 idle pairs
      --client-cpu N      CPU of the load generator (default $client_cpu)
      --server-cpu N      CPU of nginx and the proxy under test (default $server_cpu)
  -o, --out DIR           results directory (default: bench/results/<date-time>)
      --perf LOAD         record a CPU profile of the proxy under test (perf record -g) during
                          the load named keepalive, close, bulk or unloaded, into the results
                          directory as perf-<scenario>-<load>-run<N>.data
      --no-install        do not install missing Debian packages
  -h, --help              this text
EOF
}

while (($# > 0)); do
    case $1 in
        -d | --daemon) daemon=$2; shift ;;
        -s | --scenarios) scenarios=$2; shift ;;
        -n | --runs) runs=$2; shift ;;
        -D | --duration) duration=$2; shift ;;
        -w | --warmup) warmup=$2; shift ;;
        -c | --connections) connections=$2; shift ;;
        -i | --idle) idle_pairs=$2; shift ;;
        -q | --quick) runs=1; duration=2; warmup=1; idle_pairs=200 ;;
        --client-cpu) client_cpu=$2; shift ;;
        --server-cpu) server_cpu=$2; shift ;;
        -o | --out) out_dir=$2; shift ;;
        --no-install) skip_install=1 ;;
        --perf) perf_load=$2; shift ;;
        -h | --help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done

for number in "$runs" "$duration" "$warmup" "$connections" "$idle_pairs" "$client_cpu" \
    "$server_cpu"; do
    [[ $number =~ ^[0-9]+$ ]] || { echo "not a number: $number" >&2; exit 2; }
done
((runs >= 1 && duration >= 1 && connections >= 1)) || { echo "runs, duration and connections must be at least 1" >&2; exit 2; }
IFS=, read -r -a scenario_list <<<"$scenarios"
for scenario in "${scenario_list[@]}"; do
    [[ ,$all_scenarios, == *,$scenario,* ]] || { echo "unknown scenario: $scenario" >&2; exit 2; }
done
if [[ $(id -u) -ne 0 ]]; then
    echo "bench/run.sh needs root: it creates network namespaces and nftables rules" >&2
    exit 1
fi

# --- Packages and the daemon ------------------------------------------------------------------

if ((!skip_install)); then
    packages=(nginx haproxy wrk curl iproute2 nftables util-linux procps python3)
    missing=()
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    if ((${#missing[@]} > 0)); then
        echo "Installing: ${missing[*]}" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
fi

if [[ -z $daemon ]]; then
    daemon=$root/build-release/access-proxy
    if [[ ! -x $daemon ]]; then
        echo "Building $daemon" >&2
        ((skip_install)) || "$root/scripts/install-deps.sh"
        cmake -S "$root" -B "$root/build-release" -DCMAKE_BUILD_TYPE=Release \
            -DAP_BUILD_TESTS=OFF >/dev/null
        cmake --build "$root/build-release" -j"$(nproc)" --target access-proxy >/dev/null
    fi
fi
daemon=$(realpath "$daemon")
[[ -x $daemon ]] || { echo "no daemon at $daemon" >&2; exit 1; }

# --- Fixed names and the state that cleanup undoes --------------------------------------------

prefix=apbench-$$
client_ns=$prefix-c
server_ns=$prefix-s
client_addr=2001:db8:be::1
server_addr=2001:db8:be::2
service_port=8080
status_port=8099 # nginx's counters, on the server's loopback only
forward_port=29178
reverse_port=29179
large_size=$((10 * 1024 * 1024))
clock_ticks=$(getconf CLK_TCK)
daemon_options=(-t 1 -m buffered -l 4)

workdir=$(mktemp -d /tmp/apbench.XXXXXX)
chmod 755 "$workdir" # nginx's workers and the application user read from here
if [[ -z $out_dir ]]; then out_dir=$here/results/$(date +%Y%m%d-%H%M%S); fi
mkdir -p "$out_dir"
out_dir=$(realpath "$out_dir")
raw=$out_dir/raw.tsv
printf 'run\tscenario\ttest\tkey\tvalue\n' >"$raw"

perf_load=${perf_load:-}
proxy_pid=""
proxy_kind=""    # "", "daemon" or "haproxy"
proxy_ns=""
nginx_pid=""
hold_pid=""

stopped_status=""
stop_pid() { # pid signal: signals, waits up to 10 s, then kills; sets stopped_status
    local pid=$1 signal=$2
    kill "-$signal" "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    stopped_status=0
    wait "$pid" 2>/dev/null || stopped_status=$?
}

lab_down() {
    local ns pid
    [[ -n $hold_pid ]] && { kill -KILL "$hold_pid" 2>/dev/null || true; wait "$hold_pid" 2>/dev/null || true; }
    [[ -n $proxy_pid ]] && stop_pid "$proxy_pid" KILL
    [[ -n $nginx_pid ]] && stop_pid "$nginx_pid" TERM
    hold_pid="" proxy_pid="" nginx_pid="" proxy_kind="" proxy_ns=""
    for ns in "$client_ns" "$server_ns"; do
        [[ -e /run/netns/$ns ]] || continue
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
        ip netns del "$ns" 2>/dev/null || true
    done
}

cleanup() {
    set +e
    lab_down
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Namespaces of an earlier run that was killed before it could clean up.
for stale in $(ip netns list | awk '/^apbench-[0-9]+-/ {print $1}'); do
    owner=${stale#apbench-}
    owner=${owner%%-*}
    kill -0 "$owner" 2>/dev/null || ip netns del "$stale" 2>/dev/null || true
done

# A user id without an entry for the application whose connections the forward rules redirect;
# every client runs as this user, in every scenario alike.
app_uid=47300
while getent passwd "$app_uid" >/dev/null || getent group "$app_uid" >/dev/null; do
    app_uid=$((app_uid + 1))
done

# Connections held open by the load generator, the idle holder, nginx and the proxy.
descriptors=$(ulimit -Hn)
[[ $descriptors == unlimited ]] && descriptors=65536
ulimit -n "$descriptors"
if (($(ulimit -n) < 4 * idle_pairs + 1000)); then
    echo "too few descriptors allowed ($(ulimit -n)) for $idle_pairs idle pairs" >&2
    exit 1
fi

log() { printf '[bench] %s\n' "$*" >&2; }

record() { # test key value
    printf '%s\t%s\t%s\t%s\t%s\n' "$run" "$scenario" "$1" "$2" "$3" >>"$raw"
}

in_ns() { ip netns exec "$@"; }

as_app() { # command...: in the client namespace, on the client CPU, as the application user
    ip netns exec "$client_ns" taskset -c "$client_cpu" \
        setpriv --reuid="$app_uid" --regid="$app_uid" --clear-groups "$@"
}

expect_program() { # pid path: the pid whose figures are taken must be that program itself
    if [[ $(readlink "/proc/$1/exe") != "$(realpath "$2")" ]]; then
        log "process $1 is $(readlink "/proc/$1/exe"), not $2"
        return 1
    fi
}

wait_listening() { # namespace port (bounded: 10 s)
    for _ in $(seq 100); do
        if in_ns "$1" ss -Htln "sport = :$2" | grep -q .; then return 0; fi
        sleep 0.1
    done
    log "nothing listens on port $2 in $1"
    return 1
}

# --- Content and configuration ----------------------------------------------------------------

mkdir -p "$workdir/www" "$workdir/nginx"
printf 'access-proxy bench: a small response.\n' >"$workdir/www/small"
head -c "$large_size" /dev/urandom >"$workdir/www/large"
chmod 644 "$workdir/www/small" "$workdir/www/large"
large_sha=$(sha256sum <"$workdir/www/large" | cut -d' ' -f1)

cat >"$workdir/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
worker_rlimit_nofile $(ulimit -n);
pid $workdir/nginx/nginx.pid;
error_log $workdir/nginx/error.log warn;
events {
    worker_connections 16384;
}
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    # Long enough that idle pairs stay open and keep-alive loads never reconnect.
    keepalive_timeout 600s;
    keepalive_requests 100000000;
    default_type application/octet-stream;
    client_body_temp_path $workdir/nginx/body;
    proxy_temp_path $workdir/nginx/proxy;
    fastcgi_temp_path $workdir/nginx/fastcgi;
    uwsgi_temp_path $workdir/nginx/uwsgi;
    scgi_temp_path $workdir/nginx/scgi;
    server {
        listen [$server_addr]:$service_port backlog=4096;
        root $workdir/www;
    }
    server {
        listen [::1]:$status_port;
        location / {
            stub_status;
        }
    }
}
EOF

printf '' >"$workdir/tls_exceptions.txt"
printf '' >"$workdir/capabilities.txt" # no rule: every link plain
printf '%s org.example.bench\n' "$app_uid" >"$workdir/aliases.txt"

# A rule file of the deployment with its definitions replaced, as the end-to-end tests load it.
deploy_rules() { # file KEY=VALUE...
    local file=$root/deploy/$1 text key value
    shift
    text=$(<"$file")
    for definition in "$@"; do
        key=${definition%%=*}
        value=${definition#*=}
        if [[ $(grep -c "^define $key = " <<<"$text") -ne 1 ]]; then
            log "$file does not define $key exactly once"
            return 1
        fi
        text=$(KEY=$key VALUE=$value awk '$1 == "define" && $2 == ENVIRON["KEY"] && $3 == "=" {
            print "define " ENVIRON["KEY"] " = " ENVIRON["VALUE"]; next } { print }' <<<"$text")
    done
    printf '%s\n' "$text"
}

# --- The lab: two namespaces, the server and the proxy under test -----------------------------

lab_up() {
    ip netns add "$client_ns"
    ip netns add "$server_ns"
    ip -n "$client_ns" link set lo up
    ip -n "$server_ns" link set lo up
    ip -n "$client_ns" link add ap0 type veth peer name ap1 netns "$server_ns"
    ip -n "$client_ns" addr add "$client_addr/64" dev ap0 nodad
    ip -n "$server_ns" addr add "$server_addr/64" dev ap1 nodad
    ip -n "$client_ns" link set ap0 up
    ip -n "$server_ns" link set ap1 up
    # New-connection loads open tens of thousands of connections: room for their ports, and
    # connection tracking entries that do not outlive the load by minutes.
    local ns
    for ns in "$client_ns" "$server_ns"; do
        in_ns "$ns" sysctl -qw net.ipv4.ip_local_port_range="1024 65000" net.ipv4.tcp_tw_reuse=1
        in_ns "$ns" sysctl -qw net.netfilter.nf_conntrack_tcp_timeout_time_wait=5 2>/dev/null || true
    done
    # Started directly, not through a function, so that $! is the server's own process.
    ip netns exec "$server_ns" taskset -c "$server_cpu" nginx -c "$workdir/nginx/nginx.conf" \
        -p "$workdir/nginx" >"$workdir/nginx/output.txt" 2>&1 &
    nginx_pid=$!
    wait_listening "$server_ns" "$service_port"
    wait_listening "$server_ns" "$status_port"
    expect_program "$nginx_pid" "$(command -v nginx)"
}

# The proxy's own port in the role, the namespace it runs in and the interface it binds to.
role_of() { [[ $1 == *-fwd ]] && echo forward || echo reverse; }

load_rules() { # role
    local rules port
    if [[ $1 == forward ]]; then
        proxy_ns=$client_ns port=$forward_port
        rules=$(deploy_rules nftables-forward.nft PROXY_ADDR="$client_addr" \
            APP_UIDS="{ $app_uid }" PROXY_UID=0)
    else
        proxy_ns=$server_ns port=$reverse_port
        rules=$(deploy_rules nftables-reverse.nft PROXY_ADDR="$server_addr" CLIENT_IF='"ap1"' \
            SERVICE_PORTS="{ $service_port }")
    fi
    in_ns "$proxy_ns" nft -f - <<<"$rules"
    # Counts the connections that reach the proxy's port through the redirection, the proof
    # that the load went through the proxy and not past it.
    in_ns "$proxy_ns" nft -f - <<EOF
table ip6 apbench_count {
    counter redirected { }
    chain input {
        type filter hook input priority 0; policy accept;
        meta l4proto tcp th dport $port ct state new ct status dnat counter name "redirected"
    }
}
EOF
}

start_daemon() { # role
    local flag interface port
    if [[ $1 == forward ]]; then flag=-f interface=ap0 port=$forward_port
    else flag=-r interface=ap1 port=$reverse_port; fi
    mkdir -p "$workdir/daemon"
    cp "$workdir/tls_exceptions.txt" "$workdir/daemon/"
    daemon_args=("$flag" -i "$interface" "${daemon_options[@]}")
    (
        cd "$workdir/daemon"
        ACCESS_PROXY_ALIASES=$workdir/aliases.txt ACCESS_PROXY_CAPABILITIES=$workdir/capabilities.txt \
            exec ip netns exec "$proxy_ns" taskset -c "$server_cpu" "$daemon" "${daemon_args[@]}"
    ) >"$workdir/daemon/output.txt" 2>&1 &
    proxy_pid=$! proxy_kind=daemon
    wait_listening "$proxy_ns" "$port" || { cat "$workdir/daemon/output.txt" >&2; return 1; }
    expect_program "$proxy_pid" "$daemon"
}

start_haproxy() { # role
    local bind port
    if [[ $1 == forward ]]; then bind=$client_addr port=$forward_port
    else bind=$server_addr port=$reverse_port; fi
    mkdir -p "$workdir/haproxy"
    # One thread, no log, plain TCP relaying to the fixed server: its original-destination
    # support covers IPv4 only, and the server is the original destination of every connection
    # here anyway. Timeouts long enough for the idle pairs.
    cat >"$workdir/haproxy/haproxy.cfg" <<EOF
global
    nbthread 1
    maxconn $(((descriptors - 200) / 2))
    stats socket $workdir/haproxy/stats.sock mode 600 level user
defaults
    mode tcp
    timeout connect 5s
    timeout client 600s
    timeout server 600s
frontend bench
    bind [$bind]:$port
    default_backend service
backend service
    server nginx [$server_addr]:$service_port
EOF
    ip netns exec "$proxy_ns" taskset -c "$server_cpu" haproxy -db -f "$workdir/haproxy/haproxy.cfg" \
        >"$workdir/haproxy/output.txt" 2>&1 &
    proxy_pid=$! proxy_kind=haproxy
    wait_listening "$proxy_ns" "$port" || { cat "$workdir/haproxy/output.txt" >&2; return 1; }
    expect_program "$proxy_pid" "$(command -v haproxy)"
}

# --- Counters ---------------------------------------------------------------------------------

cpu_ticks() { # utime + stime of all the process's threads
    sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'
}

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

socket_count() { find "/proc/$1/fd" -lname 'socket:*' 2>/dev/null | wc -l; }

redirected() {
    in_ns "$proxy_ns" nft list counter ip6 apbench_count redirected | awk '/packets/ {print $2}'
}

nginx_counts() { # accepted connections and requests so far
    in_ns "$server_ns" curl -sS -g --max-time 5 "http://[::1]:$status_port/" |
        awk 'NR == 3 {print $1, $3}'
}

haproxy_sessions() { # sessions the frontend has accepted so far
    "$python" -I -S -c '
import csv, socket, sys
with socket.socket(socket.AF_UNIX) as sock:
    sock.settimeout(5)
    sock.connect(sys.argv[1])
    sock.sendall(b"show stat\n")
    data = b""
    while chunk := sock.recv(65536):
        data += chunk
rows = list(csv.reader(data.decode().lstrip("# ").splitlines()))
stot = rows[0].index("stot")
print(next(row[stot] for row in rows[1:] if len(row) > stot and row[1] == "FRONTEND"))
' "$workdir/haproxy/stats.sock"
}

snapshot() { # cpu_ticks redirected upstream_accepts upstream_requests sessions ("NA" if none)
    local cpu=NA red=NA sessions=NA counts
    if [[ -n $proxy_pid ]]; then cpu=$(cpu_ticks "$proxy_pid") red=$(redirected); fi
    [[ $proxy_kind == haproxy ]] && sessions=$(haproxy_sessions)
    counts=$(nginx_counts)
    echo "$cpu $red $counts $sessions"
}

record_deltas() { # test "before" "after"
    local names=(cpu_ticks redirected upstream_accepts upstream_requests sessions)
    local -a before after
    read -r -a before <<<"$2"
    read -r -a after <<<"$3"
    for i in "${!names[@]}"; do
        if [[ ${before[i]} == NA || ${after[i]} == NA ]]; then record "$1" "${names[i]}" NA
        else record "$1" "${names[i]}" $((after[i] - before[i])); fi
    done
}

# --- Measurements -----------------------------------------------------------------------------

url() { echo "http://[$server_addr]:$service_port/$1"; }

wrk_load() { # test connections seconds path close(0/1) [record(0/1)]
    local test=$1 conns=$2 seconds=$3 path=$4 close=$5 keep=${6:-1} before after output perf_pid=""
    if [[ $perf_load == "$test" && -n $proxy_pid ]] && ((keep)); then
        # Sampled in software: this machine's counters are not always available to perf.
        perf record -q -F 999 -g -p "$proxy_pid" \
            -o "$out_dir/perf-$scenario-$test-run$run.data" >/dev/null 2>&1 &
        perf_pid=$!
    fi
    before=$(snapshot)
    output=$(BENCH_CLOSE=$close as_app wrk -t1 -c"$conns" -d"${seconds}s" --timeout 5s \
        -s "$workdir/wrk-report.lua" "$(url "$path")" 2>&1) || {
        log "wrk failed: $output"
        return 1
    }
    after=$(snapshot)
    if [[ -n $perf_pid ]]; then
        kill -INT "$perf_pid" 2>/dev/null
        wait "$perf_pid" 2>/dev/null || true
    fi
    ((keep)) || return 0
    record "$test" connections "$conns"
    awk '$1 == "@@" {print $2, $3}' <<<"$output" | while read -r key value; do
        record "$test" "$key" "$value"
    done
    record_deltas "$test" "$before" "$after"
}

check_content() {
    local small large
    small=$(as_app curl -sS -g --max-time 10 "$(url small)" || true)
    large=$(as_app curl -sS -g --max-time 60 "$(url large)" | sha256sum | cut -d' ' -f1 || true)
    record content small_ok "$([[ $small == "$(<"$workdir/www/small")" ]] && echo 1 || echo 0)"
    record content large_ok "$([[ $large == "$large_sha" ]] && echo 1 || echo 0)"
}

idle_pairs() {
    local before after line="" sockets
    record idle pairs "$idle_pairs"
    before=$(rss_kib "$proxy_pid")
    coproc HOLD { as_app "$python" -I -S "$workdir/hold.py" "$server_addr" "$service_port" \
        "$idle_pairs" 120 2>&1; }
    hold_pid=$HOLD_PID
    read -r -t 150 -u "${HOLD[0]}" line || true
    # The last replies may still be on their way from the proxy's side; let it settle.
    sleep 1
    after=$(rss_kib "$proxy_pid")
    sockets=$(socket_count "$proxy_pid")
    exec {HOLD[1]}>&-
    wait "$hold_pid" 2>/dev/null || true
    hold_pid=""
    [[ $line == "ready $idle_pairs" ]] || log "idle holder: ${line:-no answer}"
    record idle ready "$([[ $line == "ready $idle_pairs" ]] && echo 1 || echo 0)"
    record idle rss_before_kib "$before"
    record idle rss_after_kib "$after"
    record idle proxy_sockets "$sockets"
}

measure() {
    check_content
    if [[ -n $proxy_pid ]] && ((idle_pairs > 0)); then idle_pairs; fi
    if ((warmup > 0)); then wrk_load keepalive "$connections" "$warmup" small 0 0; fi
    wrk_load keepalive "$connections" "$duration" small 0
    if ((warmup > 0)); then wrk_load close "$connections" "$warmup" small 1 0; fi
    wrk_load close "$connections" "$duration" small 1
    wrk_load bulk 1 "$duration" large 0
    wrk_load unloaded 1 "$duration" small 0
}

# --- The runs ---------------------------------------------------------------------------------

cp "$here/wrk-report.lua" "$here/hold.py" "$workdir/"
chmod 644 "$workdir/wrk-report.lua" "$workdir/hold.py"

# The last commit that changed the daemon's sources in the checkout the daemon was built in (this
# one unless the binary lies in another; one from elsewhere is known by its checksum, recorded too).
sources=$(git -C "$(dirname "$daemon")" rev-parse --show-toplevel 2>/dev/null || echo "$root")
git_commit=$(git -C "$sources" log -1 --format=%h -- src CMakeLists.txt 2>/dev/null || true)
git_commit=${git_commit:-unknown}
git -C "$sources" diff --quiet HEAD -- src CMakeLists.txt 2>/dev/null || git_commit+="+changes"
"$python" - "$out_dir/meta.json" <<EOF
import json, sys
meta = {
    "date": "$(date -Iseconds)",
    "host": "$(uname -n)", "kernel": "$(uname -r)", "cpus": $(nproc),
    "daemon": "$daemon", "daemon_sha256": "$(sha256sum <"$daemon" | cut -c1-16)",
    "source_commit": "$git_commit",
    "daemon_options": "${daemon_options[*]}",
    "haproxy": "$(haproxy -v | head -1)", "nginx": "$(nginx -v 2>&1)",
    "wrk": "$(wrk -v 2>&1 | head -1 | cut -d' ' -f1-2)",
    "scenarios": "$scenarios".split(","), "runs": $runs, "duration_s": $duration,
    "warmup_s": $warmup, "connections": $connections, "idle_pairs": $idle_pairs,
    "client_cpu": $client_cpu, "server_cpu": $server_cpu, "clock_ticks": $clock_ticks,
    "large_bytes": $large_size, "loadavg_start": "$(cut -d' ' -f1-3 /proc/loadavg)",
}
json.dump(meta, open(sys.argv[1], "w"), indent=2)
EOF

for run in $(seq "$runs"); do
    for scenario in "${scenario_list[@]}"; do
        log "run $run/$runs: $scenario"
        record env load1_before "$(cut -d' ' -f1 /proc/loadavg)"
        lab_up
        case $scenario in
            direct) ;;
            haproxy-*) load_rules "$(role_of "$scenario")"; start_haproxy "$(role_of "$scenario")" ;;
            ap-*) load_rules "$(role_of "$scenario")"; start_daemon "$(role_of "$scenario")" ;;
        esac
        measure || log "measurement of $scenario failed"
        if [[ -n $proxy_pid ]]; then
            kill -0 "$proxy_pid" 2>/dev/null && alive=1 || alive=0
            record exit alive "$alive"
            stop_pid "$proxy_pid" TERM
            if [[ $proxy_kind == daemon ]]; then
                record exit status "$stopped_status"
                record exit log_lines "$(cat "$workdir"/daemon/bufferedlog_*.txt 2>/dev/null | wc -l)"
                mkdir -p "$out_dir/logs"
                cat "$workdir"/daemon/output.txt "$workdir"/daemon/bufferedlog_*.txt \
                    >"$out_dir/logs/$scenario-run$run.txt" 2>/dev/null || true
                rm -rf "$workdir/daemon"
            fi
            proxy_pid=""
        fi
        record env load1_after "$(cut -d' ' -f1 /proc/loadavg)"
        lab_down
    done
done

"$python" "$here/report.py" "$out_dir"
