#!/usr/bin/env bash
# A self-contained demonstration: starts the daemon as a forward proxy on the loopback interface
# with a buffered log, stops it with SIGTERM and shows what it logged.
set -euo pipefail

daemon=$(realpath "${1:?usage: demo.sh <path to access-proxy>}")
workdir=$(mktemp -d /tmp/access-proxy-demo.XXXXXX)
trap 'rm -rf "$workdir"' EXIT

cd "$workdir"
echo "== starting: access-proxy -m buffered -l 2 -f -i lo"
"$daemon" -m buffered -l 2 -f -i lo &
pid=$!
sleep 1
echo "== stopping with SIGTERM"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
echo "== exit status: $status"
echo "== log ($(ls bufferedlog_*.txt)):"
cat bufferedlog_*.txt
