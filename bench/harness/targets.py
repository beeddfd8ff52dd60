"""The servers under comparison, each answering POST /echo/echo with the
request body.

Each target knows how to start itself under the benchmark's work directory,
which pids are the roots of its process tree, and how to stop.  With
keep_alive it is configured for persistent client connections (and, where
it has a backend, persistent backend connections too); without, it is the
one-connection-per-request set-up of the first table.
"""
import os
import shutil
import subprocess
import time

from . import procs, proctree

PATH = "/echo/echo"
KEEP_ALIVE_SECONDS = 30
FCGI_PROCESSES = 10


class Target:
    name = "?"

    def __init__(self, cfg, registry, keep_alive=False):
        self.cfg = cfg
        self.registry = registry
        self.keep_alive = keep_alive
        self.port = procs.free_port()
        self.root_pids = []
        # How long a request for .../slow takes its backend, in ms; 0: the
        # backend's own default (nginx+fcgi: no wait).
        self.slow_ms = 0

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}{PATH}"

    def roots(self):
        return list(self.root_pids)

    def stop(self):
        for pid in self.root_pids:
            procs.stop_tree(pid)
            self.registry.remove(pid)
        self.root_pids = []

    def _spawn(self, argv, tag, **kwargs):
        log = open(os.path.join(self.cfg.work, f"{self.name}.out"), "ab")
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT,
                                preexec_fn=procs.server_affinity(), **kwargs)
        log.close()
        self.registry.add(proc.pid, tag)
        self.root_pids.append(proc.pid)
        return proc


class Ceiling(Target):
    name = "ceiling"

    def start(self):
        binary = os.path.join(self.cfg.bin, "ceiling_server")
        mode = ["keep-alive"] if self.keep_alive else []
        self._spawn([binary, str(self.port), str(self.cfg.ceiling_threads)] + mode,
                    "ceiling_server")
        if not procs.wait_listening(self.port):
            raise RuntimeError("ceiling server did not start listening")


class Gunicorn(Target):
    name = "gunicorn"

    def start(self):
        # The sync workers close every connection; the threaded ones keep
        # them open.
        if self.keep_alive:
            workers = ["--worker-class", "gthread", "--threads", str(self.cfg.gunicorn_threads),
                       "--keep-alive", str(KEEP_ALIVE_SECONDS)]
        else:
            workers = ["--worker-class", "sync"]
        argv = ([self.cfg.gunicorn, "--workers", "10"] + workers
                + ["--bind", f"127.0.0.1:{self.port}", "--chdir", self.cfg.bench_dir,
                   "--log-level", "warning", "echo_app:app"])
        proc = self._spawn(argv, "gunicorn")
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if len(proctree.children(proc.pid)) >= 10 and procs.wait_listening(self.port, 0.5):
                return
            time.sleep(0.1)
        raise RuntimeError("gunicorn did not start 10 workers")


class Nginx(Target):
    """nginx under a prefix of its own in the work directory."""

    def _prefix(self):
        # The first table's nginx keeps the directory it always had.
        name = f"nginx-{self.port}" if self.keep_alive else "nginx"
        prefix = os.path.join(self.cfg.work, name)
        os.makedirs(prefix, exist_ok=True)
        return prefix

    def _start_nginx(self, prefix, template, fields):
        with open(os.path.join(self.cfg.bench_dir, template)) as f:
            conf = f.read()
        fields = dict(fields, USER_LINE="user root root;" if os.geteuid() == 0 else "",
                      PREFIX=prefix, PORT=str(self.port))
        for key, value in fields.items():
            conf = conf.replace(f"@{key}@", value)
        conf_path = os.path.join(prefix, "nginx.conf")
        with open(conf_path, "w") as f:
            f.write(conf)
        self._spawn([self.cfg.nginx, "-p", prefix + "/", "-c", conf_path,
                     "-e", os.path.join(prefix, "error.log"), "-g", "daemon off;"],
                    "nginx")
        if not procs.wait_listening(self.port):
            raise RuntimeError("nginx did not start listening")


class NginxFastcgi(Nginx):
    name = "nginx+fcgi"

    def start(self):
        prefix = self._prefix()
        sock = os.path.join(prefix, "fcgi.sock")
        pidfile = os.path.join(prefix, "fcgi.pids")
        for stale in (sock, pidfile):
            if os.path.exists(stale):
                os.unlink(stale)
        fcgi = os.path.join(self.cfg.bin, "fcgi_echo")
        subprocess.run([self.cfg.spawn_fcgi, "-s", sock, "-F", str(FCGI_PROCESSES),
                        "-P", pidfile, "-M", "0660", "--", fcgi]
                       + ([str(self.slow_ms)] if self.slow_ms else []), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       preexec_fn=procs.server_affinity())
        with open(pidfile) as f:
            for pid in (int(p) for p in f.read().split()):
                self.registry.add(pid, "fcgi_echo")
                self.root_pids.append(pid)
        if not self.keep_alive:
            self._start_nginx(prefix, "nginx.conf.in", {"SOCKET": sock})
            return
        # worker_processes auto: one nginx worker per CPU, each with its own
        # idle-connection cache; see nginx-keepalive.conf.in.
        idle_per_worker = max(1, (FCGI_PROCESSES - 1) // (os.cpu_count() or 1))
        self._start_nginx(prefix, "nginx-keepalive.conf.in", {
            "BACKEND_SOCKET": sock, "BACKEND_IDLE": str(idle_per_worker),
            "BACKEND": os.path.join(self.cfg.bench_dir, "nginx-pass-fcgi.conf")})


class NginxOrv(Nginx):
    """nginx in front of an orv daemon that listens only on a UNIX socket,
    with persistent connections on both sides (keep-alive table only)."""
    name = "nginx+orv"

    def __init__(self, cfg, registry, keep_alive=True):
        super().__init__(cfg, registry, True)  # it has no other set-up
        self.daemon = None

    def start(self):
        prefix = self._prefix()
        sock = os.path.join(prefix, "orv.sock")
        self.daemon = OrvDaemon(self.cfg, self.registry, unix_socket=sock,
                                options=["--keep-alive", str(KEEP_ALIVE_SECONDS)])
        self.daemon.start()
        self._start_nginx(prefix, "nginx-keepalive.conf.in", {
            "BACKEND_SOCKET": sock, "BACKEND_IDLE": "32",
            "BACKEND": os.path.join(self.cfg.bench_dir, "nginx-pass-orv.conf")})

    def roots(self):
        daemon = [self.daemon.pid] if self.daemon and self.daemon.pid else []
        return self.root_pids + daemon

    def stop(self):
        super().stop()
        if self.daemon:
            self.daemon.stop()


class OrvDaemon:
    """One orv-task-service daemon with the echo worker.

    The daemon always detaches and logs under the fixed /var/log/orv, so it
    is launched inside a private mount namespace where a directory of our
    own is bound over /var/log; the machine's log directory is never
    touched.  The daemon's pid is the suffix of the capture file that its
    stderr link points to.
    """

    def __init__(self, cfg, registry, port=None, service="echo", options=(),
                 unix_socket=None, slow_ms=None):
        self.cfg = cfg
        self.slow_ms = slow_ms or cfg.slow_ms
        self.registry = registry
        self.port = port or procs.free_port()
        self.service = service
        # Options of this daemon, after the ones of ORV_OPTS.  With
        # unix_socket it listens on that socket file only (no TCP port).
        self.options = list(options)
        self.unix_socket = unix_socket
        if unix_socket:
            self.options += ["--listen", f"unix:{unix_socket}"]
        self.pid = None
        self.log_root = None

    def start(self, timeout=10.0):
        self.log_root = os.path.join(self.cfg.work, f"orv-log-{self.port}")
        shutil.rmtree(self.log_root, ignore_errors=True)
        os.makedirs(os.path.join(self.log_root, "orv"))
        worker = os.path.join(self.cfg.bin, "echo_worker")
        daemon = ([self.cfg.orv_bin] + self.cfg.orv_opts + self.options
                  + [self.service, str(self.port), worker, str(self.slow_ms)])
        if self.cfg.orv_private_log:
            argv = ["unshare", "--mount", "--propagation", "private", "--",
                    "sh", "-c", 'mount --bind "$1" /var/log && shift && exec "$@"',
                    "sh", self.log_root] + daemon
        else:
            argv = daemon
        out = open(os.path.join(self.cfg.work, "orv-launcher.out"), "ab")
        launcher = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout,
                                  preexec_fn=procs.server_affinity())
        out.close()
        if launcher.returncode != 0:
            raise RuntimeError(f"orv launcher exited with {launcher.returncode}")
        link = os.path.join(self.log_dir(), f"{self.service}.stderr.log")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.pid is None:
            try:
                self.pid = int(os.readlink(link).rsplit(".", 1)[1])
            except (OSError, ValueError, IndexError):
                time.sleep(0.02)
        if self.pid is None:
            raise RuntimeError(f"orv daemon did not create {link}")
        self.registry.add(self.pid, "orv-task-service")
        if self.unix_socket:
            listening = procs.wait_listening_unix(self.unix_socket, timeout)
        else:
            listening = procs.wait_listening(self.port, timeout)
        if not listening:
            raise RuntimeError("orv daemon did not start listening")

    def log_dir(self):
        if self.cfg.orv_private_log:
            return os.path.join(self.log_root, "orv")
        return "/var/log/orv"

    def workers(self):
        return proctree.children(self.pid) if self.pid else []

    def stop(self):
        if self.pid is not None:
            procs.stop_tree(self.pid)
            self.registry.remove(self.pid)
            self.pid = None


class Orv(Target):
    name = "orv"

    def start(self):
        options = ["--keep-alive", str(KEEP_ALIVE_SECONDS)] if self.keep_alive else []
        self.daemon = OrvDaemon(self.cfg, self.registry, self.port, options=options)
        self.daemon.start()
        self.root_pids = [self.daemon.pid]

    def stop(self):
        self.daemon.stop()
        self.root_pids = []


ALL = {"orv": Orv, "nginx": NginxFastcgi, "gunicorn": Gunicorn, "ceiling": Ceiling,
       "nginx-orv": NginxOrv}
