"""The Debian package that scripts/package.sh builds: what it holds, what
lintian says of it, and (as root) installing it, running the installed
daemon with the installed workers and kits, and purging it again.

ORV_DEB names the package, ORV_DDEB its debug symbols package."""

import os
import re
import shutil
import stat
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))

from daemon import fresh_env, run, serve  # noqa: E402
from private_mounts import throwaway_system  # noqa: E402
from test_first_worker import write_doc_files  # noqa: E402

DEB = os.environ.get("ORV_DEB", "")
DDEB = os.environ.get("ORV_DDEB", "")
PACKAGE = "orv"


def contents(package: str) -> dict[str, tuple[str, str, int, str]]:
    """Path (without the leading '.') -> (mode, owner, size, link target)."""
    entries = {}
    for line in run(["dpkg-deb", "--contents", package]).stdout.splitlines():
        mode, owner, size, _date, _time, name = line.split(None, 5)
        name, _, target = name.partition(" -> ")
        entries[name[1:].rstrip("/") or "/"] = (mode, owner, int(size), target)
    return entries


def control_field(package: str, field: str) -> str:
    return run(["dpkg-deb", "--field", package, field]).stdout.strip()


def extract(package: str, directory: str) -> str:
    run(["dpkg-deb", "--extract", package, directory])
    return directory


# Every file the package must hold, with its mode; all belong to root.
DOCS = [f"docs/{name}" for name in sorted(os.listdir(os.path.join(HERE, "..", "..", "docs"))) if name.endswith(".md")]
EXPECTED = [("/usr/bin/orv-root-wrapper", "-rwsr-xr-x")] + [(path, "-rwxr-xr-x") for path in (
    "/usr/bin/orv-task-service", "/usr/lib/orv/orv-echo-worker", "/usr/lib/orv/example_worker.py")] + [
    (path, "-rw-r--r--") for path in (
        "/usr/include/orv/orv_worker.hpp", "/usr/share/pkgconfig/orv-worker.pc",
        *(f"/usr/share/cmake/orv-worker/orv-worker-{name}.cmake" for name in ("config", "config-version", "targets")),
        *(f"/usr/lib/python3/dist-packages/orv_worker/{name}"
          for name in ("__init__.py", "protocol.py", "serving.py", "testing.py", "py.typed")),
        "/lib/systemd/system/orv-task-service@.service", "/lib/systemd/system/orv-task-service@.socket", "/etc/orv/orv-task-service.env.example",
        "/etc/logrotate.d/orv-task-service", "/etc/orv-root-wrapper.conf.example",
        "/usr/share/man/man8/orv-task-service.8.gz", "/usr/share/man/man8/orv-root-wrapper.8.gz",
        "/usr/share/man/man7/orv-worker.7.gz",
        *(f"/usr/share/doc/orv/{name}" for name in ("README.md", "changelog.gz", "copyright", *DOCS)))]

# Paths the package must never hold, and why.
FORBIDDEN = [
    (r"/etc/orv-root-wrapper\.conf", "the live allow-list: without it nothing is allowed"),
    (r"/var(/.*)?", "/var/log/orv is made by postinst, so that it survives a removal"),
    (r"/usr/local(/.*)?", "a package installs below /usr"),
    (r"/usr/libexec(/.*)?", "the workers go to /usr/lib/orv"),
    (r"/usr/lib/systemd(/.*)?", "Debian 12 looks for units in /lib/systemd/system"),
    (r".*/__pycache__(/.*)?|.*\.pyc", "byte code is compiled on the machine"),
]

# Absolute paths the man pages name that are no file of the package, and why.
NAMED_ELSEWHERE = {
    "/etc/orv-root-wrapper.conf": "the administrator writes it",
    "/etc/orv/billing.env": "an example instance's settings",
    "/usr/bin/python3": "Debian's python3",
    "/usr/local": "where cmake --install puts orv",
    "/usr/local/sbin/bk": "in the example allow-list",
    "/usr/local/bin/rep": "in the example allow-list",
}

# What lintian may say of the packages at warning level, and why; any error
# or other warning fails.
ACCEPTED_WARNINGS = {
    "elevated-privileges 4755 root/root [usr/bin/orv-root-wrapper]":
        "orv-root-wrapper is set-user-ID root by design",
}

ELF_MAGIC = b"\x7fELF"


@unittest.skipUnless(DEB and os.path.isfile(DEB), f"no package at ORV_DEB={DEB!r}")
class Contents(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.entries = contents(DEB)
        cls.root = tempfile.mkdtemp(prefix="orv-deb-contents-")
        extract(DEB, cls.root)

    @classmethod
    def tearDownClass(cls) -> None:
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_every_expected_file_with_its_mode_and_everything_root_s(self) -> None:
        for path, mode in EXPECTED:
            with self.subTest(path):
                self.assertEqual(self.entries.get(path, ("missing",))[0], mode)
        for path, (mode, owner, _size, _target) in self.entries.items():
            with self.subTest(path):
                self.assertEqual(owner, "root/root")
                if mode.startswith("d"):
                    self.assertEqual(mode, "drwxr-xr-x")

    def test_no_forbidden_path(self) -> None:
        for pattern, why in FORBIDDEN:
            with self.subTest(pattern):
                found = [path for path in self.entries if re.fullmatch(pattern, path)]
                self.assertEqual(found, [], why)

    def test_programs_are_stripped_and_small(self) -> None:
        programs = [path for path in self.entries if self.entries[path][0].startswith("-")
                    and open(self.root + path, "rb").read(4) == ELF_MAGIC]
        self.assertEqual(sorted(programs), ["/usr/bin/orv-root-wrapper", "/usr/bin/orv-task-service",
                                            "/usr/lib/orv/orv-echo-worker"])
        for path in programs:
            with self.subTest(path):
                sections = run(["readelf", "--section-headers", "--wide", self.root + path]).stdout
                for section in (".symtab", ".debug_info", ".comment"):
                    self.assertNotIn(f" {section} ", sections)
                self.assertIn(" .gnu_debuglink ", sections)
                self.assertLess(self.entries[path][2], 2 * 1024 * 1024)

    def test_debug_symbols_package_matches_the_programs(self) -> None:
        if not (DDEB and os.path.isfile(DDEB)):
            self.skipTest(f"no debug symbols package at ORV_DDEB={DDEB!r}")
        build_ids = control_field(DDEB, "Build-Ids").split()
        self.assertEqual(len(build_ids), 3)
        entries = contents(DDEB)
        debug_files = {path for path in entries if path.endswith(".debug")}
        self.assertEqual(debug_files, {f"/usr/lib/debug/.build-id/{i[:2]}/{i[2:]}.debug" for i in build_ids})
        self.assertEqual({entries[path][:2] for path in debug_files}, {("-rw-r--r--", "root/root")})
        self.assertEqual(entries["/usr/share/doc/orv-dbgsym"][3], "orv")
        self.assertEqual(control_field(DDEB, "Depends"), f"{PACKAGE} (= {control_field(DEB, 'Version')})")
        for path in ("/usr/bin/orv-task-service", "/usr/bin/orv-root-wrapper", "/usr/lib/orv/orv-echo-worker"):
            with self.subTest(path):
                notes = run(["readelf", "--notes", self.root + path]).stdout
                self.assertIn(re.search(r"Build ID: (\w+)", notes).group(1), build_ids)

    def test_control_fields(self) -> None:
        depends = [d.split()[0] for d in control_field(DEB, "Depends").split(", ")]
        for package in ("python3", "libc6", "libstdc++6", "libboost-program-options1.74.0",
                        "libgoogle-glog0v6", "libsystemd0", "libcap2"):
            with self.subTest(package):
                self.assertIn(package, depends)
        self.assertEqual(control_field(DEB, "Package"), PACKAGE)
        self.assertRegex(os.path.basename(DEB), rf"^{PACKAGE}_{re.escape(control_field(DEB, 'Version'))}_amd64\.deb$")

    def test_every_file_in_etc_is_a_conffile(self) -> None:
        conffiles = run(["dpkg-deb", "--info", DEB, "conffiles"]).stdout.split()
        in_etc = [path for path, entry in self.entries.items()
                  if path.startswith("/etc/") and entry[0].startswith("-")]
        self.assertEqual(sorted(conffiles), sorted(in_etc))

    def test_maintainer_scripts_start_nothing(self) -> None:
        control = tempfile.mkdtemp(dir=self.root)
        run(["dpkg-deb", "--control", DEB, control])
        scripts = {name: open(os.path.join(control, name)).read()
                   for name in ("postinst", "prerm", "postrm")}
        for name, text in scripts.items():
            with self.subTest(name):
                self.assertTrue(os.stat(os.path.join(control, name)).st_mode & stat.S_IXUSR)
                self.assertTrue(text.startswith("#!/bin/sh\n"))
                self.assertIn("\nset -e\n", text)
                for line in text.splitlines():
                    if "systemctl" in line and not line.lstrip().startswith("#"):
                        self.assertRegex(line, r"^\s*systemctl --system daemon-reload >/dev/null \|\| true$")
                self.assertNotRegex(text, r"\b(start|enable|deb-systemd-invoke|invoke-rc\.d)\b")
        run(["sh", "-n", os.path.join(control, "postinst")])
        self.assertIn("mkdir -m 0755 /var/log/orv", scripts["postinst"])
        self.assertIn("rm -rf /var/log/orv", scripts["postrm"])

    def test_man_pages_name_only_paths_the_package_holds(self) -> None:
        named = set()
        for page in ("man8/orv-task-service.8.gz", "man8/orv-root-wrapper.8.gz", "man7/orv-worker.7.gz"):
            text = run(["man", "-l", f"{self.root}/usr/share/man/{page}"],
                       env=dict(os.environ, MANWIDTH="250", MANPAGER="cat")).stdout
            named |= set(re.findall(r"(?<![\w.])(/(?:usr|etc|lib)/[\w.@/-]*[\w@/])", text))
        self.assertIn("/usr/lib/orv/orv-echo-worker", named)
        for path in sorted(named - set(NAMED_ELSEWHERE)):
            with self.subTest(path):
                if re.search(r"[A-Z]{3,}", path):  # SERVICE, NAME: a placeholder
                    continue
                self.assertTrue(path.rstrip("/") in self.entries, f"{path} is not in the package")

    def test_lintian_has_no_error_and_only_accepted_warnings(self) -> None:
        packages = [DEB] + ([DDEB] if DDEB and os.path.isfile(DDEB) else [])
        # Whatever lintianrc or LINTIAN_* the machine has, the defaults judge.
        output = run(["lintian", "--no-cfg", "--ignore-lintian-env", "--tag-display-limit", "0", *packages],
                     check=False).stdout
        tags = [line for line in output.splitlines() if re.match(r"^[EW]: ", line)]
        unexpected = [line for line in tags
                      if line.startswith("E: ") or line.split(": ", 2)[2] not in ACCEPTED_WARNINGS]
        self.assertEqual(unexpected, [], output)


# Installing into a throwaway copy of the system.

def installed() -> bool:
    done = run(["dpkg-query", "--show", "--showformat=${db:Status-Status}", PACKAGE], check=False)
    return done.returncode == 0 and done.stdout not in ("", "not-installed")


def purge() -> None:
    run(["dpkg", "--purge", PACKAGE], env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), timeout=120)


def orv_paths() -> set[str]:
    """Every path below /usr, /etc and /var whose name holds "orv" (with
    /lib merged into /usr on Debian 12, /lib is /usr/lib)."""
    found = run(["find", "/usr", "/etc", "/var", "-path", "/var/tmp", "-prune", "-o",
                 "-name", "*orv*", "-print"], check=False).stdout
    return set(found.split("\n")) - {""}


@unittest.skipUnless(DEB and os.path.isfile(DEB), f"no package at ORV_DEB={DEB!r}")
@unittest.skipUnless(os.geteuid() == 0, "installing a package needs root")
class Installed(unittest.TestCase):
    """dpkg -i, the installed programs and kits at work, dpkg --purge: one
    test, since each step needs the one before. All of it happens in a
    throwaway copy of the system that goes with the test's process, so an
    orv package that the machine has is purged there first and stays
    installed outside, and nothing under /usr/local is found."""

    def setUp(self) -> None:
        throwaway_system()
        if installed():
            purge()
        self.before = orv_paths()
        self.work = tempfile.mkdtemp(prefix="orv-deb-installed-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.env = fresh_env()

    def serve(self, worker: str, exchanges: list[tuple[str, bytes, bytes]]) -> None:
        serve(self, "/usr/bin/orv-task-service", worker, self.env, exchanges)

    def test_install_serve_and_purge(self) -> None:
        run(["dpkg", "--install", DEB], env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), timeout=120)

        with self.subTest("installed files"):
            self.assertEqual(run(["dpkg", "--verify", PACKAGE], check=False).stdout, "")
            listed = set(run(["dpkg", "--listfiles", PACKAGE]).stdout.split("\n"))
            for path, mode in EXPECTED:
                with self.subTest(path):
                    self.assertIn(path, listed)
                    status = os.lstat(path)
                    self.assertEqual((stat.filemode(status.st_mode), status.st_uid, status.st_gid), (mode, 0, 0))
            log_dir = os.stat("/var/log/orv")
            self.assertEqual((stat.S_IMODE(log_dir.st_mode), log_dir.st_uid), (0o755, 0))
            self.assertNotEqual(run(["dpkg", "--search", "/etc/orv-root-wrapper.conf"], check=False).returncode, 0)
            # What a user types finds the package's files.
            self.assertEqual(run(["man", "--where", "orv-task-service"]).stdout.strip(),
                             "/usr/share/man/man8/orv-task-service.8.gz")
            self.assertEqual(shutil.which("orv-task-service", path=self.env["PATH"]), "/usr/bin/orv-task-service")
            self.assertIn("orv-task-service 1.0.0", run(["orv-task-service", "--version"], env=self.env).stdout)

        with self.subTest("the installed Python example worker"):
            self.serve("/usr/lib/orv/example_worker.py", [
                ("hello", b'{"n": 1}', b'{"action":"hello","client":"127.0.0.1","body":"{\\"n\\": 1}"}'),
            ])

        with self.subTest("the first Python worker of the docs, with the installed kit"):
            directory = write_doc_files(os.path.join(self.work, "python"),
                                             "hello_worker.py", "test_hello_worker.py")
            run(["/usr/bin/python3", "-m", "unittest", "-q", "test_hello_worker"], self.env, directory)
            self.serve(os.path.join(directory, "hello_worker.py"), [
                ("greet", b"{}", b'{"hello":"world","action":"greet"}'),
            ])

        with self.subTest("the first C++ worker of the docs, with the installed kit"):
            directory = write_doc_files(os.path.join(self.work, "cpp"), "hello_worker.cpp",
                                             "CMakeLists.txt", "build-with-cmake.sh", "build-with-pkg-config.sh")
            # /usr/include is searched anyway, so pkg-config leaves it out.
            self.assertEqual(run(["pkg-config", "--modversion", "--cflags", "orv-worker"], self.env).stdout.split(),
                             ["1.0.0"])
            for script, program in (("build-with-pkg-config.sh", "hello-worker"),
                                    ("build-with-cmake.sh", "build/hello-worker")):
                run(["sh", "-e", script], self.env, directory)
                self.serve(os.path.join(directory, program), [
                    ("greet", b"{}", b'{"hello":"127.0.0.1","action":"greet"}'),
                    ("fail", b"{}", b'{"error":"asked to fail"}'),
                ])

        purge()
        self.assertFalse(os.path.exists("/var/log/orv"))
        self.assertEqual(sorted(orv_paths() - self.before), [], "left behind by dpkg --purge")
        self.assertEqual(sorted(self.before - orv_paths()), [], "removed, though not the package's")


if __name__ == "__main__":
    unittest.main()
