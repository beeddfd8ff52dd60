"""Several daemons behind HAProxy, restarted one at a time under load, and a
real Prometheus server scraping a daemon's status listener. Everything runs
on loopback ports of its own, with logs and data in temporary directories,
and every process started here is stopped by its pid."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest
import urllib.request

from daemon import free_port, poll
from private_mounts import without_usr_local

BUILD = os.environ["ORV_BUILD_DIR"]
SOURCE = os.environ["ORV_SOURCE_DIR"]
DAEMON = os.environ["ORV_TASK_SERVICE"]
TEST_WORKER = os.path.join(BUILD, "tests", "ts", "ts_test_worker")
EXAMPLE = os.path.join(SOURCE, "examples", "haproxy")


def fetch(url: str) -> str:
    try:
        with urllib.request.urlopen(url, timeout=2) as reply:
            return reply.read().decode()
    except OSError:
        return ""


def setUpModule() -> None:
    without_usr_local()  # haproxy, prometheus, ab and curl are Debian's


class Scaling(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orv-scaling-")
        self.daemon_pid_files = []
        self.addCleanup(self.stop_daemons)  # after the processes started below

    def start(self, argv, **kwargs) -> subprocess.Popen:
        """A process of the test's, killed by its pid at the end."""
        process = subprocess.Popen(argv, **kwargs)

        def stop():
            if process.poll() is None:
                process.kill()
            process.wait(timeout=10)
        self.addCleanup(stop)
        return process

    def stop_daemons(self):
        for pid_file in self.daemon_pid_files:
            try:
                with open(pid_file) as f:
                    os.kill(int(f.read()), signal.SIGKILL)
            except (OSError, ValueError):
                pass
        if not os.environ.get("ORV_KEEP_LOGS"):
            shutil.rmtree(self.dir, ignore_errors=True)

    def daemon_command(self, name: str, port: int, status_port: int, behind_proxy: bool = False) -> list:
        log_dir = os.path.join(self.dir, name)
        os.makedirs(log_dir, exist_ok=True)
        pid_file = os.path.join(log_dir, "pid")
        self.daemon_pid_files.append(pid_file)
        proxy = ["--keep-alive", "30", "--trust-proxy", "127.0.0.1", "--proxy-protocol"] if behind_proxy else []
        return [DAEMON, "--log-dir", log_dir, "--pid-file", pid_file, "--max-workers", "10", *proxy, "--status-listen", f"127.0.0.1:{status_port}", "svc", str(port), TEST_WORKER, "chatty", "one-write"]

    def test_rolling_restart_behind_haproxy_loses_nothing(self):
        ports = {name: free_port() for name in ("front", "a", "a_status", "b", "b_status", "stats")}
        daemons = []
        for name in ("a", "b"):
            command = self.daemon_command(name, ports[name], ports[name + "_status"], behind_proxy=True)
            subprocess.run(command, check=True, timeout=30)
            daemons.append(f"{name} {command[4]} http://127.0.0.1:{ports[name + '_status']}/health "
                           + " ".join(command))
        daemons_file = os.path.join(self.dir, "daemons")
        with open(daemons_file, "w") as f:
            f.write("\n".join(daemons) + "\n")

        env = dict(os.environ, ORV_FRONT=f"127.0.0.1:{ports['front']}", ORV_A=f"127.0.0.1:{ports['a']}",
                   ORV_B=f"127.0.0.1:{ports['b']}", ORV_A_STATUS_HOST="127.0.0.1",
                   ORV_A_STATUS_PORT=str(ports["a_status"]), ORV_B_STATUS_HOST="127.0.0.1",
                   ORV_B_STATUS_PORT=str(ports["b_status"]), ORV_STATS=f"127.0.0.1:{ports['stats']}",
                   HAPROXY_MAXCONN_PER_SERVER="8")
        self.start(["haproxy", "-f", os.path.join(EXAMPLE, "haproxy.cfg"), "-db"], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        stats = f"http://127.0.0.1:{ports['stats']}/"
        self.assertTrue(poll(lambda: fetch(stats + ";csv").count(",UP") >= 2, 10), fetch(stats + ";csv"))

        body = os.path.join(self.dir, "body.json")
        with open(body, "w") as f:
            f.write('{"n":1}')
        load = self.start(
            ["ab", "-q", "-t", "60", "-n", "20000", "-c", "20", "-p", body, "-T", "application/json",
             f"http://127.0.0.1:{ports['front']}/svc/x"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        restart = subprocess.run([os.path.join(EXAMPLE, "rolling-restart.sh"), daemons_file],
                                 env=dict(env, HAPROXY_STATS_URL=stats), capture_output=True, text=True,
                                 timeout=120)
        self.assertEqual(0, restart.returncode, restart.stdout + restart.stderr)
        report = load.communicate(timeout=60)[0]
        complete = int(re.search(r"Complete requests:\s+(\d+)", report).group(1))
        self.assertEqual(20000, complete, report)
        self.assertRegex(report, r"Failed requests:\s+0\n")
        self.assertNotIn("Non-2xx responses", report)

        # Every request reached a worker exactly once: the workers of every
        # daemon, old and new, wrote one line each.
        served = 0
        for name in ("a", "b"):
            for entry in os.listdir(os.path.join(self.dir, name)):
                if ".stderr.log." in entry:
                    with open(os.path.join(self.dir, name, entry)) as f:
                        served += sum(1 for line in f if line.startswith("request "))
        self.assertEqual(complete, served)

    def test_prometheus_scrapes_the_status_listener(self):
        port, status_port, prometheus_port = free_port(), free_port(), free_port()
        command = self.daemon_command("p", port, status_port)
        subprocess.run(command, check=True, timeout=30)
        subprocess.run(["curl", "-s", "-o", "/dev/null", "-X", "POST", "-H", "Content-Type: application/json",
                        "--data", "{}", f"http://127.0.0.1:{port}/svc/x"], check=True, timeout=10)
        config = os.path.join(self.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: orv\n"
                    f"    static_configs:\n      - targets: ['127.0.0.1:{status_port}']\n")
        self.start(["prometheus", f"--config.file={config}",
                              f"--storage.tsdb.path={os.path.join(self.dir, 'tsdb')}",
                              f"--web.listen-address=127.0.0.1:{prometheus_port}"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        query = (f"http://127.0.0.1:{prometheus_port}/api/v1/query?"
                 "query=orv_requests_total%7Boutcome%3D%22ok%22%7D")

        def scraped():
            text = fetch(query)
            result = json.loads(text)["data"]["result"] if text else []
            return result and result[0]["value"][1] == "1"

        self.assertTrue(poll(scraped, 30), fetch(query))


if __name__ == "__main__":
    unittest.main()
