"""The run command: a service of its own over HTTPS, the wizard against it, and clean ends."""

import os
import shutil
import signal
import socket
import subprocess
import time
import unittest
import urllib.parse

from pelloran_e2e import driver
from pelloran_e2e import road

SOURCE = os.environ.get("PELLORAN_SOURCE_DIR",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD = os.environ.get("PELLORAN_BUILD_DIR", os.path.join(SOURCE, "build"))
RUN = os.path.join(SOURCE, "scripts", "run.sh")
INSTALL = os.path.join(SOURCE, "scripts", "install-deps.sh")
HAS_SERVICE = os.path.exists(os.path.join(BUILD, "pelloran-service"))


def environment_of(pid):
    with open("/proc/%d/environ" % pid, "rb") as handle:
        entries = handle.read().split(b"\0")
    return dict(e.decode().split("=", 1) for e in entries if b"=" in e)


def listening(port):
    with socket.socket() as s:
        s.settimeout(2)
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(what)
        time.sleep(0.1)


class NoDisplayTest(unittest.TestCase):
    def run_without(self, env):
        return subprocess.run([RUN], env=env, capture_output=True, text=True, timeout=120,
                              stdin=subprocess.DEVNULL)

    def test_without_a_display_it_explains_and_fails_at_once(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        started = time.monotonic()
        result = self.run_without(env)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("needs a graphical session", result.stderr)
        self.assertIn("xvfb-run", result.stderr)
        # Before any build: nothing to wait for.
        self.assertLess(time.monotonic() - started, 30)

    def test_a_display_that_does_not_answer_is_named(self):
        env = {k: v for k, v in os.environ.items() if k != "WAYLAND_DISPLAY"}
        env["DISPLAY"] = ":4711"
        env["PELLORAN_BUILD_DIR"] = BUILD
        result = self.run_without(env)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn('the display ":4711" does not answer', result.stderr)
        self.assertIn("xvfb-run", result.stderr)


class InstallStepTest(unittest.TestCase):
    """What each install step would bring onto a fresh machine: every package its list
    depends on, whatever this machine has installed already."""

    def closure(self, *arguments):
        listed = subprocess.run([INSTALL, "--list"] + list(arguments), capture_output=True,
                                text=True, check=True).stdout.split()
        result = subprocess.run(
            ["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests",
             "--no-conflicts", "--no-breaks", "--no-replaces", "--no-enhances"] + listed,
            capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        return {line for line in result.stdout.splitlines() if not line.startswith(" ")}

    def test_the_run_step_brings_no_database_server_and_no_proxy(self):
        everything = self.closure()
        if "postgresql-15" not in everything:
            self.skipTest("apt knows no postgresql-15 here (run apt-get update)")
        unwanted = lambda names: sorted(n for n in names  # noqa: E731
                                        if n.startswith("postgresql") or n.startswith("tinyproxy"))
        self.assertEqual(unwanted(self.closure("run")), [])
        # The test step still brings them.
        self.assertTrue({"postgresql-15", "tinyproxy"} <= set(unwanted(everything)))

    def test_only_a_proxy_daemon_the_step_installed_is_stopped(self):
        """The package tools are stand-ins here (installing for real is not a test's to do);
        they record what the step asks of them. A real tinyproxy stands for the user's."""
        if not shutil.which("tinyproxy"):
            self.skipTest("tinyproxy is not installed")
        with driver.TempDir() as folder:
            config = os.path.join(folder, "tinyproxy.conf")
            with open(config, "w") as handle:
                handle.write("Port %d\nListen 127.0.0.1\nTimeout 60\n" % driver.free_port())
            users_proxy = subprocess.Popen(["tinyproxy", "-d", "-c", config],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(users_proxy.wait)
            self.addCleanup(users_proxy.kill)
            calls = os.path.join(folder, "calls")
            tools = os.path.join(folder, "bin")
            os.makedirs(tools)
            for tool in ("apt-get", "systemctl", "invoke-rc.d", "update-rc.d", "sudo"):
                with open(os.path.join(tools, tool), "w") as handle:
                    handle.write('#!/bin/sh\necho "%s $*" >> %s\n' % (tool, calls))
                os.chmod(os.path.join(tools, tool), 0o755)
            for missing, stopped in (("strace", False), ("tinyproxy", True)):
                with self.subTest(missing=missing):
                    # dpkg-query says that one package is missing.
                    with open(os.path.join(tools, "dpkg-query"), "w") as handle:
                        handle.write('#!/bin/sh\nfor last; do :; done\n'
                                     '[ "$last" = %s ] || printf "install ok installed"\n' % missing)
                    os.chmod(os.path.join(tools, "dpkg-query"), 0o755)
                    open(calls, "w").close()
                    env = dict(os.environ, PATH=tools + ":" + os.environ["PATH"])
                    result = subprocess.run([INSTALL], env=env, capture_output=True, text=True,
                                            timeout=60)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    recorded = open(calls).read()
                    self.assertIn("apt-get install -y -qq --no-install-recommends " + missing,
                                  recorded)
                    self.assertEqual("tinyproxy stop" in recorded or
                                     "disable --now tinyproxy" in recorded, stopped, recorded)
                    self.assertIsNone(users_proxy.poll(), "the user's proxy was ended")


@unittest.skipUnless(HAS_SERVICE, "pelloran-service is not built in " + BUILD)
class RunCommandTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = driver.TempDir()
        cls.desktop = driver.Desktop()
        cls.desktop.start()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()
        cls.folder.__exit__()

    def start(self):
        env = {"PELLORAN_BUILD_DIR": BUILD,
               "XDG_STATE_HOME": os.path.join(self.folder.path, "state"),
               "XDG_CONFIG_HOME": os.path.join(self.folder.path, "config"),
               "PELLORAN_REGISTRY": os.path.join(self.folder.path, "empty.reg")}
        with open(env["PELLORAN_REGISTRY"], "w") as handle:
            handle.write("Windows Registry Editor Version 5.00\r\n")
        program = driver.Program([RUN], env=env, app_name="pelloran",
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(program.kill)
        road.wait_for_page(program, "welcome", timeout=300)
        wizard_env = environment_of(program.pid)
        url = wizard_env["PELLORAN_SERVICE_URL"]
        parts = urllib.parse.urlsplit(url)
        self.assertEqual((parts.scheme, parts.hostname), ("https", "127.0.0.1"))
        self.assertEqual(parts.path + "?" + parts.query,
                         "/authws/services/AuthenticationService?wsdl")
        self.assertTrue(listening(parts.port), "no service on " + url)
        return program, parts.port, wizard_env["PELLORAN_CA_FILE"]

    def trusted_by_the_ca(self, port, ca):
        """Does a TLS client that trusts only the CA accept the service as 127.0.0.1?"""
        result = subprocess.run(
            ["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-CAfile", ca,
             "-verify_return_error", "-verify_ip", "127.0.0.1", "-brief"],
            input="", capture_output=True, text=True, timeout=30)
        return result.returncode == 0

    def test_service_runs_while_the_wizard_runs_and_stops_with_it(self):
        program, port, ca = self.start()
        self.assertTrue(self.trusted_by_the_ca(port, ca))
        with open(ca, "rb") as handle:
            first_ca = handle.read()

        road.cancel(program, "Yes")
        self.assertEqual(program.wait(), 0)
        self.assertFalse(listening(port), "the service outlived the wizard")

        # The certificate is made once and reused.
        program, port, ca = self.start()
        with open(ca, "rb") as handle:
            self.assertEqual(handle.read(), first_ca)

        # The wizard killed: the script reports it and the service goes too.
        os.kill(program.pid, signal.SIGKILL)
        self.assertEqual(program.wait(), 128 + signal.SIGKILL)
        self.assertFalse(listening(port), "the service outlived a killed wizard")

    def test_stopping_the_script_stops_wizard_and_service(self):
        program, port, _ = self.start()
        wizard = program.pid
        program.process.send_signal(signal.SIGTERM)
        self.assertNotEqual(program.wait(), 0)
        wait_until(lambda: not os.path.exists("/proc/%d" % wizard) or
                   open("/proc/%d/stat" % wizard).read().split()[2] == "Z",
                   20, "the wizard outlived the script")
        self.assertFalse(listening(port), "the service outlived the script")


if __name__ == "__main__":
    unittest.main(verbosity=2, warnings="ignore")
