"""Starting, tracking and stopping the benchmark's own server processes.

Every process the harness starts is written to a registry file (pid and a
word of its command line) so that run.sh can stop leftovers by pid even if
the harness itself dies.  Nothing is ever signalled by name.
"""
import os
import signal
import socket
import time

from . import proctree


# The CPUs the servers and the load generators run on; None leaves the
# inherited affinity.  Children inherit it: the daemon's workers, nginx's
# workers and the FastCGI processes all stay on the servers' CPUs.
PINNING = {"server": None, "loadgen": None}


def pin(server_cpus, loadgen_cpus):
    PINNING["server"], PINNING["loadgen"] = server_cpus, loadgen_cpus


def _affinity(role):
    cpus = PINNING[role]
    if cpus is None:
        return None
    return lambda: os.sched_setaffinity(0, cpus)


def server_affinity():
    """preexec_fn for a server process (None when unpinned)."""
    return _affinity("server")


def loadgen_affinity():
    """preexec_fn for a load generator (None when unpinned)."""
    return _affinity("loadgen")


class Registry:
    def __init__(self, path):
        self.path = path
        self.entries = {}

    def _save(self):
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            for pid, tag in self.entries.items():
                f.write(f"{pid} {tag}\n")
        os.replace(tmp, self.path)

    def add(self, pid, tag):
        self.entries[pid] = tag
        self._save()

    def remove(self, pid):
        self.entries.pop(pid, None)
        self._save()

    def stop_all(self):
        for pid, tag in list(self.entries.items()):
            if is_ours(pid, tag):
                stop_tree(pid)
            self.remove(pid)


def is_ours(pid, tag):
    """True when pid is alive and still runs the program we recorded."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return tag.encode() in f.read()
    except OSError:
        return False


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return state != "Z"
    except (OSError, IndexError):
        return False


def reap(pid):
    """Collects pid if it is our own child; harmless otherwise."""
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        pass


def stop_tree(root, sig=signal.SIGTERM, grace=15.0):
    """Signals root, waits up to grace seconds, then SIGKILLs what is left
    of the tree it had when we started (pids collected beforehand)."""
    members = proctree.tree([root])
    try:
        os.kill(root, sig)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline:
        reap(root)
        if not any(alive(p) for p in members):
            return True
        time.sleep(0.05)
    for pid in members:
        if alive(pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    reap(root)
    return False


def wait_listening(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def wait_listening_unix(path, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(0.5)
                s.connect(path)
                return True
        except OSError:
            time.sleep(0.05)
    return False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
