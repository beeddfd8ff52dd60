#!/usr/bin/python3
"""An example worker: answers {"action": ..., "client": ..., "body": ...}
with the body embedded as a string, like the bundled orv-echo-worker."""

import sys

import orv_worker


def handle(request: orv_worker.Request) -> dict:
    return {
        "action": request.action,
        "client": request.client,
        "body": request.body.decode("utf-8", "replace"),
    }


if __name__ == "__main__":
    sys.exit(orv_worker.serve(handle))
