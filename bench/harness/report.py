"""Turns the raw runs into the one comparison table and its notes."""
import math
import statistics

SATURATED = 90.0  # generator CPU %, of one core, counted as saturated


def _median(values):
    values = [v for v in values if v is not None and not math.isnan(v)]
    return statistics.median(values) if values else float("nan")


def summarise(runs):
    """runs: list of per-run dicts of one target at one point."""
    return {
        "rps": _median([r["rps"] for r in runs]),
        "p50_ms": _median([r["p50_ms"] for r in runs]),
        "p99_ms": _median([r["p99_ms"] for r in runs]),
        "failures": sum(r["failures"] for r in runs),
        "cpu_us": _median([r["cpu_us"] for r in runs]),
        "ctx": _median([r["ctx_per_req"] for r in runs]),
        "rss": max(r["rss"] for r in runs),
        "pss": max(r["pss"] for r in runs),
        "processes": max(r.get("processes", 0) for r in runs),
        "gen_cpu_pct": _median([r["gen_cpu_pct"] for r in runs]),
        "gen_us": _median([r["gen_cpu"] * 1e6 / r["ok"] if r["ok"] else float("nan")
                           for r in runs]),
        "runs": len(runs),
        # Connection reuse: per run, TCP connections opened on the machine
        # and replies; with ab -k also the replies ab saw as keep-alive.
        "reuse": [(r.get("connections"), r["ok"], r.get("ka_replies")) for r in runs],
    }


def _f(value, digits=1):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    return f"{value:.{digits}f}"


def _ratio(a, b):
    if a is None or b is None or math.isnan(a) or math.isnan(b) or b == 0:
        return "n/a"
    return f"{a / b:.2f}"


def _size(n):
    return f"{n // 1024} KiB" if n >= 1024 and n % 1024 == 0 else f"{n} B"


def table(summary, points, targets, base="orv"):
    """One row per point and target; the ratio columns divide by the base
    target's figures at the same point."""
    lines = ["| body | clients | gen | target | req/s | p50 ms | p99 ms | failures "
             f"| CPU µs/req | ctx sw/req | peak RSS MiB | PSS MiB | gen CPU % | req/s ÷ {base} "
             f"| p99 ÷ {base} | CPU ÷ {base} |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for point in points:
        orv = summary.get((point, base))
        for name in targets:
            s = summary.get((point, name))
            if s is None:
                continue
            size, clients, gen = point
            gen_pct = _f(s["gen_cpu_pct"], 0) + (" *" if s["gen_cpu_pct"] >= SATURATED else "")
            lines.append(
                f"| {_size(size)} | {clients} | {gen} | {name} | {s['rps']:.0f} "
                f"| {_f(s['p50_ms'], 2)} | {_f(s['p99_ms'], 2)} | {s['failures']} "
                f"| {_f(s['cpu_us'])} | {_f(s['ctx'])} | {_f(s['rss'] / 1048576)} | {_f(s['pss'] / 1048576)} | {gen_pct} "
                f"| {_ratio(s['rps'], orv['rps']) if orv else 'n/a'} "
                f"| {_ratio(s['p99_ms'], orv['p99_ms']) if orv else 'n/a'} "
                f"| {_ratio(s['cpu_us'], orv['cpu_us']) if orv else 'n/a'} |")
    return "\n".join(lines)


def generator_notes(summary, points, targets, gens, label=""):
    lines = []
    for gen in gens:
        pcts = [summary[(p, t)]["gen_cpu_pct"] for p in points for t in targets
                if p[2] == gen and (p, t) in summary]
        if not pcts:
            continue
        hot = [f"{t} {_size(p[0])}/{p[1]}c" for p in points for t in targets
               if p[2] == gen and (p, t) in summary
               and summary[(p, t)]["gen_cpu_pct"] >= SATURATED]
        verdict = (f"saturates its core on {len(hot)} of {len(pcts)} rows"
                   + (f" ({', '.join(hot[:6])}{', ...' if len(hot) > 6 else ''})" if hot else ""))
        per_req = [summary[(p, t)]["gen_us"] for p in points for t in targets
                   if p[2] == gen and (p, t) in summary and p[0] == 100]
        lines.append(f"- {gen}{label}: CPU median {_f(_median(pcts), 0)} %, max {_f(max(pcts), 0)} % "
                     f"of one core, median {_f(_median(per_req))} µs of its own CPU per "
                     f"100-byte request; {verdict}.")
    return "\n".join(lines)


def goals(summary, gens, cold, hundred=None):
    """The targets against nginx+fcgi, checked on every row where both ran:
    req/s at least 1.0x (1.3x at 100 bytes and 10 or more clients), CPU per
    request no higher, context switches per request at most one more, p99 at
    the highest client count no worse; and orv's own limits: a first request
    within 5 ms, the daemon's RSS with 100 workers within 16 MiB, the tree's
    PSS within 20 MiB where it has at most 10 workers."""
    lines = []
    points = sorted({k[0] for k in summary})
    top = {gen: max((p[1] for p in points if p[2] == gen), default=0) for gen in gens}
    for p in points:
        orv, other = summary.get((p, "orv")), summary.get((p, "nginx+fcgi"))
        if not orv or not other:
            continue
        size, clients, gen = p
        name = f"{gen}, {'100 B' if size == 100 else f'{size // 1024} KiB'}, {clients} clients"

        def check(label, ok, detail):
            lines.append(f"- {name}: {label}: {'PASS' if ok else 'FAIL'} ({detail})")

        factor = 1.3 if size == 100 and clients >= 10 else 1.0
        check(f"req/s >= {factor}x nginx+fcgi", orv["rps"] >= factor * other["rps"],
              f"{orv['rps']:.0f} vs {other['rps']:.0f} = {orv['rps'] / other['rps']:.2f}x")
        check("CPU/req <= nginx+fcgi's", orv["cpu_us"] <= other["cpu_us"],
              f"{_f(orv['cpu_us'])} vs {_f(other['cpu_us'])} µs")
        check("ctx sw/req <= nginx+fcgi's + 1", orv["ctx"] <= other["ctx"] + 1,
              f"{_f(orv['ctx'])} vs {_f(other['ctx'])}")
        if clients == top.get(gen):
            check("p99 <= nginx+fcgi's", orv["p99_ms"] <= other["p99_ms"],
                  f"{_f(orv['p99_ms'], 2)} vs {_f(other['p99_ms'], 2)} ms")
        # The memory goal is for the daemon with up to 10 workers; more
        # clients keep more workers, and each adds its own pages.
        workers = orv["processes"] - 1
        if workers <= 10:
            check("PSS <= 20 MiB", orv["pss"] / 1048576 <= 20,
                  f"{_f(orv['pss'] / 1048576)} MiB, daemon and {workers} workers")
    for c in cold:
        lines.append(f"- first request that starts a worker, {c['idle']} idle connections: "
                     f"{'PASS' if c['first_max_ms'] <= 5.0 and not c['failures'] else 'FAIL'} "
                     f"(median {_f(c['first_median_ms'], 2)} ms, worst {_f(c['first_max_ms'], 2)} ms, "
                     f"limit 5 ms)")
    if hundred and "daemon_rss" in hundred:
        rss = hundred["daemon_rss"] / 1048576
        lines.append(f"- daemon RSS with 100 workers <= 16 MiB: {'PASS' if rss <= 16 else 'FAIL'} "
                     f"({_f(rss)} MiB)")
    return "\n".join(lines)


KA_FACTOR_NGINX = 1.3   # orv over nginx+fcgi, 10 and more clients
KA_FACTOR_CEILING = 0.5  # orv over the ceiling, every row


def _name(point):
    size, clients, gen = point
    return f"{gen}, {_size(size)}, {clients} clients"


def keep_alive_goals(summary):
    """Goals of later work for the persistent-connection table: orv at
    least 1.3x nginx+fcgi in req/s at 10 and more clients, and at least
    0.5x the ceiling on every row.  A FAIL is reported, never fatal."""
    lines = []
    for p in sorted({k[0] for k in summary}):
        orv = summary.get((p, "orv"))
        if not orv:
            continue
        for peer, factor, applies in (("nginx+fcgi", KA_FACTOR_NGINX, p[1] >= 10),
                                      ("ceiling", KA_FACTOR_CEILING, True)):
            other = summary.get((p, peer))
            if not other or not applies or not other["rps"]:
                continue
            ratio = orv["rps"] / other["rps"]
            lines.append(f"- {_name(p)}: req/s >= {factor}x {peer}: "
                         f"{'PASS' if ratio >= factor else 'FAIL'} "
                         f"({orv['rps']:.0f} vs {other['rps']:.0f} = {ratio:.2f}x)")
    return "\n".join(lines)


def scaling(unpinned, pinned, point):
    """req/s of orv and nginx+fcgi at one point with every CPU shared and
    with the servers on one CPU, and the goals: orv's unpinned/pinned
    ratio at least nginx's, orv pinned at least nginx pinned."""
    rows = ["| target | unpinned req/s | pinned req/s | unpinned/pinned | pinned CPU µs/req "
            "| pinned ctx sw/req |", "|---|---|---|---|---|---|"]
    ratios = {}
    for name in ("orv", "nginx+fcgi"):
        a, b = unpinned.get((point, name)), pinned.get((point, name))
        if not a or not b or not b["rps"]:
            continue
        ratios[name] = a["rps"] / b["rps"]
        rows.append(f"| {name} | {a['rps']:.0f} | {b['rps']:.0f} | {ratios[name]:.2f} "
                    f"| {_f(b['cpu_us'])} | {_f(b['ctx'])} |")
    if len(ratios) == 2:
        orv, other = pinned[(point, "orv")], pinned[(point, "nginx+fcgi")]
        rows += ["", f"- unpinned/pinned ratio >= nginx+fcgi's: "
                 f"{'PASS' if ratios['orv'] >= ratios['nginx+fcgi'] else 'FAIL'} "
                 f"({ratios['orv']:.2f} vs {ratios['nginx+fcgi']:.2f})",
                 f"- pinned req/s >= 1.0x nginx+fcgi pinned: "
                 f"{'PASS' if orv['rps'] >= other['rps'] else 'FAIL'} "
                 f"({orv['rps']:.0f} vs {other['rps']:.0f} = {orv['rps'] / other['rps']:.2f}x)"]
    return "\n".join(rows)


def reused(connections, ok, clients):
    """Whether a run's connections carried many requests each: every client
    opens one, and a server that closes after 1000 requests on a connection
    makes it open another.  The count is machine-wide, so a little slack."""
    return connections is not None and connections <= 2 * clients + ok / 500 + 10


def reuse(summary, points, targets):
    """One line per target of the persistent-connection rows: whether every
    run reused its connections, the most connections a run opened, the
    fewest replies per connection, and what ab -k counted as keep-alive."""
    lines = []
    for name in targets:
        rows = [(p, summary[(p, name)]) for p in points if (p, name) in summary]
        if not rows:
            continue
        bad, most, fewest, ab_ok, ab_ka = [], 0, None, 0, 0
        for p, s in rows:
            for connections, ok, ka in s["reuse"]:
                if not reused(connections, ok, p[1]):
                    bad.append(f"{_name(p)}: {connections} connections for {ok} replies")
                if connections is not None:
                    most = max(most, connections)
                    if connections:
                        per = ok / connections
                        fewest = per if fewest is None else min(fewest, per)
                if ka is not None:
                    ab_ok += ok
                    ab_ka += ka
        verdict = "PASS" if not bad else "FAIL (" + "; ".join(bad[:3]) + ")"
        lines.append(f"- {name}: {verdict}; at most {most} TCP connections opened in a run, "
                     f"at least {_f(fewest, 0)} replies per connection; ab -k saw "
                     f"{ab_ka} of {ab_ok} replies as keep-alive ({ab_ok - ab_ka} closed "
                     f"their connection).")
    return "\n".join(lines)


def extras(cold, hundred, kill):
    lines = []
    for c in cold:
        held = f", daemon held {min(c['idle_held'])}..{max(c['idle_held'])} of them" if c["idle_held"] else ""
        lines.append(f"- Cold start, {c['idle']} idle connections open{held}: first request "
                     f"(fork + exec of worker #1) median {_f(c['first_median_ms'], 2)} ms, "
                     f"worst {_f(c['first_max_ms'], 2)} ms over {len(c['first_ms'])} fresh daemons; "
                     f"next request {_f(c['second_median_ms'], 2)} ms; failures {c['failures']}.")
    if hundred:
        if "daemon_rss" in hundred:
            lines.append(f"- 100 workers: {hundred['workers']} workers running; daemon RSS "
                         f"{_f(hundred['daemon_rss'] / 1048576)} MiB (idle, no worker: "
                         f"{_f(hundred['idle_daemon_rss'] / 1048576)} MiB); whole tree RSS "
                         f"{_f(hundred['tree_rss'] / 1048576)} MiB, PSS "
                         f"{_f(hundred['tree_pss'] / 1048576)} MiB; slow requests answered: "
                         f"{hundred.get('answered', 0)} of 100.")
        else:
            lines.append("- 100 workers: not reached.")
    if kill:
        b, k = kill["baseline"], kill["killed"]
        lines.append(f"- Workers killed every 100 ms ({kill['kills']} SIGKILLs in "
                     f"{kill['seconds']} s, ab, 100 B, {kill['clients']} clients): "
                     f"{k['rps']:.0f} req/s with {k['failures']} failures vs "
                     f"{b['rps']:.0f} req/s with {b['failures']} failures undisturbed "
                     f"({_ratio(k['rps'], b['rps'])}x); p99 {_f(k['p99_ms'], 2)} ms vs "
                     f"{_f(b['p99_ms'], 2)} ms; afterwards {kill['workers_after']} workers, "
                     f"next request {'ok' if kill['after_ok'] else 'FAILED'}.")
    return "\n".join(lines)
