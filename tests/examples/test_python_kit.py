"""The Python worker kit, driven frame by frame as orv-task-service drives it."""

import os
import sys
import tempfile
import unittest

KIT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    "..", "..", "examples", "python"))
sys.path.insert(0, KIT)

from orv_worker import protocol  # noqa: E402
from orv_worker.testing import Client, WorkerGone, WorkerProcess  # noqa: E402


class Frames(unittest.TestCase):
    def test_frames_match_the_documented_bytes(self) -> None:
        self.assertEqual(protocol.pack_request(b"run", "192.0.2.7", b"{}"),
                         bytes.fromhex("0372756e 09 3139322e302e322e37 00000002 7b7d"))
        answer = protocol.pack_reply(b'{"ok":true}')
        self.assertEqual(answer[:-1], bytes.fromhex("0000000b") + b'{"ok":true}')
        self.assertEqual(len(answer), 16)

    def test_fields_reach_the_handler_unchanged(self) -> None:
        cases = [
            (b"run", "192.0.2.7", b"{}"),
            (b"", "fe80::1%eth0", b""),
            (b"a/\xff\xfe/" + b"x" * 250, "2001:db8::1", bytes(range(256)) * 1000),
        ]
        seen = []
        with Client(lambda request: seen.append(request) or "ok") as client:
            for action, address, body in cases:
                self.assertEqual(client.request(action, body, address).body, b"ok")
        self.assertEqual([(r.raw_action, r.client, r.body) for r in seen], cases)
        self.assertEqual(seen[2].action, "a/\ufffd\ufffd/" + "x" * 250)


def fail(error: Exception):
    raise error


RESULTS = {  # action: (handler result, reply bytes)
    "text": ("h\u00e9llo \U0001f600", "h\u00e9llo \U0001f600".encode()),
    "empty": ("", b""),
    "bytes": (b"\x00\xff raw", b"\x00\xff raw"),
    "dict": ({"a": [1, 2.5, None, True], "\u00e9": "\u20ac"},
             '{"a":[1,2.5,null,true],"\u00e9":"\u20ac"}'.encode()),
    "list": ([], b"[]"),
}

FAILURES = {  # action: (handler, error message the client gets)
    "none": (lambda: None,
             "the handler returned NoneType; a reply is str, bytes, dict or list"),
    "int": (lambda: 42, "the handler returned int; a reply is str, bytes, dict or list"),
    "tuple": (lambda: ("a",), "the handler returned tuple; a reply is str, bytes, dict or list"),
    "set-inside": (lambda: {"s": {1}},
                   "the handler's reply cannot be sent: Object of type set is not JSON serializable"),
    "nan": (lambda: [float("nan")],
            "the handler's reply cannot be sent: Out of range float values are not JSON compliant"),
    "surrogate": (lambda: "\ud800", "the handler's reply cannot be sent: 'utf-8' codec can't "
                  "encode character '\\ud800' in position 0: surrogates not allowed"),
    "raises": (lambda: fail(ValueError("bad value \u00e9")), "bad value \u00e9"),
    "raises-empty": (lambda: fail(KeyError("name")), "'name'"),
}


class Replies(unittest.TestCase):
    def test_each_result_type_is_sent_as_documented(self) -> None:
        with Client(lambda request: RESULTS[request.action][0]) as client:
            for action, (_, expected) in RESULTS.items():
                with self.subTest(action):
                    reply = client.request(action)
                    self.assertEqual(reply.body, expected)
                    self.assertTrue(reply.complete)
            self.assertEqual(client.log, "")

    def test_a_failure_answers_an_error_logs_it_and_the_worker_goes_on(self) -> None:
        def handle(request):
            return FAILURES[request.action][0]() if request.action in FAILURES else "fine"

        with Client(handle) as client:
            for action, (_, message) in FAILURES.items():
                with self.subTest(action):
                    self.assertEqual(client.request(action).json(), {"error": message})
                    self.assertIn(f"worker: action {action!r}: ", client.log)
                    self.assertEqual(client.request("next").body, b"fine")
            self.assertEqual(client.log.count("Traceback (most recent call last)"), 2)
            self.assertIn("ValueError: bad value \u00e9\n", client.log)
        self.assertEqual(client.status, 0)


WORKER = """\
import os
import signal
import sys

import orv_worker


def handle(request):
    if request.action == "print":
        print("a printed line")
    elif request.action == "print-unfinished":
        print("no newline yet", end="")
    elif request.action == "sigterm":
        os.kill(os.getpid(), signal.SIGTERM)
        print("handler finished")
    elif request.action == "raise":
        raise RuntimeError("boom")
    elif request.action == "die":
        os._exit(3)
    return {"done": request.action}


sys.exit(orv_worker.serve(handle))
"""


class WorkerProgram(unittest.TestCase):
    """A worker program under the conditions the daemon gives it."""

    @classmethod
    def setUpClass(cls) -> None:
        cls.directory = tempfile.TemporaryDirectory()
        cls.program = os.path.join(cls.directory.name, "worker.py")
        with open(cls.program, "w") as file:
            file.write(f"#!{sys.executable}\n" + WORKER)
        os.chmod(cls.program, 0o755)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.directory.cleanup()

    def start(self) -> WorkerProcess:
        worker = WorkerProcess(self.program, env={"PYTHONPATH": KIT})
        self.addCleanup(worker.__exit__)
        return worker

    def test_printed_lines_arrive_while_the_worker_waits(self) -> None:
        worker = self.start()
        self.assertEqual(worker.request("print").json(), {"done": "print"})
        self.assertTrue(worker.wait_for_output("a printed line\n"))
        self.assertIsNone(worker.process.poll())

    def test_sigterm_ends_the_worker_with_status_0_and_flushes(self) -> None:
        cases = [  # actions before SIGTERM, whether the test sends it, output
            (["print-unfinished"], True, "no newline yet"),
            (["print-unfinished", "sigterm"], False, "no newline yethandler finished\n"),
        ]
        for actions, send, output in cases:
            with self.subTest(actions):
                worker = self.start()
                for action in actions:
                    reply = worker.request(action)
                    self.assertEqual(reply.json(), {"done": action})
                    self.assertTrue(reply.complete)
                status = worker.terminate() if send else worker.process.wait(worker.timeout)
                self.assertEqual(status, 0)
                self.assertEqual(worker.output(), output)
                self.assertEqual(worker.output("stderr"), "")

    def test_a_traceback_goes_to_standard_error(self) -> None:
        worker = self.start()
        self.assertEqual(worker.request("raise").json(), {"error": "boom"})
        self.assertEqual(worker.request("next").json(), {"done": "next"})
        self.assertEqual(worker.close(), 0)
        log = worker.output("stderr")
        self.assertIn(f"worker.py [{worker.process.pid}]: action 'raise': the handler failed\n"
                      "Traceback (most recent call last):\n", log)
        self.assertTrue(log.endswith("RuntimeError: boom\n"), log)

    def test_a_worker_that_dies_is_reported_as_gone(self) -> None:
        worker = self.start()
        with self.assertRaises(WorkerGone):
            worker.request("die")
        self.assertEqual(worker.process.wait(worker.timeout), 3)


if __name__ == "__main__":
    unittest.main()
