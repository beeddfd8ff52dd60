"""The first workers of docs/worker-protocol.md, copied verbatim from the
blocks marked <!-- first-worker: FILE -->, built against a kit installed
as the docs say, and run under the real daemon."""

import os
import re
import shutil
import sys
import tempfile
import unittest

from daemon import fresh_env, run, serve
from private_mounts import without_usr_local

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("ORV_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..")))
BUILD = os.environ.get("ORV_BUILD_DIR", os.path.join(SOURCE, "build"))
DAEMON = os.environ.get("ORV_TASK_SERVICE", os.path.join(BUILD, "ts", "orv-task-service"))
SITE_DIR_SCRIPT = os.path.join(SOURCE, "cmake", "python_site_dir.py")


def doc_files() -> dict[str, str]:
    with open(os.path.join(SOURCE, "docs", "worker-protocol.md")) as file:
        text = file.read()
    return dict(re.findall(r"<!-- first-worker: (\S+) -->\n```\w*\n(.*?)```\n", text, re.S))


def site_dir(prefix: str) -> str:
    """Where Debian's python3 looks for packages installed under prefix."""
    return run([sys.executable, "-I", SITE_DIR_SCRIPT, prefix]).stdout.strip()


def configured_prefix() -> str:
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        return re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", cache.read(), re.M).group(1)


def write_doc_files(directory: str, *names: str) -> str:
    """The named first-worker files of the docs, executable, in directory."""
    files = doc_files()
    os.makedirs(directory, exist_ok=True)
    for name in names:
        if name not in files:
            raise AssertionError(f"docs/worker-protocol.md lost the first-worker block {name}")
        path = os.path.join(directory, name)
        with open(path, "w") as file:
            file.write(files[name])
        os.chmod(path, 0o755)
    return directory


def setUpModule() -> None:
    # A kit that `cmake --install` put into /usr/local would be found where
    # the one the test installed is missing a file.
    without_usr_local()


class FirstWorker(unittest.TestCase):
    def setUp(self) -> None:
        self.root = tempfile.mkdtemp(prefix="orv-first-worker-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.base = self.root
        self.env = fresh_env()

    def write_doc_files(self, *names: str) -> str:
        return write_doc_files(os.path.join(self.base, "worker"), *names)

    def install(self, component: str) -> str:
        prefix = os.path.join(self.base, "prefix")
        run(["cmake", "--install", BUILD, "--prefix", prefix, "--component", component])
        return prefix

    def test_python_worker(self) -> None:
        """After `cmake --install --prefix` (PYTHONPATH as the docs say) and
        after a pip install, the documented test passes and the worker serves."""
        def cmake_install() -> str:
            prefix = self.install("worker-kit-python")
            return os.path.join(prefix, site_dir(configured_prefix()))

        def pip_install() -> str:
            source = shutil.copytree(os.path.join(SOURCE, "examples", "python"),
                                     os.path.join(self.base, "kit-source"))
            target = os.path.join(self.base, "pip-target")
            run([sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation",
                 "--no-index", "--disable-pip-version-check", "--target", target, source])
            return target

        for install in (cmake_install, pip_install):
            with self.subTest(install.__name__):
                self.base = tempfile.mkdtemp(dir=self.root)
                directory = self.write_doc_files("hello_worker.py", "test_hello_worker.py")
                env = dict(self.env, PYTHONPATH=install())
                self.assertTrue(os.path.isfile(os.path.join(env["PYTHONPATH"], "orv_worker", "testing.py")))
                run([sys.executable, "-m", "unittest", "-q", "test_hello_worker"], env, directory)
                serve(self, DAEMON, os.path.join(directory, "hello_worker.py"), env, [
                    ("greet", b"{}", b'{"hello":"world","action":"greet"}'),
                    ("greet", b"[1]", b'{"error":"\'list\' object has no attribute \'get\'"}'),
                ], {
                    "stdout.log": ["greeting world for 127.0.0.1\n"],
                    "stderr.log": ["Traceback (most recent call last):",
                                   "AttributeError: 'list' object has no attribute 'get'\n"],
                })

    def test_cpp_worker(self) -> None:
        """Built with the documented CMakeLists.txt and with the documented
        pkg-config command line against `cmake --install --prefix`."""
        prefix = self.install("worker-kit-cpp")
        env = dict(self.env, CMAKE_PREFIX_PATH=prefix,
                   PKG_CONFIG_PATH=os.path.join(prefix, "share", "pkgconfig"))
        self.assertEqual(run(["pkg-config", "--cflags", "orv-worker"], env).stdout.split(),
                         [f"-I{prefix}/include"])
        directory = self.write_doc_files("hello_worker.cpp", "CMakeLists.txt",
                                         "build-with-cmake.sh", "build-with-pkg-config.sh")
        for script, program in (("build-with-cmake.sh", "build/hello-worker"),
                                ("build-with-pkg-config.sh", "hello-worker")):
            with self.subTest(script):
                run(["sh", "-e", script], env, directory)
                serve(self, DAEMON, os.path.join(directory, program), env, [
                    ("greet", b"{}", b'{"hello":"127.0.0.1","action":"greet"}'),
                    ("fail", b"{}", b'{"error":"asked to fail"}'),
                ], {
                    "stderr.log": ['hello-worker [', ']: action "fail": the handler failed: "asked to fail"\n'],
                })


class SiteDirectory(unittest.TestCase):
    @unittest.skipUnless(sys.executable == "/usr/bin/python3", "Debian's python3 only")
    def test_the_python_kit_goes_where_debians_python_looks(self) -> None:
        minor = sys.version_info.minor
        # Searched once it exists, as python3's own package makes it in /usr/local.
        site_dirs = run([sys.executable, "-I", "-c", "import site; print(*site.getsitepackages(), sep='\\n')"]).stdout
        for prefix, directory, searched in [
            ("/usr", "lib/python3/dist-packages", True),  # where the Debian package puts it
            ("/usr/local", f"lib/python3.{minor}/dist-packages", True),
            ("/opt/orv", f"lib/python3.{minor}/site-packages", False),
        ]:
            with self.subTest(prefix):
                self.assertEqual(site_dir(prefix), directory)
                self.assertEqual(f"{prefix}/{directory}" in site_dirs.split("\n"), searched)


if __name__ == "__main__":
    unittest.main()
