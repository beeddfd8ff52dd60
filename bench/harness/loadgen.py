"""The two load generators: ApacheBench and h2load --h1.

Both send HTTP POST with a JSON body.  By default they open one TCP
connection per request (ab speaks HTTP/1.0 without keep-alive; h2load sends
"Connection: close", and the server closes after each reply).  With
keep_alive they hold their connections open: ab -k asks for it with HTTP/1.0
and "Connection: Keep-Alive", h2load sends plain HTTP/1.1 requests.  Every
run is bounded in count and in time and is killed by pid if it overruns.

Each run returns a dict: ok (successful replies), failures, rps (successful
replies per second of the run), p50_ms, p99_ms, gen_cpu (CPU seconds the
generator used), wall (seconds); ab also ka_replies (replies it saw as
keep-alive, None without -k).
"""
import os
import re
import signal
import subprocess
import time

from . import procs


def _run_bounded(argv, out_path, limit):
    """Runs argv with stdout to out_path; kills it by pid after limit seconds.
    Returns (exit status, generator CPU seconds, wall seconds)."""
    start = time.monotonic()
    with open(out_path, "wb") as out:
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT,
                                preexec_fn=procs.loadgen_affinity())
    status = None
    usage = None
    deadline = start + limit
    while status is None:
        pid, raw, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            status = os.waitstatus_to_exitcode(raw)
            break
        if time.monotonic() > deadline:
            os.kill(proc.pid, signal.SIGKILL)
            _, raw, usage = os.wait4(proc.pid, 0)
            status = -signal.SIGKILL
            break
        time.sleep(0.02)
    proc.returncode = status  # already reaped by wait4
    wall = time.monotonic() - start
    return status, usage.ru_utime + usage.ru_stime, wall


def tcp_passive_opens():
    """TCP connections accepted on this machine so far (all ports, all
    users): the difference over a run is an upper bound of the connections
    the generator opened."""
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Tcp:")]
    return int(rows[1][rows[0].index("PassiveOpens")])


def _percentile(sorted_values, q):
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def run_ab(url, body_path, clients, seconds, scratch, keep_alive=False):
    """ab for a whole number of seconds (ab's -t takes whole seconds)."""
    csv = os.path.join(scratch, "ab.csv")
    out = os.path.join(scratch, "ab.out")
    if os.path.exists(csv):
        os.unlink(csv)
    seconds = max(1, int(round(seconds)))
    # -n bounds the request count (and ab's statistics array); -t the time.
    argv = (["ab", "-q", "-r", "-s", "10"] + (["-k"] if keep_alive else [])
            + ["-t", str(seconds), "-n", str(60000 * seconds), "-c", str(clients),
               "-p", body_path, "-T", "application/json", "-e", csv, url])
    status, cpu, wall = _run_bounded(argv, out, seconds + 30)
    with open(out, errors="replace") as f:
        text = f.read()

    def number(pattern, default=0.0):
        m = re.search(pattern, text)
        return float(m.group(1)) if m else default

    complete = number(r"Complete requests:\s+(\d+)")
    taken = number(r"Time taken for tests:\s+([\d.]+)", wall)
    non2xx = number(r"Non-2xx responses:\s+(\d+)")
    m = re.search(r"\(Connect: (\d+), Receive: (\d+), Length: (\d+), Exceptions: (\d+)\)", text)
    errors = int(m.group(1)) + int(m.group(2)) + int(m.group(4)) if m else 0
    failures = int(non2xx) + errors
    p50 = p99 = float("nan")
    if os.path.exists(csv):
        with open(csv) as f:
            rows = dict(line.strip().split(",", 1) for line in f if line[0].isdigit())
        p50 = float(rows.get("50", "nan"))
        p99 = float(rows.get("99", "nan"))
    ok = max(0, int(complete) - int(non2xx))
    if status != 0 and complete == 0:
        failures = max(failures, 1)
    # ab counts a reply as keep-alive when its head says so; the last one
    # before the server closes a connection does not.
    ka = int(number(r"Keep-Alive requests:\s+(\d+)")) if keep_alive else None
    return {"ok": ok, "failures": failures, "rps": ok / taken if taken > 0 else 0.0,
            "p50_ms": p50, "p99_ms": p99, "gen_cpu": cpu, "wall": wall,
            "status": status, "ka_replies": ka}


def run_h2load(url, body_path, clients, requests, time_limit, scratch, keep_alive=False):
    """h2load --h1 for a fixed request count (its timed mode does not end
    when the server closes every connection), killed after time_limit."""
    log = os.path.join(scratch, "h2load.log")
    out = os.path.join(scratch, "h2load.out")
    if os.path.exists(log):
        os.unlink(log)
    requests = max(requests, clients)
    argv = (["h2load", "--h1", "-n", str(requests), "-c", str(clients), "-t", "1",
            "-d", body_path, "-H", "Content-Type: application/json"]
            + ([] if keep_alive else ["-H", "Connection: close"])
            + ["--log-file", log, url])
    status, cpu, wall = _run_bounded(argv, out, time_limit)
    with open(out, errors="replace") as f:
        text = f.read()
    durations = []
    ok = 0
    last_end = first_start = None
    if os.path.exists(log):
        with open(log) as f:
            for line in f:
                parts = line.split()
                if len(parts) < 3:
                    continue
                start_us, code, dur_us = int(parts[0]), int(parts[1]), int(parts[2])
                if 200 <= code < 300:
                    ok += 1
                    durations.append(dur_us / 1000.0)
                first_start = start_us if first_start is None else min(first_start, start_us)
                end = start_us + dur_us
                last_end = end if last_end is None else max(last_end, end)
    m = re.search(r"finished in ([\d.]+)(us|ms|s)", text)
    if m:
        scale = {"us": 1e-6, "ms": 1e-3, "s": 1.0}[m.group(2)]
        taken = float(m.group(1)) * scale
    elif first_start is not None:
        taken = (last_end - first_start) / 1e6
    else:
        taken = wall
    durations.sort()
    return {"ok": ok, "failures": requests - ok, "rps": ok / taken if taken > 0 else 0.0,
            "p50_ms": _percentile(durations, 0.50), "p99_ms": _percentile(durations, 0.99),
            "gen_cpu": cpu, "wall": wall, "status": status}
