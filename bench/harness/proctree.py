"""CPU time and memory of a server's whole process tree, read from /proc.

A tree is given by its root pids.  Its CPU time is the sum, over every live
process in it, of utime + stime + cutime + cstime: a child that has exited
and been reaped moved its time into its parent's cutime/cstime, and a live
child is counted once as itself, so nothing is counted twice.
"""
import os
import threading

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def _thread_files(pid, name):
    """The text of /proc/PID/task/TID/NAME for each live thread of pid."""
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return
    for tid in tasks:
        try:
            with open(f"/proc/{pid}/task/{tid}/{name}") as f:
                text = f.read()
        except OSError:
            continue
        yield text


def children(pid):
    """Pids of the live children of pid, over all its threads."""
    return [int(p) for text in _thread_files(pid, "children") for p in text.split()]


def asleep(pid):
    """Whether every thread of pid is sleeping (true once it is gone)."""
    return all(text[text.rindex(")") + 2:].split()[0] in ("S", "I")
               for text in _thread_files(pid, "stat"))


def tree(roots):
    """Every live pid under the given roots, the roots included."""
    seen = []
    todo = [p for p in roots if os.path.exists(f"/proc/{p}")]
    while todo:
        pid = todo.pop()
        if pid in seen:
            continue
        seen.append(pid)
        todo.extend(children(pid))
    return seen


def cpu_ticks(pid):
    """utime + stime + cutime + cstime of one process, in clock ticks."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return 0
    fields = text[text.rindex(")") + 2:].split()
    # fields[0] is the state (field 3 of the file); utime is field 14.
    return sum(int(x) for x in fields[11:15])


def tree_cpu_seconds(roots):
    return sum(cpu_ticks(p) for p in tree(roots)) / CLOCK_TICKS


def ctx_switches(pid):
    """Voluntary and involuntary context switches of all threads of pid.
    Those of exited threads and children are not kept by the kernel, so
    this counts live processes only."""
    return sum(int(line.split()[1])
               for text in _thread_files(pid, "status")
               for line in text.splitlines() if "ctxt_switches:" in line)


def tree_ctx_switches(roots):
    return sum(ctx_switches(p) for p in tree(roots))


def rss_bytes(pid):
    try:
        with open(f"/proc/{pid}/statm") as f:
            return int(f.read().split()[1]) * PAGE_SIZE
    except OSError:
        return 0


def pss_bytes(pid):
    """Proportional set size: shared pages divided among their sharers."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def tree_rss_bytes(roots):
    return sum(rss_bytes(p) for p in tree(roots))


def tree_pss_bytes(roots):
    return sum(pss_bytes(p) for p in tree(roots))


class PeakSampler:
    """Samples the tree's summed RSS every interval seconds in a thread.

    Bounded: it stops by itself after max_seconds even if stop() is never
    called.
    """

    def __init__(self, roots, interval=0.1, max_seconds=600):
        self.roots = list(roots)
        self.interval = interval
        self.max_seconds = max_seconds
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        waited = 0.0
        while not self._stop.is_set() and waited < self.max_seconds:
            self.peak = max(self.peak, tree_rss_bytes(self.roots))
            self._stop.wait(self.interval)
            waited += self.interval

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, tree_rss_bytes(self.roots))
        return False
