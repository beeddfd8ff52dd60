"""The frames of the worker channel, both ways (docs/worker-protocol.md).

A request is: action length (1 byte), action, client address length
(1 byte), client address, body length (4 bytes, big-endian), body. An
answer is: reply length (4 bytes, big-endian), reply, one completion byte.
"""

from __future__ import annotations

import dataclasses
import json
import socket
import struct
from typing import Any

MAX_ACTION = 255
MAX_CLIENT = 255
MAX_REPLY = 0xFFFFFFFF


class ChannelClosed(EOFError):
    """The peer closed the channel inside a frame."""


@dataclasses.dataclass(frozen=True)
class Request:
    """One request: the raw action bytes, the client's address, the body.

    ``action`` is the action decoded as UTF-8 with invalid bytes replaced by
    U+FFFD; ``raw_action`` keeps the bytes as the service sent them.
    """

    raw_action: bytes
    client: str
    body: bytes

    @property
    def action(self) -> str:
        return self.raw_action.decode("utf-8", "replace")

    def json(self) -> Any:
        """The body parsed as JSON (raises ValueError when it is not)."""
        return json.loads(self.body)


def pack_request(action: bytes, client: str, body: bytes) -> bytes:
    """The request frame the service sends for these fields."""
    address = client.encode("ascii")
    if len(action) > MAX_ACTION or len(address) > MAX_CLIENT:
        raise ValueError("action and client address are at most 255 bytes")
    return (bytes([len(action)]) + action + bytes([len(address)]) + address
            + struct.pack(">I", len(body)) + body)


def pack_reply(reply: bytes) -> bytes:
    """The answer frame for a reply: length, reply, completion byte."""
    if len(reply) > MAX_REPLY:
        raise ValueError("reply too long for a frame")
    return struct.pack(">I", len(reply)) + reply + b"\0"


def read_exact(connection: socket.socket, size: int,
               end_allowed: bool = False) -> bytes | None:
    """Exactly size bytes, however the kernel splits them.

    Returns None when the channel ends before the first byte and
    end_allowed is true; raises ChannelClosed when it ends anywhere else.
    """
    data = bytearray()
    while len(data) < size:
        chunk = connection.recv(size - len(data))
        if not chunk:
            if not data and end_allowed:
                return None
            raise ChannelClosed("the channel was closed inside a frame")
        data += chunk
    return bytes(data)


def _read(connection: socket.socket, size: int) -> bytes:
    data = read_exact(connection, size)
    assert data is not None
    return data


class Channel:
    """The worker's end of the channel: reads requests, writes answers."""

    def __init__(self, connection: socket.socket | int) -> None:
        """Takes a connected socket or the number of its descriptor."""
        if isinstance(connection, int):
            connection = socket.socket(fileno=connection)
        self._socket = connection

    def read(self) -> Request | None:
        """The next request, or None when the service closed the channel
        between two requests."""
        size = read_exact(self._socket, 1, end_allowed=True)
        if size is None:
            return None
        action = _read(self._socket, size[0])
        client = _read(self._socket, _read(self._socket, 1)[0])
        (body_size,) = struct.unpack(">I", _read(self._socket, 4))
        body = _read(self._socket, body_size)
        return Request(action, client.decode("ascii", "replace"), body)

    def reply(self, reply: bytes) -> None:
        """Sends the reply and the completion byte in one write."""
        self._socket.sendall(pack_reply(reply))

    def close(self) -> None:
        self._socket.close()
