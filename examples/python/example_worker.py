#!/usr/bin/env python3
"""An example worker: answers {"action": ..., "client": ..., "body": ...}
with the body embedded as a string, like the bundled orv-echo-worker."""

import json
import sys

import orv_worker


def handle(request):
    return json.dumps(
        {
            "action": request.action,
            "client": request.client,
            "body": request.body.decode("utf-8", "replace"),
        },
        ensure_ascii=False,
        separators=(",", ":"),
    )


if __name__ == "__main__":
    sys.exit(orv_worker.serve(handle))
