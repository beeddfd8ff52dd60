"""Worker kit for the orv task service, standard library only.

orv-task-service starts a worker program as
``PROGRAM SERVICE GROUP NUMBER FD [ARG...]`` and sends it requests over the
UNIX stream socket FD. serve() reads each request, calls your handler and
sends back what it returns::

    import sys
    import orv_worker

    def handle(request: orv_worker.Request) -> dict:
        return {"hello": request.client}

    sys.exit(orv_worker.serve(handle))

A handler returns str (sent as UTF-8), bytes (sent as they are), or a dict
or list (sent as compact JSON). orv_worker.testing drives a handler or a
worker program the way the daemon does. docs/worker-protocol.md describes
the protocol.
"""

from .protocol import Channel, ChannelClosed, Request
from .serving import Handler, ReplyError, Result, encode_reply, serve, serve_channel

__version__ = "1.0.0"

__all__ = ["Channel", "ChannelClosed", "Handler", "ReplyError", "Request", "Result",
           "encode_reply", "serve", "serve_channel", "__version__"]
