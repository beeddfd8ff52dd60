"""Serve the orv task service from a Python 3 worker program.

The service starts the program with the arguments
    SERVICE GROUP NUMBER FD [ARG...]
and sends requests over the UNIX stream socket FD. serve() reads each
request frame, calls your handler and writes the reply followed by the
completion byte. Standard library only; see docs/worker-protocol.md.
"""

import json
import socket
import struct
import sys


class Request:
    """One request: action (str), client address (str), body (bytes).

    The action is decoded as UTF-8 with invalid bytes replaced by U+FFFD;
    raw_action keeps the bytes as the service sent them.
    """

    def __init__(self, raw_action, client, body):
        self.raw_action = raw_action
        self.action = raw_action.decode("utf-8", "replace")
        self.client = client
        self.body = body


class Channel:
    def __init__(self, fd):
        self._socket = socket.socket(fileno=fd)

    def _read_exact(self, size, end_allowed=False):
        data = bytearray()
        while len(data) < size:
            chunk = self._socket.recv(size - len(data))
            if not chunk:
                if not data and end_allowed:
                    return None
                raise EOFError("the service closed the channel inside a request")
            data += chunk
        return bytes(data)

    def read(self):
        """The next Request, or None when the service closed the channel."""
        size = self._read_exact(1, end_allowed=True)
        if size is None:
            return None
        action = self._read_exact(size[0]) if size[0] else b""
        size = self._read_exact(1)[0]
        client = self._read_exact(size).decode("ascii", "replace") if size else ""
        (body_size,) = struct.unpack(">I", self._read_exact(4))
        body = self._read_exact(body_size) if body_size else b""
        return Request(action, client, body)

    def reply(self, data):
        """Sends the reply (bytes, or str encoded as UTF-8) and the completion byte."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        # sendall() keeps writing until every byte is out.
        self._socket.sendall(struct.pack(">I", len(data)) + data + b"\0")


def serve(handler, argv=None):
    """Answers every request with handler(request) until the service closes
    the channel; returns the exit status. A handler that raises answers
    {"error": "<message>"} so that the client still gets its reply."""
    argv = sys.argv if argv is None else argv
    if len(argv) < 5 or not argv[4].isdigit():
        sys.stderr.write("usage: %s SERVICE GROUP NUMBER FD [ARG...]\n" % argv[0])
        return 2
    channel = Channel(int(argv[4]))
    try:
        while True:
            request = channel.read()
            if request is None:
                return 0
            try:
                reply = handler(request)
            except Exception as error:  # the client must still get an answer
                reply = json.dumps({"error": str(error)}, ensure_ascii=False, separators=(",", ":"))
            channel.reply(reply)
    except (OSError, EOFError) as error:
        sys.stderr.write("%s: %s\n" % (argv[0], error))
        return 1
