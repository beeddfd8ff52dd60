"""orv-task-service run as an operator runs it: detached, on a loopback port,
with /var/log/orv replaced by a temporary directory inside a private mount
namespace, so that the machine's own log directory is never touched."""

import ctypes
import http.client
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

PR_SET_CHILD_SUBREAPER = 36

# In the daemon's namespace only: a tmpfs hides the machine's /var/log and
# the test's directory ($0) becomes /var/log/orv.
PRIVATE_LOG_DIR = ('mount -t tmpfs tmpfs /var/log && mkdir /var/log/orv && '
                   'mount --bind "$0" /var/log/orv && exec "$@"')


def run(command: list[str], env: dict[str, str] | None = None, cwd: str | None = None,
        check: bool = True, timeout: float = 300) -> subprocess.CompletedProcess:
    done = subprocess.run(command, env=env, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    if check and done.returncode != 0:
        raise AssertionError(f"{command} failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done


def fresh_env() -> dict[str, str]:
    """The environment of a fresh shell: nothing points at a kit in the tree."""
    return {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PKG_CONFIG", "CMAKE"))}


def poll(condition, timeout: float):
    """condition()'s first true value within timeout seconds, else its last."""
    deadline = time.monotonic() + timeout
    while not (value := condition()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return value


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Daemon:
    """``orv-task-service SERVICE PORT WORKER``, started on a free port (a new
    one when the port was taken meanwhile) and stopped with SIGTERM."""

    def __init__(self, binary: str, service: str, worker: str, env: dict[str, str]) -> None:
        # The detached daemon becomes this process's child, to be waited for.
        if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
        self.service = service
        self.status: int | None = None
        for _ in range(5):
            self.log_dir = tempfile.mkdtemp(prefix="orv-kit-test-")
            self.port = free_port()
            subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                            PRIVATE_LOG_DIR, self.log_dir, binary, service, str(self.port), worker],
                           env=env, check=True, timeout=30)
            self.pid = poll(self._pid_from_capture_link, 10)
            if not self.pid:
                raise RuntimeError(f"orv-task-service left no capture link in {self.log_dir}")
            # The HTTP server starts once its socket is bound; a daemon that
            # could not bind exits instead.
            poll(lambda: "Starting the HTTP server" in self.log("INFO") or self._exited(), 10)
            if "Starting the HTTP server" in self.log("INFO") and not self._exited():
                return
            errors = self.log("ERROR")
            self.stop()
        raise RuntimeError(f"orv-task-service did not start:\n{errors}")

    def _pid_from_capture_link(self) -> int:
        try:
            return int(os.readlink(os.path.join(self.log_dir, f"{self.service}.stderr.log"))
                       .rsplit(".", 1)[1])
        except (OSError, IndexError, ValueError):
            return 0

    def log(self, name: str) -> str:
        """A log by its link name below the service ("INFO", "ERROR",
        "stdout.log", "stderr.log"); the link names the file by its path in
        the daemon's namespace, and the file sits in log_dir."""
        try:
            target = os.readlink(os.path.join(self.log_dir, f"{self.service}.{name}"))
            with open(os.path.join(self.log_dir, os.path.basename(target)), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_for_log(self, name: str, text: str, timeout: float = 10) -> bool:
        return poll(lambda: text in self.log(name), timeout)

    def post(self, path: str, body: bytes) -> tuple[int, bytes]:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        try:
            connection.request("POST", path, body, {"Content-Type": "application/json"})
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def _exited(self) -> bool:
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.status = os.waitstatus_to_exitcode(status)
        return self.status is not None

    def stop(self, timeout: float = 20) -> int | None:
        """SIGTERM, then the exit status (None: still running after timeout,
        and then killed). The log directory goes too."""
        try:
            if not self._exited():
                os.kill(self.pid, signal.SIGTERM)
                if not poll(self._exited, timeout):
                    os.kill(self.pid, signal.SIGKILL)
                    os.waitpid(self.pid, 0)
                    return None
            return self.status
        finally:
            # Reaps the daemon's forks that ended after it was detached.
            while True:
                try:
                    if os.waitpid(-1, os.WNOHANG)[0] == 0:
                        break
                except ChildProcessError:
                    break
            if not os.environ.get("ORV_KEEP_LOGS"):
                shutil.rmtree(self.log_dir, ignore_errors=True)


def serve(test, binary: str, worker: str, env: dict[str, str], exchanges: list[tuple[str, bytes, bytes]],
          captures: dict[str, list[str]] | None = None) -> None:
    """Runs worker under the daemon as service "hello", checks each
    (action, body, reply) and the texts that land in its captures, and
    that the daemon then stops with status 0."""
    daemon = Daemon(binary, "hello", worker, env)
    try:
        for action, body, reply in exchanges:
            test.assertEqual(daemon.post(f"/hello/{action}", body), (200, reply))
        for stream, texts in (captures or {}).items():
            for text in texts:
                test.assertTrue(daemon.wait_for_log(stream, text), f"{text!r} not in {stream}:\n{daemon.log(stream)}")
    finally:
        test.assertEqual(daemon.stop(), 0)
