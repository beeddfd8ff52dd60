"""The man pages as built: each renders without a warning from groff -ww and
from man, and each says what the program's --help, the kits and docs/ say.

ORV_MAN_DIR is the build's man directory, ORV_TASK_SERVICE the daemon."""

import gzip
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
MAN_DIR = os.environ.get("ORV_MAN_DIR", os.path.join(SOURCE, "build", "man"))
DAEMON = os.environ.get("ORV_TASK_SERVICE", os.path.join(SOURCE, "build", "ts", "orv-task-service"))
PAGES = {"orv-task-service": 8, "orv-root-wrapper": 8, "orv-worker": 7}

sys.path.insert(0, os.path.join(SOURCE, "examples", "python"))
import orv_worker  # noqa: E402
import orv_worker.testing  # noqa: E402,F401


def run(command: list[str], env: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)


def page_path(name: str) -> str:
    return os.path.join(MAN_DIR, f"{name}.{PAGES[name]}.gz")


def rendered(name: str) -> str:
    done = run(["man", "-l", page_path(name)], dict(os.environ, MANWIDTH="250", MANPAGER="cat"))
    assert done.returncode == 0, done.stderr
    return done.stdout


def section(text: str, heading: str) -> str:
    """The body of one section of a rendered page."""
    match = re.search(rf"^{heading}\n(.*?)(?=^\S|\Z)", text, re.M | re.S)
    assert match, f"no section {heading}"
    return match.group(1)


def read(*path: str) -> str:
    with open(os.path.join(SOURCE, *path)) as file:
        return file.read()


OPTION = r"--[a-z][a-z-]+"


class Rendering(unittest.TestCase):
    def test_groff_and_man_render_each_page_without_warnings(self) -> None:
        with tempfile.TemporaryDirectory() as directory:
            for name, number in PAGES.items():
                with self.subTest(name):
                    roff = os.path.join(directory, f"{name}.{number}")
                    with gzip.open(page_path(name), "rt") as compressed, open(roff, "w") as plain:
                        plain.write(compressed.read())
                    groff = run(["groff", "-ww", "-man", "-Tutf8", "-z", roff])
                    self.assertEqual((groff.returncode, groff.stderr), (0, ""))
                    man = run(["man", "--warnings=w", "-l", page_path(name)],
                              dict(os.environ, MANWIDTH="80", MANPAGER="cat"))
                    self.assertEqual((man.returncode, man.stderr), (0, ""))
                    self.assertRegex(man.stdout, rf"^{name}\({number}\)")
                    self.assertRegex(section(man.stdout, "NAME"), rf"^\s+{name} - \w")

    def test_the_pages_name_each_other_and_the_docs(self) -> None:
        for name, docs in (("orv-task-service", "operations.md"), ("orv-root-wrapper", "root-wrapper.md"),
                           ("orv-worker", "worker-protocol.md")):
            with self.subTest(name):
                see_also = " ".join(section(rendered(name), "SEE ALSO").split())
                self.assertRegex(see_also, rf"/share/doc/orv/docs/{docs} ")
                for other in set(PAGES) - {name}:
                    if (name, other) != ("orv-worker", "orv-root-wrapper"):
                        self.assertIn(f"{other}({PAGES[other]})", see_also)


class SameAsTheProgramsAndDocs(unittest.TestCase):
    def test_daemon_options_agree_with_help_and_operations_guide(self) -> None:
        help_text = run([DAEMON, "--help"]).stdout
        from_help = set(re.findall(OPTION, help_text.split("Options", 1)[1].split("Signals:", 1)[0]))
        self.assertIn("--status-listen", from_help)
        from_page = set(re.findall(OPTION, section(rendered("orv-task-service"), "OPTIONS")))
        guide = read("docs", "operations.md")
        table = guide.split("## Options", 1)[1].split("\n## ", 1)[0]
        from_guide = set(re.findall(OPTION, table))
        self.assertEqual(from_page, from_help, "orv-task-service(8) against --help")
        self.assertEqual(from_guide, from_help, "docs/operations.md against --help")

    def test_wrapper_exit_statuses_agree_with_its_docs(self) -> None:
        table = read("docs", "root-wrapper.md").split("## Exit statuses", 1)[1]
        from_docs = set(re.findall(r"^\| (\d+) \|", table, re.M))
        page = section(rendered("orv-root-wrapper"), "EXIT STATUS")
        from_page = set(re.findall(r"^\s+(\d+)\s*$", page, re.M))
        self.assertEqual(from_page, from_docs)

    def test_the_kit_names_the_worker_page_uses_exist(self) -> None:
        text = rendered("orv-worker")
        header = read("examples", "orv_worker.hpp")
        cpp = set(re.findall(r"orv_worker::(\w+)", text))
        python = set(re.findall(r"orv_worker\.(\w+)", text)) - {"hpp"}
        self.assertEqual(cpp, {"serve", "Request", "json_string"})
        for name in sorted(cpp):
            with self.subTest(name):
                self.assertRegex(header, rf"\b(struct|inline [\w:]+) {name}\b")
        self.assertTrue({"serve", "Request", "testing"} <= python)
        for name in sorted(python):
            with self.subTest(name):
                self.assertTrue(hasattr(orv_worker, name), name)
        for name in ("Client", "WorkerProcess"):
            self.assertTrue(hasattr(orv_worker.testing, name), name)
            self.assertIn(f"({name})", text)
        # The request fields each kit's paragraph lists.
        cpp_fields = re.search(r"orv_worker::Request \(([^)]*)\)", text).group(1).split(", ")
        self.assertEqual(cpp_fields, re.findall(r"std::string (\w+);",
                                                header.split("struct Request {", 1)[1].split("};", 1)[0]))
        python_fields = re.search(r"orv_worker\.Request \(([^)]*)\)", text).group(1).split(", ")
        self.assertEqual(python_fields, ["action", "raw_action", "client", "body", "and json("])
        for field in ("action", "raw_action", "client", "body", "json"):
            self.assertTrue(hasattr(orv_worker.Request, field) or
                            field in orv_worker.Request.__dataclass_fields__, field)


if __name__ == "__main__":
    unittest.main()
