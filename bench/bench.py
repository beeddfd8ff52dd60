#!/usr/bin/python3
"""Runs the whole comparison and prints one table.  Started by run.sh,
which prepares the work directory, the binaries and the environment."""
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import burst, loadgen, orv_extras, procs, proctree, report  # noqa: E402
from harness.config import Config  # noqa: E402
from harness.procs import Registry  # noqa: E402
from harness.targets import ALL  # noqa: E402


def log(message):
    print(message, file=sys.stderr, flush=True)


def write_body(path, size):
    """A JSON document of exactly size bytes."""
    text = '{"data":"' + "x" * (size - 11) + '"}'
    with open(path, "w") as f:
        f.write(text)
    return text.encode()


def orv_usable(cfg):
    if not cfg.orv_bin or not os.access(cfg.orv_bin, os.X_OK):
        return f"orv binary not found at {cfg.orv_bin or '(unset)'}"
    snapshot = os.path.join(cfg.work, "orv-task-service")
    # Others may rebuild the binary during the run; measure one fixed copy.
    shutil.copy2(cfg.orv_bin, snapshot)
    cfg.orv_bin = snapshot
    return None


def measure(target, size, clients, gen, body_path, estimate, cfg):
    roots = target.roots()
    keep_alive = target.keep_alive
    cpu0 = proctree.tree_cpu_seconds(roots)
    ctx0 = proctree.tree_ctx_switches(roots)
    opens0 = loadgen.tcp_passive_opens()
    with proctree.PeakSampler(roots, 0.1, cfg.duration * 4 + 60) as sampler:
        if gen == "ab":
            r = loadgen.run_ab(target.url, body_path, clients, cfg.duration, cfg.work,
                               keep_alive)
        else:
            n = int(max(clients * 20, estimate * cfg.duration))
            r = loadgen.run_h2load(target.url, body_path, clients, n,
                                   cfg.duration * 3 + 20, cfg.work, keep_alive)
    cpu1 = proctree.tree_cpu_seconds(roots)
    ctx1 = proctree.tree_ctx_switches(roots)
    r["connections"] = loadgen.tcp_passive_opens() - opens0
    r["ctx_per_req"] = (ctx1 - ctx0) / r["ok"] if r["ok"] else float("nan")
    r["cpu_us"] = (cpu1 - cpu0) * 1e6 / r["ok"] if r["ok"] else float("nan")
    r["rss"] = sampler.peak
    # PSS shares common pages among the processes that map them; read once
    # at the end of the run because it is costly to collect.
    r["pss"] = proctree.tree_pss_bytes(roots)
    r["processes"] = len(proctree.tree(roots))
    r["gen_cpu_pct"] = 100.0 * r["gen_cpu"] / r["wall"] if r["wall"] else 0.0
    return r


def start_targets(names, cfg, registry, keep_alive, notes):
    targets = {}
    label = " (keep-alive)" if keep_alive else ""
    for name in names:
        log(f"starting {name}{label}...")
        t = ALL[name](cfg, registry, keep_alive)
        try:
            t.start()
            targets[name] = t
        except Exception as e:  # one broken target must not sink the rest
            notes.append(f"{name}{label} skipped: could not start ({e}).")
            log(f"  {name}{label} failed to start: {e}")
            t.stop()
    return targets


def run_points(section, targets, cfg, raw, points=None):
    """Every point of the run (or the points given) for the given started
    targets, which take turns within each run; returns the medians keyed by
    (point, name)."""
    names = list(targets)
    display = {n: targets[n].name for n in names}
    keep_alive = section == "keep-alive"
    summary = {}
    estimates = {}
    for size, clients, gen in points or cfg.points():
        body_path = os.path.join(cfg.work, f"body-{size}.json")
        write_body(body_path, size)
        for name in names:
            if (name, size, clients) not in estimates:
                w = loadgen.run_ab(targets[name].url, body_path, clients,
                                   cfg.warmup_seconds, cfg.work, keep_alive)
                estimates[(name, size, clients)] = w["rps"]
        per = {n: [] for n in names}
        for run in range(cfg.runs):
            order = names[run % len(names):] + names[:run % len(names)]
            for name in order:
                r = measure(targets[name], size, clients, gen, body_path,
                            estimates[(name, size, clients)], cfg)
                if gen == "ab" and r["rps"] > 0:
                    estimates[(name, size, clients)] = r["rps"]
                per[name].append(r)
                raw.append({"section": section, "target": display[name], "size": size,
                            "clients": clients, "gen": gen, "run": run, **r})
        line = []
        for name in names:
            s = report.summarise(per[name])
            summary[((size, clients, gen), display[name])] = s
            line.append(f"{display[name]} {s['rps']:.0f}/s")
        log(f"{section}: {size} B, {clients} clients, {gen}: " + ", ".join(line)
            + f" (load average {os.getloadavg()[0]:.1f})")
    return summary


def stop_targets(targets):
    for t in targets.values():
        t.stop()
    targets.clear()


def main():
    cfg = Config()
    registry = Registry(os.path.join(cfg.work, "pids"))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    started = time.time()
    load_before = os.getloadavg()
    notes = []

    names = [n for n in cfg.targets if n in ALL]
    ka_names = [n for n in cfg.ka_targets if n in ALL]
    if "orv" in names or "orv" in ka_names or "nginx-orv" in ka_names:
        problem = orv_usable(cfg)
        if problem:
            notes.append(f"orv skipped: {problem}.")
            names = [n for n in names if n != "orv"]
            ka_names = [n for n in ka_names if n not in ("orv", "nginx-orv")]
    targets = {}
    raw = []
    summary, ka_summary, pinned = {}, {}, {}
    cold, hundred, kill, bursts = [], None, None, []
    try:
        targets = start_targets(names, cfg, registry, False, notes)
        orv_started = "orv" in targets
        summary = run_points("close", targets, cfg, raw)
        if cfg.extras and orv_started:
            body100 = os.path.join(cfg.work, "body-100.json")
            write_body(body100, 100)
            log("orv: kill/restart run...")
            kill = orv_extras.kill_restart(cfg, targets["orv"], body100,
                                           max(cfg.clients), cfg.kill_seconds, cfg.work)
        stop_targets(targets)

        pinned = pinned_row(cfg, registry, names, notes, raw)

        if ka_names:
            targets = start_targets(ka_names, cfg, registry, True, notes)
            ka_summary = run_points("keep-alive", targets, cfg, raw)
            stop_targets(targets)

        if cfg.extras and orv_started:
            small = write_body(os.path.join(cfg.work, "body-100.json"), 100)
            log("orv: cold starts...")  # on a quiet machine: every target is stopped
            for idle in (0, 999):
                cold.append(orv_extras.cold_start(cfg, registry, small, idle,
                                                  cfg.cold_repeats, log))
            log("orv: 100 workers...")
            hundred = orv_extras.hundred_workers(cfg, registry, small, log)
            if "nginx" in names:
                log("orv: burst...")
                bursts = burst.burst(cfg, registry, os.path.join(cfg.work, "body-100.json"), log)
    finally:
        stop_targets(targets)
        registry.stop_all()

    target_order = [n for n in ("orv", "nginx+fcgi", "gunicorn", "ceiling")
                    if any(k[1] == n for k in summary)]
    ka_order = [n for n in ("orv", "nginx+fcgi", "gunicorn", "ceiling")
                if any(k[1] == n for k in ka_summary)]
    unix_order = [n for n in ("nginx+orv", "nginx+fcgi") if any(k[1] == n for k in ka_summary)]
    if "nginx+orv" not in unix_order:
        unix_order = []
    ka_all = ka_order + [n for n in unix_order if n not in ka_order]
    points = cfg.points()
    head = commit(cfg.repo)
    text = [f"# orv benchmark, {time.strftime('%Y-%m-%d %H:%M:%S')}",
            "",
            f"commit {head}; {os.cpu_count()} CPUs; load average before "
            f"{load_before[0]:.2f}, after {os.getloadavg()[0]:.2f}; "
            f"{cfg.runs} runs x {cfg.duration} s per point, medians; "
            f"ceiling threads {cfg.ceiling_threads}; took {time.time() - started:.0f} s"
            f"{'; QUICK mode' if cfg.quick else ''}.",
            ""]
    for n in notes:
        text.append(f"Note: {n}")
    if notes:
        text.append("")
    text += [report.table(summary, points, target_order), "",
             "Ratios are target ÷ orv at the same point of the same run; "
             "'*' marks a generator at >= 90 % of one core.", ""]
    if ka_summary:
        text += ["## Persistent connections",
                 "ab -k and h2load --h1 without \"Connection: close\"; every server keeps "
                 "its connections open (orv with --keep-alive 30).", "",
                 report.table(ka_summary, points, ka_order), ""]
    if unix_order:
        text += ["## nginx in front, over a UNIX socket",
                 "Measured in the same runs as the table above: nginx+orv is nginx with "
                 "client keep-alive in front of orv --listen unix:PATH --keep-alive 30, "
                 "nginx+fcgi the row of the same name above. Ratios are ÷ nginx+orv.", "",
                 report.table(ka_summary, points, unix_order, base="nginx+orv"), ""]
    if pinned:
        text += ["## One core for the servers",
                 f"{_pinned_name(cfg)}: the servers (daemon and workers; nginx and its FastCGI "
                 "processes) on CPU 0 and the load generator on CPU 1, beside the same point "
                 "unpinned (both share every CPU) from the first table.", "",
                 report.scaling(summary, pinned, pinned_point(cfg)), ""]
    text += ["## Load generators", report.generator_notes(summary, points, target_order, cfg.gens)]
    if ka_summary:
        text.append(report.generator_notes(ka_summary, points, ka_all,
                                           cfg.gens, " (keep-alive)"))
    text += ["", "## Goals", report.goals(summary, cfg.gens, cold, hundred) or "- not checked (orv absent).", ""]
    if ka_summary:
        text += ["## Goals with persistent connections",
                 report.keep_alive_goals(ka_summary) or "- not checked (orv absent).", "",
                 "## Connection reuse", report.reuse(ka_summary, points, ka_all), ""]
    if bursts:
        text += ["## More clients than workers", burst.table(bursts), ""]
    text += ["## orv only", report.extras(cold, hundred, kill) or "- not measured.", ""]
    output = "\n".join(text)
    print(output)
    os.makedirs(cfg.results, exist_ok=True)
    with open(os.path.join(cfg.results, "latest.md"), "w") as f:
        f.write(output)
    with open(os.path.join(cfg.results, "latest.json"), "w") as f:
        json.dump({"runs": raw, "cold": cold, "hundred": hundred, "kill": kill,
                   "burst": bursts, "notes": notes}, f, indent=1,
                  default=lambda v: None if isinstance(v, float) and math.isnan(v) else str(v))


PINNED_TARGETS = ("orv", "nginx")


def pinned_point(cfg):
    return (100, max(cfg.clients), "ab")


def _pinned_name(cfg):
    size, clients, gen = pinned_point(cfg)
    return f"{gen}, {size} B, {clients} clients"


def pinned_row(cfg, registry, names, notes, raw):
    """The headline point again with the servers pinned to one CPU and the
    load generator to another; skipped on a machine with one CPU."""
    if len(os.sched_getaffinity(0)) < 2 or os.environ.get("PINNED", "1") != "1":
        return {}
    chosen = [n for n in names if n in PINNED_TARGETS]
    procs.pin({0}, {1})
    targets = {}
    try:
        targets = start_targets(chosen, cfg, registry, False, notes)
        return run_points("pinned", targets, cfg, raw, [pinned_point(cfg)])
    finally:
        stop_targets(targets)
        procs.pin(None, None)


def commit(repo):
    try:
        return subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "unknown"


if __name__ == "__main__":
    main()
