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

from harness import loadgen, orv_extras, proctree, report  # noqa: E402
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
    cpu0 = proctree.tree_cpu_seconds(roots)
    ctx0 = proctree.tree_ctx_switches(roots)
    with proctree.PeakSampler(roots, 0.1, cfg.duration * 4 + 60) as sampler:
        if gen == "ab":
            r = loadgen.run_ab(target.url, body_path, clients, cfg.duration, cfg.work)
        else:
            n = int(max(clients * 20, estimate * cfg.duration))
            r = loadgen.run_h2load(target.url, body_path, clients, n,
                                   cfg.duration * 3 + 20, cfg.work)
    cpu1 = proctree.tree_cpu_seconds(roots)
    ctx1 = proctree.tree_ctx_switches(roots)
    r["ctx_per_req"] = (ctx1 - ctx0) / r["ok"] if r["ok"] else float("nan")
    r["cpu_us"] = (cpu1 - cpu0) * 1e6 / r["ok"] if r["ok"] else float("nan")
    r["rss"] = sampler.peak
    # PSS shares common pages among the processes that map them; read once
    # at the end of the run because it is costly to collect.
    r["pss"] = proctree.tree_pss_bytes(roots)
    r["processes"] = len(proctree.tree(roots))
    r["gen_cpu_pct"] = 100.0 * r["gen_cpu"] / r["wall"] if r["wall"] else 0.0
    return r


def main():
    cfg = Config()
    registry = Registry(os.path.join(cfg.work, "pids"))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    started = time.time()
    load_before = os.getloadavg()
    notes = []

    names = [n for n in cfg.targets if n in ALL]
    if "orv" in names:
        problem = orv_usable(cfg)
        if problem:
            notes.append(f"orv skipped: {problem}.")
            names.remove("orv")
    targets = {}
    raw = []
    summary = {}
    cold, hundred, kill = [], None, None
    try:
        for name in names:
            log(f"starting {name}...")
            t = ALL[name](cfg, registry)
            try:
                t.start()
                targets[name] = t
            except Exception as e:  # one broken target must not sink the rest
                notes.append(f"{name} skipped: could not start ({e}).")
                log(f"  {name} failed to start: {e}")
                t.stop()
        names = [n for n in names if n in targets]
        display = {n: targets[n].name for n in names}

        points = cfg.points()
        estimates = {}
        for size, clients, gen in points:
            body_path = os.path.join(cfg.work, f"body-{size}.json")
            write_body(body_path, size)
            for name in names:
                if (name, size, clients) not in estimates:
                    w = loadgen.run_ab(targets[name].url, body_path, clients,
                                       cfg.warmup_seconds, cfg.work)
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
                    raw.append({"target": display[name], "size": size, "clients": clients,
                                "gen": gen, "run": run, **r})
            line = []
            for name in names:
                s = report.summarise(per[name])
                summary[((size, clients, gen), display[name])] = s
                line.append(f"{display[name]} {s['rps']:.0f}/s")
            log(f"{size} B, {clients} clients, {gen}: " + ", ".join(line)
                + f" (load average {os.getloadavg()[0]:.1f})")

        if cfg.extras and "orv" in targets:
            body100 = os.path.join(cfg.work, "body-100.json")
            small = write_body(body100, 100)
            log("orv: kill/restart run...")
            kill = orv_extras.kill_restart(cfg, targets["orv"], body100,
                                           max(cfg.clients), cfg.kill_seconds, cfg.work)
            for name in names:  # quiet machine for the latency-sensitive parts
                targets[name].stop()
            targets.clear()
            log("orv: cold starts...")
            for idle in (0, 999):
                cold.append(orv_extras.cold_start(cfg, registry, small, idle,
                                                  cfg.cold_repeats, log))
            log("orv: 100 workers...")
            hundred = orv_extras.hundred_workers(cfg, registry, small, log)
    finally:
        for t in targets.values():
            t.stop()
        registry.stop_all()

    target_order = [n for n in ("orv", "nginx+fcgi", "gunicorn", "ceiling")
                    if any(k[1] == n for k in summary)]
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
             "'*' marks a generator at >= 90 % of one core.", "",
             "## Load generators", report.generator_notes(summary, points, target_order, cfg.gens),
             "", "## Goals", report.goals(summary, cfg.gens, cold, hundred) or "- not checked (orv absent).",
             "", "## orv only", report.extras(cold, hundred, kill) or "- not measured.", ""]
    output = "\n".join(text)
    print(output)
    os.makedirs(cfg.results, exist_ok=True)
    with open(os.path.join(cfg.results, "latest.md"), "w") as f:
        f.write(output)
    with open(os.path.join(cfg.results, "latest.json"), "w") as f:
        json.dump({"runs": raw, "cold": cold, "hundred": hundred, "kill": kill,
                   "notes": notes}, f, indent=1,
                  default=lambda v: None if isinstance(v, float) and math.isnan(v) else str(v))


def commit(repo):
    try:
        return subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "unknown"


if __name__ == "__main__":
    main()
