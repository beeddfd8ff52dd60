"""More clients than workers: 20 ab clients against 10 backends that each
take BURST_MS per request.

orv with --max-workers 10 answers a request that finds every worker busy
with 503 at once; with --queue the request waits for the next free worker.
nginx+fcgi with 10 FastCGI processes queues at its backend socket.  The
rows show whether anything fails, what the wait costs at p99, and the
throughput (10 backends x 1000 / BURST_MS is the most any of them can do).
"""
import os
import statistics

from . import loadgen
from .targets import NginxFastcgi, OrvDaemon

CLIENTS = 20
WORKERS = 10
QUEUE = ["--queue", "100", "--queue-timeout", "1000"]


class _OrvBurst:
    def __init__(self, cfg, registry, label, options, slow_ms):
        self.label = label
        self.daemon = OrvDaemon(cfg, registry, slow_ms=slow_ms,
                                options=["--max-workers", str(WORKERS)] + options)

    @property
    def url(self):
        return f"http://127.0.0.1:{self.daemon.port}/echo/slow"

    def start(self):
        self.daemon.start()

    def stop(self):
        self.daemon.stop()


class _NginxBurst(NginxFastcgi):
    label = "nginx+fcgi (10 backends)"

    def __init__(self, cfg, registry, slow_ms):
        super().__init__(cfg, registry)
        self.slow_ms = slow_ms

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/echo/slow"


def burst(cfg, registry, body_path, log):
    """Returns one row per set-up: name, req/s, p99 ms and failed requests
    (medians of cfg.runs runs of cfg.duration seconds, set-ups interleaved)."""
    slow_ms = int(os.environ.get("BURST_MS", "2"))
    setups = [_OrvBurst(cfg, registry, "orv --max-workers 10", [], slow_ms),
              _OrvBurst(cfg, registry, "orv --max-workers 10 --queue 100 --queue-timeout 1000",
                        QUEUE, slow_ms),
              _NginxBurst(cfg, registry, slow_ms)]
    runs = {s.label: [] for s in setups}
    try:
        for s in setups:
            s.start()
        for _ in range(cfg.runs):
            for s in setups:
                runs[s.label].append(loadgen.run_ab(s.url, body_path, CLIENTS, cfg.duration, cfg.work))
    finally:
        for s in setups:
            s.stop()
    rows = []
    for name, rs in runs.items():
        rows.append({"name": name, "slow_ms": slow_ms,
                     "rps": statistics.median(r["rps"] for r in rs),
                     "p99_ms": statistics.median(r["p99_ms"] for r in rs),
                     "failures": statistics.median(r["failures"] for r in rs)})
        log(f"burst: {name}: {rows[-1]['rps']:.0f}/s, p99 {rows[-1]['p99_ms']:.1f} ms, "
            f"{rows[-1]['failures']:.0f} failed")
    return rows


def table(rows):
    if not rows:
        return ""
    lines = [f"{CLIENTS} ab clients, {WORKERS} backends, each request {rows[0]['slow_ms']} ms of "
             "work; medians; failed counts non-2xx replies and connection errors.", "",
             "| set-up | req/s | p99 ms | failed |", "|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['name']} | {r['rps']:.0f} | {r['p99_ms']:.1f} | {r['failures']:.0f} |")
    queued, nginx = rows[1], rows[2]
    lines += ["", f"- {'PASS' if queued['failures'] == 0 else 'FAIL'}: no failed request with the "
              f"queue ({queued['failures']:.0f}).",
              f"- {'PASS' if queued['p99_ms'] <= nginx['p99_ms'] else 'FAIL'}: p99 with the queue "
              f"{queued['p99_ms']:.1f} ms <= nginx+fcgi's {nginx['p99_ms']:.1f} ms."]
    return "\n".join(lines)
