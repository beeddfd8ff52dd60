"""The worker's request loop and the process set-up around it."""

from __future__ import annotations

import io
import json
import os
import signal
import sys
import threading
import traceback
from types import FrameType
from typing import Callable, TextIO, Union

from .protocol import Channel, ChannelClosed, Request

Result = Union[str, bytes, dict, list]
Handler = Callable[[Request], Result]

USAGE = "usage: {} SERVICE GROUP NUMBER FD [ARG...]\n"


class ReplyError(Exception):
    """A handler's result that cannot be sent as a reply."""


def encode_reply(result: object) -> bytes:
    """The reply bytes for a handler's result.

    str is sent as UTF-8, bytes as they are, dict and list as compact JSON.
    Raises ReplyError for any other type, for a dict or list that JSON
    cannot express, and for text that is not valid Unicode.
    """
    try:
        if isinstance(result, (dict, list)):
            result = json.dumps(result, ensure_ascii=False, allow_nan=False,
                                separators=(",", ":"))
        if isinstance(result, str):
            return result.encode("utf-8")
    except (TypeError, ValueError) as error:
        raise ReplyError(f"the handler's reply cannot be sent: {error}") from None
    if isinstance(result, bytes):
        return result
    raise ReplyError(f"the handler returned {type(result).__name__}; "
                     "a reply is str, bytes, dict or list")


def error_reply(message: str) -> bytes:
    """The document a client gets when its request failed: {"error": ...}."""
    text = json.dumps({"error": message}, ensure_ascii=False, separators=(",", ":"))
    return text.encode("utf-8", "replace")


class _Stop(BaseException):
    """Raised by the SIGTERM handler while the worker waits for a request."""


class _Termination:
    """SIGTERM: exit at once while idle, after the reply while busy."""

    def __init__(self) -> None:
        self.busy = False
        self.requested = False

    def __call__(self, signum: int, frame: FrameType | None) -> None:
        self.requested = True
        if not self.busy:
            raise _Stop


def _answer(handler: Handler, request: Request, log: TextIO, name: str) -> bytes:
    try:
        return encode_reply(handler(request))
    except ReplyError as error:
        log.write(f"{name}: action {request.action!r}: {error}\n")
        return error_reply(str(error))
    except Exception as error:  # the client must still get its answer
        log.write(f"{name}: action {request.action!r}: the handler failed\n"
                  + traceback.format_exc())
        return error_reply(str(error))
    finally:
        log.flush()


def serve_channel(channel: Channel, handler: Handler, log: TextIO | None = None,
                  name: str = "worker") -> int:
    """Answers every request on channel with handler's result until the
    service closes the channel; returns 0 then.

    A handler that raises answers {"error": "<message>"}; one that returns
    something that cannot be sent answers {"error": "<why>"}. Either way
    the worker goes on, and a line (with the traceback for an exception)
    goes to log, standard error by default. Does not touch signals or
    standard output: serve() does that for a worker program.
    """
    return _serve(channel, handler, log or sys.stderr, name, _Termination())


def _serve(channel: Channel, handler: Handler, log: TextIO, name: str,
           termination: _Termination) -> int:
    while not termination.requested:
        request = channel.read()
        if request is None:
            return 0
        termination.busy = True
        try:
            channel.reply(_answer(handler, request, log, name))
        finally:
            termination.busy = False
    return 0


def serve(handler: Handler, argv: list[str] | None = None) -> int:
    """Runs a worker program: answers requests until the service closes the
    channel or sends SIGTERM, and returns the exit status for sys.exit().

    argv (sys.argv by default) is what the service starts a worker with:
    PROGRAM SERVICE GROUP NUMBER FD [ARG...]. Standard output becomes line
    buffered, so every printed line reaches the daemon's capture file at
    once. SIGTERM while waiting for a request ends the worker with status
    0; SIGTERM while the handler runs lets it finish and send its reply
    first.
    """
    argv = sys.argv if argv is None else argv
    if len(argv) < 5 or not argv[4].isdigit():
        sys.stderr.write(USAGE.format(argv[0] if argv else "worker"))
        return 2
    name = f"{os.path.basename(argv[0])} [{os.getpid()}]"
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(line_buffering=True)
    termination = _Termination()
    in_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, termination) if in_main_thread else None
    try:
        return _serve(Channel(int(argv[4])), handler, sys.stderr, name, termination)
    except _Stop:
        return 0
    except (OSError, ChannelClosed) as error:
        sys.stderr.write(f"{name}: {error}\n")
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
        sys.stdout.flush()
