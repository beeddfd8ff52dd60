"""`cmake --install` of the build tree (ORV_BUILD_DIR), as root: an install
into the running system creates /var/log/orv, a staged one (DESTDIR) leaves
it to the package. /var/log is a private empty tmpfs for the test; the
install into the system is of the log-directory component alone, since the
other components put files into the configured etc directory whatever the
prefix."""

import os
import shutil
import stat
import tempfile
import unittest

from test_deb import run  # puts tests/examples on the path
from private_mounts import hide_var_log  # noqa: E402

BUILD = os.environ.get("ORV_BUILD_DIR", "")


@unittest.skipUnless(BUILD and os.path.isdir(BUILD), f"no build tree at ORV_BUILD_DIR={BUILD!r}")
@unittest.skipUnless(os.geteuid() == 0, "mounting a private /var/log needs root")
class LogDirectory(unittest.TestCase):
    def setUp(self) -> None:
        hide_var_log()
        self.root = tempfile.mkdtemp(prefix="orv-install-rules-")
        self.addCleanup(shutil.rmtree, self.root, True)

    def test_created_by_an_install_and_not_by_a_staged_one(self) -> None:
        for staged in (True, False):
            with self.subTest(staged=staged):
                shutil.rmtree("/var/log/orv", ignore_errors=True)
                env = dict(os.environ)
                env.pop("DESTDIR", None)
                if staged:
                    env["DESTDIR"] = os.path.join(self.root, "stage")
                component = [] if staged else ["--component", "log-directory"]
                run(["cmake", "--install", BUILD, "--prefix", os.path.join(self.root, "prefix"), *component], env)
                if staged:
                    self.assertFalse(os.path.exists("/var/log/orv"))
                    self.assertFalse(os.path.exists(os.path.join(self.root, "stage", "var")))
                    self.assertTrue(os.path.isfile(os.path.join(
                        self.root, "stage", self.root.lstrip("/"), "prefix", "bin", "orv-task-service")))
                else:
                    log_dir = os.stat("/var/log/orv")
                    self.assertEqual((stat.S_IMODE(log_dir.st_mode), log_dir.st_uid), (0o755, 0))


if __name__ == "__main__":
    unittest.main()
