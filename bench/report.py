"""Turns the raw figures of bench/run.sh into the table, summary.tsv and summary.json.

Usage: report.py <results directory>   (reads raw.tsv and meta.json there)

Every figure is computed per run; a ratio compares two scenarios of the same run; the table shows
the median over the valid runs of each scenario (over all runs, marked, when none is valid).
"""

import collections
import json
import os
import statistics
import sys
import textwrap

SCENARIOS = ["direct", "haproxy-rev", "ap-rev", "haproxy-fwd", "ap-fwd"]
SHORT = {"direct": "direct", "haproxy-rev": "hap-rev", "ap-rev": "ap-rev",
         "haproxy-fwd": "hap-fwd", "ap-fwd": "ap-fwd"}
# (subject, reference) pairs whose ratios the table shows.
RATIOS = [("ap-rev", "direct"), ("ap-rev", "haproxy-rev"),
          ("ap-fwd", "direct"), ("ap-fwd", "haproxy-fwd")]
LOADS = ["keepalive", "close", "bulk", "unloaded"]
ERRORS = ["err_connect", "err_read", "err_write", "err_status", "err_timeout"]


def number(value):
    return None if value in ("NA", "") else float(value)


def seconds(test):
    return test["duration_us"] / 1e6


def per(value, amount):
    return None if value is None or not amount else value / amount


def metrics(tests, clock_ticks):
    """The figures of one scenario in one run: name -> value (None where not applicable)."""
    def get(test, key):
        return tests.get(test, {}).get(key)

    def cpu(test):
        ticks = get(test, "cpu_ticks")
        return None if ticks is None else ticks / clock_ticks

    figures = {}
    if "keepalive" in tests:
        ka = tests["keepalive"]
        figures["keepalive_rps"] = ka["requests"] / seconds(ka)
        figures["keepalive_p50_us"] = ka["p50_us"]
        figures["keepalive_p99_us"] = ka["p99_us"]
        figures["cpu_us_per_request"] = per(cpu("keepalive"), ka["requests"] / 1e6)
    if "close" in tests:
        cl = tests["close"]
        figures["new_connections_per_s"] = cl["requests"] / seconds(cl)
        figures["close_p99_us"] = cl["p99_us"]
        figures["cpu_us_per_connection"] = per(cpu("close"), cl["requests"] / 1e6)
    if "bulk" in tests:
        bulk = tests["bulk"]
        figures["bulk_MB_per_s"] = bulk["bytes"] / seconds(bulk) / 1e6
        figures["cpu_s_per_GB"] = per(cpu("bulk"), bulk["bytes"] / 1e9)
    if "unloaded" in tests:
        figures["unloaded_p50_us"] = tests["unloaded"]["p50_us"]
    idle = tests.get("idle", {})
    if idle.get("rss_after_kib") is not None and idle.get("rss_before_kib") is not None:
        figures["idle_KiB_per_pair"] = ((idle["rss_after_kib"] - idle["rss_before_kib"])
                                        / idle["pairs"])
    return figures


def problems(scenario, tests, large_bytes):
    """Why the run of the scenario cannot be trusted; empty when it can."""
    found = []
    proxied = scenario != "direct"
    content = tests.get("content", {})
    if content.get("small_ok") != 1 or content.get("large_ok") != 1:
        found.append("content through the path differs from the server's files")
    for name in LOADS:
        test = tests.get(name)
        if not test or not test.get("requests"):
            found.append(f"{name}: no completed request")
            continue
        requests, conns = test["requests"], test["connections"]
        errors = sum(test.get(key) or 0 for key in ERRORS)
        if errors > max(1, requests // 1000):
            found.append(f"{name}: {errors:.0f} errors in {requests:.0f} requests")
        if (test.get("upstream_requests") or 0) < requests:
            found.append(f"{name}: the server saw {test.get('upstream_requests')} requests, "
                         f"the client completed {requests:.0f}")
        if name == "bulk" and test["bytes"] < requests * large_bytes:
            found.append("bulk: fewer bytes than the files requested")
        if not proxied:
            continue
        # Every measured connection must have been redirected to the proxy's port, and the
        # proxy must have opened its own connection to the server for it.
        expected = requests if name == "close" else conns
        redirected = test.get("redirected") or 0
        if redirected < expected:
            found.append(f"{name}: {redirected:.0f} connections redirected to the proxy, "
                         f"at least {expected:.0f} expected")
        if (test.get("upstream_accepts") or 0) < redirected - conns:
            found.append(f"{name}: the server accepted {test.get('upstream_accepts')} "
                         f"connections for {redirected:.0f} redirected")
        if scenario.startswith("haproxy") and (test.get("sessions") or 0) < expected:
            found.append(f"{name}: HAProxy counted {test.get('sessions')} sessions, "
                         f"at least {expected:.0f} expected")
    if proxied:
        idle = tests.get("idle", {})
        if idle.get("pairs"):
            if idle.get("ready") != 1:
                found.append("idle: the idle connections could not all be opened")
            elif (idle.get("proxy_sockets") or 0) < 2 * idle["pairs"]:
                found.append(f"idle: the proxy held {idle.get('proxy_sockets')} sockets for "
                             f"{idle['pairs']:.0f} pairs")
        ending = tests.get("exit", {})
        if ending.get("alive") != 1:
            found.append("the proxy died during the run")
        if scenario.startswith("ap") and ending.get("status") != 0:
            found.append(f"the daemon's exit status on SIGTERM was {ending.get('status')}")
    return found


# name, heading, format, higher is better
ROWS = [
    ("keepalive_rps", "keep-alive requests/s", "{:.0f}"),
    ("keepalive_p50_us", "keep-alive latency p50 (us)", "{:.0f}"),
    ("keepalive_p99_us", "keep-alive latency p99 (us)", "{:.0f}"),
    ("new_connections_per_s", "new connections/s", "{:.0f}"),
    ("close_p99_us", "new-connection latency p99 (us)", "{:.0f}"),
    ("bulk_MB_per_s", "bulk MB/s (10 MiB, 1 conn)", "{:.0f}"),
    ("unloaded_p50_us", "unloaded latency p50 (us)", "{:.0f}"),
    ("idle_KiB_per_pair", "memory per idle pair (KiB)", "{:.1f}"),
    ("cpu_us_per_request", "proxy CPU per request (us)", "{:.1f}"),
    ("cpu_us_per_connection", "proxy CPU per connection (us)", "{:.1f}"),
    ("cpu_s_per_GB", "proxy CPU per GB (s)", "{:.2f}"),
]


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def main():
    directory = sys.argv[1]
    with open(os.path.join(directory, "meta.json")) as file:
        meta = json.load(file)
    raw = collections.defaultdict(lambda: collections.defaultdict(dict))
    loads = []
    with open(os.path.join(directory, "raw.tsv")) as file:
        next(file)
        for line in file:
            run, scenario, test, key, value = line.rstrip("\n").split("\t")
            raw[(int(run), scenario)][test][key] = number(value)
            if test == "env":
                loads.append(float(value))

    scenarios = [s for s in SCENARIOS if any(sc == s for _, sc in raw)]
    runs = sorted({run for run, _ in raw})
    figures, invalid = {}, {}
    for key, tests in raw.items():
        figures[key] = metrics(tests, meta["clock_ticks"])
        invalid[key] = problems(key[1], tests, meta["large_bytes"])

    def chosen_runs(scenario):
        valid = [r for r in runs if (r, scenario) in raw and not invalid[(r, scenario)]]
        return valid or [r for r in runs if (r, scenario) in raw]

    summary, spread = {}, {}
    for scenario in scenarios:
        used = chosen_runs(scenario)
        summary[scenario], spread[scenario] = {}, {}
        for name, _, _ in ROWS:
            values = [v for r in used if (v := figures[(r, scenario)].get(name)) is not None]
            summary[scenario][name] = median(values)
            spread[scenario][name] = [min(values), max(values)] if values else None
    ratios = {}
    for subject, reference in RATIOS:
        if subject not in scenarios or reference not in scenarios:
            continue
        pairs = [r for r in chosen_runs(subject) if r in chosen_runs(reference)]
        ratios[f"{subject}/{reference}"] = {
            name: median([per(figures[(r, subject)].get(name), figures[(r, reference)].get(name))
                          for r in pairs])
            for name, _, _ in ROWS}

    # The table: one row a figure, one column a scenario, then the ratios.
    headings = [SHORT[s] + ("!" if any(invalid[(r, s)] for r in runs if (r, s) in raw) else "")
                for s in scenarios]
    ratio_names = list(ratios)
    ratio_headings = [f"{SHORT[a].split('-')[1]}/{SHORT[b].split('-')[0]}"
                      for a, b in (name.split("/") for name in ratio_names)]
    table = [["figure (median of %d run%s)" % (len(runs), "s" * (len(runs) != 1))]
             + headings + ratio_headings]
    for name, heading, form in ROWS:
        row = [heading]
        for scenario in scenarios:
            value = summary[scenario][name]
            row.append("-" if value is None else form.format(value))
        for ratio in ratio_names:
            value = ratios[ratio][name]
            row.append("-" if value is None else f"{value:.2f}")
        table.append(row)
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    lines = []
    for index, row in enumerate(table):
        lines.append("  ".join(cell.ljust(widths[0]) if i == 0 else cell.rjust(widths[i])
                               for i, cell in enumerate(row)))
        if index == 0:
            lines.append("-" * len(lines[0]))
    notes = [
        "Ratios: rev/ is ap-rev and fwd/ is ap-fwd, divided by direct or by HAProxy in the same "
        "role (hap); per run, then the median. Latency, memory and CPU: lower is better.",
        f"access-proxy {meta['daemon_options']} (-r on ap1, -f on ap0), sources of "
        f"{meta['source_commit']}. {meta['runs']} run(s) of {meta['duration_s']} s loads after "
        f"{meta['warmup_s']} s warm-up, {meta['connections']} connections, "
        f"{meta['idle_pairs']} idle pairs; load generator on CPU {meta['client_cpu']}, servers "
        f"on CPU {meta['server_cpu']}.",
    ]
    if loads:
        notes.append(f"1-minute load average during the run: {min(loads):.2f} to "
                     f"{max(loads):.2f} on {meta['cpus']} CPUs (at the start "
                     f"{meta['loadavg_start']}).")
    lines.append("")
    for note in notes:
        lines.extend(textwrap.wrap(note, 100))
    bad = [(r, s, p) for (r, s), p in sorted(invalid.items()) if p]
    if bad:
        lines.append("")
        lines.append("INVALID runs (marked ! above; left out of the medians while a valid run "
                     "of the scenario exists):")
        for run, scenario, found in bad:
            for problem in found:
                lines.append(f"  INVALID run {run} {scenario}: {problem}")
    else:
        lines.append("Every run valid: all traffic went through the proxy under test.")
    text = "\n".join(lines) + "\n"
    print(text, end="")

    with open(os.path.join(directory, "table.txt"), "w") as file:
        file.write(text)
    with open(os.path.join(directory, "summary.tsv"), "w") as file:
        file.write("figure\t" + "\t".join(scenarios + ratio_names) + "\n")
        for name, _, _ in ROWS:
            cells = [summary[s][name] for s in scenarios] + [ratios[r][name] for r in ratio_names]
            file.write(name + "\t" + "\t".join("NA" if v is None else f"{v:.6g}" for v in cells)
                       + "\n")
    with open(os.path.join(directory, "summary.json"), "w") as file:
        json.dump({"meta": meta, "medians": summary, "spread": spread, "ratios": ratios,
                   "runs": {f"{s}/{r}": {"figures": figures[(r, s)], "invalid": invalid[(r, s)]}
                            for r, s in sorted(raw)},
                   "loadavg_1min": {"min": min(loads, default=None),
                                    "max": max(loads, default=None)}},
                  file, indent=2)


if __name__ == "__main__":
    main()
