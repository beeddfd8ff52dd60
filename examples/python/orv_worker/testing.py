"""Test a worker without a daemon: send it requests the way
orv-task-service does, over a socket pair, frame for frame.

Client runs a handler in a thread of the test process::

    from orv_worker.testing import Client

    with Client(handle) as client:
        reply = client.request("greet", {"name": "Ada"})
    assert reply.json() == {"hello": "Ada"}

WorkerProcess starts a worker program as the daemon does (same argument
vector, standard input /dev/null, working directory /) and keeps what it
writes to standard output and error.

Both check what the daemon checks: a reply cut short raises WorkerGone
(the client would get 503), bytes sent after the completion byte raise
ProtocolError at the next request, and no reply within the timeout raises
TimeoutError.
"""

from __future__ import annotations

import dataclasses
import io
import json
import os
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
from typing import Any

from .protocol import Channel, ChannelClosed, pack_request, read_exact
from .serving import Handler, serve_channel

DEFAULT_TIMEOUT = 10.0


class WorkerGone(Exception):
    """The worker closed its channel before its reply was complete; the
    daemon would answer the client with 503 and discard the worker."""


class ProtocolError(Exception):
    """The worker sent something the daemon does not accept."""


@dataclasses.dataclass(frozen=True)
class Reply:
    """A worker's reply. complete is false when the worker closed the
    channel instead of sending the completion byte: the client still gets
    the reply, but the daemon discards the worker."""

    body: bytes
    complete: bool = True

    @property
    def text(self) -> str:
        return self.body.decode("utf-8")

    def json(self) -> Any:
        return json.loads(self.body)


def _as_bytes(value: str | bytes | dict | list) -> bytes:
    if isinstance(value, (dict, list)):
        value = json.dumps(value)
    return value.encode("utf-8") if isinstance(value, str) else value


class _Driver:
    """The daemon's end of a channel."""

    def __init__(self, connection: socket.socket, timeout: float) -> None:
        self._socket = connection
        self.timeout = timeout

    def request(self, action: str | bytes = "", body: str | bytes | dict | list = b"{}",
                client: str = "127.0.0.1") -> Reply:
        """Sends one request and returns the worker's reply. A dict or list
        body is sent as JSON, a str as UTF-8."""
        self._check_quiet()
        self._socket.settimeout(self.timeout)
        try:
            self._socket.sendall(pack_request(_as_bytes(action), client, _as_bytes(body)))
            header = read_exact(self._socket, 4, end_allowed=True)
            if header is None:
                raise WorkerGone("the worker closed its channel without replying")
            body_bytes = read_exact(self._socket, struct.unpack(">I", header)[0])
            assert body_bytes is not None
            complete = self._socket.recv(1) != b""
        except (ChannelClosed, BrokenPipeError, ConnectionResetError) as error:
            raise WorkerGone(f"the worker's reply was cut short: {error}") from None
        except socket.timeout:
            raise TimeoutError(f"no complete reply within {self.timeout} s") from None
        return Reply(body_bytes, complete)

    def _check_quiet(self) -> None:
        self._socket.setblocking(False)
        try:
            stray = self._socket.recv(1, socket.MSG_PEEK)
        except BlockingIOError:
            return
        if not stray:
            raise WorkerGone("the worker closed its channel")
        raise ProtocolError("the worker sent bytes after its completion byte")

    def _close_channel(self) -> None:
        self._socket.close()


class Client(_Driver):
    """Serves requests with a handler in a thread, through the kit's own
    request loop. log holds what the loop wrote to standard error."""

    def __init__(self, handler: Handler, timeout: float = DEFAULT_TIMEOUT) -> None:
        ours, theirs = socket.socketpair()
        super().__init__(ours, timeout)
        self._log = io.StringIO()
        self.status: int | None = None
        self._thread = threading.Thread(target=self._serve, args=(handler, theirs), daemon=True)
        self._thread.start()

    def _serve(self, handler: Handler, connection: socket.socket) -> None:
        try:
            self.status = serve_channel(Channel(connection), handler, log=self._log)
        finally:
            connection.close()

    @property
    def log(self) -> str:
        return self._log.getvalue()

    def close(self) -> int | None:
        """Closes the channel as the daemon does and returns the status the
        request loop returned (None when it ended by an exception)."""
        self._close_channel()
        self._thread.join(self.timeout)
        if self._thread.is_alive():
            raise TimeoutError(f"the worker did not end within {self.timeout} s")
        return self.status

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class WorkerProcess(_Driver):
    """A worker program started as the daemon starts worker NUMBER:
    ``PROGRAM SERVICE GROUP NUMBER FD [ARG...]``."""

    def __init__(self, program: str, *args: str, service: str = "test", group: str = "",
                 number: int = 0, env: dict[str, str] | None = None,
                 timeout: float = DEFAULT_TIMEOUT) -> None:
        ours, theirs = socket.socketpair()
        super().__init__(ours, timeout)
        # Appending, like the daemon's capture files, so reading them here
        # never moves the worker's writing position.
        self._files = {name: tempfile.TemporaryFile("a+b") for name in ("stdout", "stderr")}
        argv = [program, service, group, str(number), str(theirs.fileno()), *args]
        with theirs:
            self.process = subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=self._files["stdout"],
                stderr=self._files["stderr"], pass_fds=[theirs.fileno()], cwd="/", env=env)

    def output(self, stream: str = "stdout") -> str:
        """What the worker wrote to stream ("stdout" or "stderr") so far."""
        fd = self._files[stream].fileno()
        return os.pread(fd, os.fstat(fd).st_size, 0).decode("utf-8", "replace")

    def wait_for_output(self, text: str, stream: str = "stdout",
                        timeout: float | None = None) -> bool:
        """Whether text shows up in stream within timeout seconds."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while text not in self.output(stream):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)
        return True

    def terminate(self) -> int:
        """Sends SIGTERM, as the daemon does to a worker it no longer
        needs, and returns the exit status (negative: killed by a signal)."""
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(self.timeout)

    def close(self) -> int:
        """Closes the channel and returns the worker's exit status."""
        self._close_channel()
        return self.process.wait(self.timeout)

    def __enter__(self) -> WorkerProcess:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._close_channel()
        try:
            self.process.wait(self.timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        for file in self._files.values():
            file.close()
