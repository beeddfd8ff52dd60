"""Benchmark settings, all taken from environment variables (see README)."""
import os
import shutil


def _words(name, default):
    return os.environ.get(name, default).split()


class Config:
    def __init__(self):
        env = os.environ
        quick = env.get("QUICK", "0") == "1"
        self.quick = quick
        self.work = env["BENCH_WORK"]
        self.bin = env["BENCH_BIN"]
        self.bench_dir = env["BENCH_DIR"]
        self.results = env["BENCH_RESULTS"]
        self.repo = env.get("BENCH_REPO", os.path.dirname(self.bench_dir))
        self.orv_bin = env.get("ORV_BIN", "")
        self.orv_private_log = env.get("ORV_PRIVATE_LOG", "1") == "1"
        # Options put in front of the daemon's command line, e.g.
        # "--threads 2" or "--status-listen 127.0.0.1:9100".
        self.orv_opts = _words("ORV_OPTS", "")

        self.duration = int(env.get("DURATION", "1" if quick else "4"))
        self.runs = int(env.get("RUNS", "3"))
        self.sizes = [int(x) for x in _words("SIZES", "100 65536")]
        self.clients = [int(x) for x in _words("CLIENTS", "1 50" if quick else "1 10 50")]
        self.gens = _words("GENS", "ab h2load")
        # In the quick mode the second generator only runs the headline point.
        self.full_gens = _words("FULL_GENS", "ab" if quick else " ".join(self.gens))
        self.targets = _words("TARGETS", "orv nginx gunicorn ceiling")
        # The second table: the same points with persistent connections
        # (ab -k, h2load without "Connection: close"); nginx-orv is nginx in
        # front of orv over a UNIX socket.  Empty skips that table.
        self.ka_targets = _words("KA_TARGETS", "orv nginx gunicorn ceiling nginx-orv")
        self.gunicorn_threads = int(env.get("GUNICORN_THREADS", "4"))
        self.ceiling_threads = int(env.get("CEILING_THREADS", "1"))
        self.extras = env.get("EXTRAS", "1") == "1"
        self.cold_repeats = int(env.get("COLD_REPEATS", "3" if quick else "5"))
        self.kill_seconds = int(env.get("KILL_SECONDS", "2" if quick else "5"))
        self.slow_ms = int(env.get("SLOW_MS", "2000"))
        self.warmup_seconds = int(env.get("WARMUP", "1"))

        self.gunicorn = env.get("GUNICORN", shutil.which("gunicorn") or "/usr/bin/gunicorn")
        self.nginx = env.get("NGINX", shutil.which("nginx") or "/usr/sbin/nginx")
        self.spawn_fcgi = env.get("SPAWN_FCGI", shutil.which("spawn-fcgi") or "/usr/bin/spawn-fcgi")

    def points(self):
        """(body size, clients, generator) in run order."""
        result = []
        for size in self.sizes:
            for clients in self.clients:
                for gen in self.gens:
                    headline = size == 100 and clients == max(self.clients)
                    if gen in self.full_gens or headline:
                        result.append((size, clients, gen))
        return result
