"""Measurements that only concern orv: the first request that has to start
a worker, the daemon's memory with 100 workers, and throughput while
workers are being killed.
"""
import os
import random
import signal
import socket
import statistics
import threading
import time

from . import loadgen, proctree
from .targets import OrvDaemon


def timed_request(port, body, path="/echo/echo", timeout=10.0):
    """Times connect .. end of reply for one request; returns (ms, ok)."""
    request = (f"POST {path} HTTP/1.0\r\nContent-Type: application/json\r\n"
               f"Content-Length: {len(body)}\r\n\r\n").encode() + body
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        chunks = []
        while True:
            data = s.recv(65536)
            if not data:
                break
            chunks.append(data)
    elapsed = (time.perf_counter() - start) * 1000.0
    reply = b"".join(chunks)
    return elapsed, reply.startswith(b"HTTP/1.0 200") and reply.endswith(body)


def _fd_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


def _open_idle(port, count, daemon_pid, timeout=3.0):
    """Opens count idle connections and returns them with how many the
    daemon holds.  They go in batches that fit the daemon's listen backlog,
    each batch waited for until accepted: a burst larger than the backlog
    would have its SYNs dropped and retried a second later, and the first
    connections would reach the daemon's 5-second read deadline before the
    last were open."""
    base = _fd_count(daemon_pid)
    sockets = []
    deadline = time.monotonic() + timeout
    while len(sockets) < count and time.monotonic() < deadline:
        for _ in range(min(64, count - len(sockets))):
            sockets.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        while time.monotonic() < deadline and _fd_count(daemon_pid) < base + len(sockets):
            time.sleep(0.002)
    return sockets, _fd_count(daemon_pid) - base


def _wait_quiet(pid, polls=5, timeout=2.0):
    """Waits until every thread of pid has been asleep for a few polls in a
    row: an accepted descriptor is counted before the daemon has armed the
    connection's reads and deadlines, and the timed request must not queue
    behind that work."""
    quiet = 0
    deadline = time.monotonic() + timeout
    while quiet < polls and time.monotonic() < deadline:
        quiet = quiet + 1 if proctree.asleep(pid) else 0
        time.sleep(0.002)


def cold_start(cfg, registry, body, idle, repeats, log):
    """Starts a fresh daemon per repeat and times its first request (which
    forks and executes the first worker) and then a second one."""
    firsts, seconds, failures, held = [], [], 0, []
    for _ in range(repeats):
        daemon = OrvDaemon(cfg, registry)
        sockets = []
        try:
            daemon.start()
            time.sleep(0.2)  # let the readiness probe's connection close
            if daemon.workers():
                log(f"  note: daemon already had workers before the first request")
            if idle:
                sockets, got = _open_idle(daemon.port, idle, daemon.pid)
                held.append(got)
            before = _fd_count(daemon.pid)
            _wait_quiet(daemon.pid)
            ms, ok = timed_request(daemon.port, body)
            if sockets:
                # The second request is timed with one idle connection fewer:
                # with all of them open it could be the one over the limit
                # while the daemon is still closing the first request's.
                sockets.pop().close()
                deadline = time.monotonic() + 2.0
                while _fd_count(daemon.pid) > before and time.monotonic() < deadline:
                    time.sleep(0.002)
                _wait_quiet(daemon.pid)
            ms2, ok2 = timed_request(daemon.port, body)
            firsts.append(ms)
            seconds.append(ms2)
            failures += (not ok) + (not ok2)
        finally:
            for s in sockets:
                s.close()
            daemon.stop()
    return {"idle": idle, "first_ms": firsts, "second_ms": seconds,
            "failures": failures, "idle_held": held,
            "first_median_ms": statistics.median(firsts) if firsts else float("nan"),
            "first_max_ms": max(firsts) if firsts else float("nan"),
            "second_median_ms": statistics.median(seconds) if seconds else float("nan")}


def hundred_workers(cfg, registry, body, log):
    """Holds 100 slow requests at once so that the daemon runs 100 workers,
    and samples its memory meanwhile."""
    daemon = OrvDaemon(cfg, registry)
    result = {"workers": 0}
    try:
        daemon.start()
        time.sleep(0.3)
        result["idle_daemon_rss"] = proctree.rss_bytes(daemon.pid)
        answers = []

        def client():
            try:
                answers.append(timed_request(daemon.port, body, "/echo/slow",
                                             timeout=cfg.slow_ms / 1000.0 + 20)[1])
            except OSError:
                answers.append(False)

        threads = [threading.Thread(target=client, daemon=True) for _ in range(100)]
        for t in threads:
            t.start()
        deadline = time.monotonic() + cfg.slow_ms / 1000.0 + 20
        best = None
        while any(t.is_alive() for t in threads) and time.monotonic() < deadline:
            workers = len(daemon.workers())
            if best is None or workers > best[0]:
                best = (workers, proctree.rss_bytes(daemon.pid),
                        proctree.tree_rss_bytes([daemon.pid]),
                        proctree.tree_pss_bytes([daemon.pid]))
            if workers >= 100:
                break
            time.sleep(0.05)
        for t in threads:
            t.join(max(0.1, deadline - time.monotonic()))
        if best:
            result.update(workers=best[0], daemon_rss=best[1], tree_rss=best[2],
                          tree_pss=best[3])
        result["answered"] = sum(answers)
        result["ab_ok"] = sum(answers) == 100
    finally:
        daemon.stop()
    return result


class Killer:
    """SIGKILLs one random worker of the daemon every interval seconds,
    until stopped or max_seconds have passed."""

    def __init__(self, daemon_pid, interval=0.1, max_seconds=120):
        self.pid = daemon_pid
        self.interval = interval
        self.max_seconds = max_seconds
        self.kills = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        end = time.monotonic() + self.max_seconds
        while not self._stop.is_set() and time.monotonic() < end:
            workers = proctree.children(self.pid)
            if workers:
                try:
                    os.kill(random.choice(workers), signal.SIGKILL)
                    self.kills += 1
                except ProcessLookupError:
                    pass
            self._stop.wait(self.interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        return False


def kill_restart(cfg, target, body_path, clients, seconds, scratch):
    """ab against the running orv target, first undisturbed, then while a
    worker is killed every 100 ms."""
    base = loadgen.run_ab(target.url, body_path, clients, seconds, scratch)
    with Killer(target.root_pids[0], 0.1, seconds + 30) as killer:
        hit = loadgen.run_ab(target.url, body_path, clients, seconds, scratch)
    time.sleep(0.5)
    workers_after = len(proctree.children(target.root_pids[0]))
    ms, ok = timed_request(target.port, b'{"after":"kills"}')
    return {"baseline": base, "killed": hit, "kills": killer.kills,
            "workers_after": workers_after, "after_ok": ok, "after_ms": ms,
            "seconds": seconds, "clients": clients}
