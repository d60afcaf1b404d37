"""pelloran-cli as a script runs it: each exit code, with the file checked unchanged where
nothing may change, against a real PostgreSQL 15 cluster and the real service."""

import os
import re
import shlex
import stat
import subprocess
import time
import unittest

from pelloran_e2e import cluster as pg
from pelloran_e2e import driver
from pelloran_e2e import service

CLI = os.environ.get("PELLORAN_CLI_BINARY", "")
CLOSED = "https://127.0.0.1:%d" + service.PATH


def rights(path):
    info = os.stat(path)
    return stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid


@unittest.skipUnless(CLI and service.available(), "pelloran-cli and pelloran-service are needed")
class ExitCodesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = driver.TempDir()
        cls.cluster = pg.Cluster(cls.folder.path).create()
        cls.registry = os.path.join(cls.folder.path, "machine.reg")
        cls.cluster.registry(cls.registry)
        cls.service = service.Service(cls.folder.path).start()
        with open(cls.cluster.conf, "rb") as handle:
            cls.initdb_file = handle.read()

    @classmethod
    def tearDownClass(cls):
        cls.cluster.stop()
        cls.service.stop()
        cls.folder.__exit__()

    def run_cli(self, arguments, service_env=None, as_owner=False):
        env = {"PATH": os.environ["PATH"], "PELLORAN_REGISTRY": self.registry}
        env.update(service_env if service_env is not None else self.service.environment())
        command = [CLI] + arguments
        if as_owner:
            return pg.as_user(command, env=env, stdin=subprocess.DEVNULL, timeout=120)
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=120)

    def reset_file(self, mode=0o600, hand_placed=b""):
        with open(self.cluster.conf, "wb") as handle:
            handle.write(self.initdb_file + hand_placed)
        os.chmod(self.cluster.conf, mode)
        for name in os.listdir(self.cluster.data):
            if name.startswith("postgresql.conf."):
                os.remove(os.path.join(self.cluster.data, name))

    def assert_postgresql_takes_the_file(self):
        ok, log = self.cluster.start(driver.free_port())
        self.assertTrue(ok, log)
        try:
            self.assertNotEqual(self.cluster.show("shared_buffers"), "128MB")  # initdb's
        finally:
            self.cluster.stop()

    def test_each_exit_code_leaves_the_file_as_it_must(self):
        closed = {"PELLORAN_SERVICE_URL": CLOSED % driver.free_port(), "PELLORAN_CA_FILE": self.service.ca}
        usage = ["--usage", "dedicated", "--memory", "4GB"]
        cases = [
            # description, arguments, service, as the cluster's owner, read-only, exit code, output,
            # a line placed in the file by hand
            ("an unknown option", ["--fast"], None, False, False, 64, "Unknown option"),
            ("a usage it does not know", ["--usage", "fast"], None, False, False, 64, "--usage takes"),
            ("no usage and no terminal to ask", ["--installation", "1"], None, False, False, 64, "--usage"),
            ("no terminal to answer the question", ["--installation", "1"] + usage, None, False, False, 64,
             "--yes"),
            ("a file that does not exist", ["--conf-path", "/nonexistent/postgresql.conf", "--pg-version", "15"],
             None, False, False, 66, "not found"),
            ("an installation the list does not have", ["--installation", "2"] + usage, None, False, False, 66,
             "no installation 2"),
            ("a service nobody listens to", ["--installation", "1", "--yes"] + usage, closed, False, False, 69,
             "Error accessing WebService"),
            ("a file its owner may not write", ["--installation", "1", "--yes"] + usage, None, True, True, 77,
             "not accessible"),
            ("a dry run with changes", ["--installation", "1", "--dry-run", "--exit-code"] + usage, None, False,
             False, 1, "+shared_buffers"),
            ("a dry run without --exit-code", ["--installation", "1", "--dry-run", "--color", "always"] + usage,
             None, False, False, 0, "\033[32m+shared_buffers"),
            # The merge keeps a line it does not tune; the server refuses the whole file for it.
            ("a file the server refuses", ["--installation", "1", "--yes"] + usage, None, False, False, 78,
             "log_min_duration_statement", b"log_min_duration_statement = 'abc'\n"),
        ]
        for description, arguments, service_env, as_owner, read_only, code, output, *hand_placed in cases:
            with self.subTest(description):
                self.reset_file(0o400 if read_only else 0o600, *hand_placed)
                before = driver.folder_snapshot(self.cluster.data), rights(self.cluster.conf)
                result = self.run_cli(arguments, service_env, as_owner)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(output, result.stdout + result.stderr)
                self.assertEqual((driver.folder_snapshot(self.cluster.data), rights(self.cluster.conf)), before)

    def test_save_then_nothing_to_change_then_restore(self):
        self.reset_file()
        original, original_rights = self.initdb_file, rights(self.cluster.conf)
        tune = ["--installation", "1", "--usage", "dedicated", "--memory", "4GB"]

        saved = self.run_cli(tune + ["--yes", "--json"])
        self.assertEqual(saved.returncode, 0, saved.stderr)
        self.assertIn('"written": "%s"' % self.cluster.conf, saved.stdout)
        self.assertIn("Restart the server", saved.stderr)
        backups = [n for n in os.listdir(self.cluster.data) if n.startswith("postgresql.conf.")]
        self.assertEqual(len(backups), 1)
        self.assertEqual(rights(self.cluster.conf), original_rights)
        self.assert_postgresql_takes_the_file()

        # A tuned file merges into new note lines, yet there is nothing to change.
        tuned = open(self.cluster.conf, "rb").read()
        again = self.run_cli(tune + ["--dry-run", "--exit-code"])
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn("Nothing to change", again.stderr)
        self.assertEqual(open(self.cluster.conf, "rb").read(), tuned)

        # Backups are named by the second: saves made this second and the next have taken
        # those names, and the restore's own backup must keep clear of them.
        taken = {}
        for second in (0, 1):
            name = "postgresql.conf." + time.strftime("%Y%m%d%H%M%S", time.localtime(time.time() + second))
            taken[name] = b"# a backup made this second\r\n"
            with open(os.path.join(self.cluster.data, name), "xb") as handle:
                handle.write(taken[name])
        restored = self.run_cli(["--restore", backups[0][len("postgresql.conf."):], "--installation", "1", "--yes"])
        self.assertEqual(restored.returncode, 0, restored.stderr)
        self.assertEqual(open(self.cluster.conf, "rb").read(),
                         open(os.path.join(self.cluster.data, backups[0]), "rb").read())
        self.assertEqual(rights(self.cluster.conf), original_rights)
        self.assertEqual(open(self.cluster.conf, "rb").read().replace(b"\r\n", b"\n"), original)
        for name, content in taken.items():
            self.assertEqual(open(os.path.join(self.cluster.data, name), "rb").read(), content)
        kept = set(os.listdir(self.cluster.data)) - set(backups) - set(taken)
        kept = [n for n in kept if n.startswith("postgresql.conf.")]
        self.assertEqual(len(kept), 1)  # the tuned file was kept before the restore
        self.assertEqual(open(os.path.join(self.cluster.data, kept[0]), "rb").read().replace(b"\r\n", b"\n"),
                         tuned.replace(b"\r\n", b"\n"))

    def test_the_interactive_road_in_a_terminal(self):
        self.reset_file()
        terminal = Terminal(self.folder.path)
        self.addCleanup(terminal.close)
        # Two installations, so that the program shows its numbered list and asks.
        registry = os.path.join(self.folder.path, "two.reg")
        listed = self.cluster.registry(registry)
        with open(registry, "a", encoding="utf-8") as handle:
            handle.write("\r\n".join([
                "", r"[HKEY_LOCAL_MACHINE\SOFTWARE\PostgreSQL\Services\pgsql-spare]",
                '"Display Name"="PostgreSQL 15 (spare)"', '"Port"=dword:00001540', '"Database Superuser"="postgres"',
                '"Data Directory"="%s"' % os.path.join(self.folder.path, "spare"),
                '"Product Code"="{5F1C2B3A-15E2-4E2E-9E2E-PELLORANE2E}"', ""]))
        env = dict(self.service.environment(), PATH=os.environ["PATH"], TERM="xterm-256color",
                   PELLORAN_REGISTRY=registry)
        terminal.start(["env", "-i"] + ["%s=%s" % pair for pair in env.items()] + [CLI, "--memory", "4GB"])
        try:
            screen = terminal.wait_for("Installation:")
            self.assertIn("PostgreSQL 15 (spare) on port 5440", screen)
            terminal.type(re.search(r"(\d+)  %s" % re.escape(listed), screen).group(1))
            terminal.wait_for("Usage:")
            terminal.type("3")
            screen = terminal.wait_for("Write postgresql.conf? [y/N]")
            self.assertRegex(screen, r"\033\[[0-9;]*m\+shared_buffers")
            terminal.type("y")
            self.assertEqual(terminal.wait_for_end(), 0)
        finally:
            terminal.save(os.path.join(driver.ARTIFACTS, "e2e", "cli-terminal.txt"))
        self.assertIn("Restart the server", terminal.screen())
        backups = [n for n in os.listdir(self.cluster.data) if n.startswith("postgresql.conf.")]
        self.assertEqual(len(backups), 1)
        self.assert_postgresql_takes_the_file()


class Terminal:
    """A program in a detached tmux session of a fixed size, on a tmux server of its own: keys
    typed into it and its screen read back with the colours as escapes."""

    def __init__(self, folder):
        self.socket = os.path.join(folder, "tmux.socket")
        self.status_file = os.path.join(folder, "tmux.status")

    def tmux(self, *arguments):
        return subprocess.run(["tmux", "-S", self.socket] + list(arguments), check=True,
                              capture_output=True, text=True, timeout=30).stdout

    def start(self, command):
        # A shell between tmux and the program takes its exit status: tmux has been seen to
        # leave an ended program unreaped, with no status to report. The pane stays after
        # the end, for the last screen.
        recorded = ["sh", "-c", '"$@"; echo $? > "$0"', self.status_file] + command
        self.tmux("new-session", "-d", "-x", "100", "-y", "40", shlex.join(recorded),
                  ";", "set-option", "remain-on-exit", "on")

    def screen(self):
        """The screen and what has scrolled off it, with the colour escapes."""
        return self.tmux("capture-pane", "-p", "-e", "-S", "-")

    def wait_for(self, text, timeout=120):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            screen = self.screen()
            if text in screen:
                return screen
            time.sleep(0.2)
        raise AssertionError("%r did not appear on the screen:\n%s" % (text, self.screen()))

    def type(self, answer):
        self.tmux("send-keys", "-l", answer)
        self.tmux("send-keys", "Enter")

    def wait_for_end(self, timeout=120):
        """The program's exit status."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.status_file):
                with open(self.status_file) as handle:
                    status = handle.read().strip()
                if status:
                    return int(status)
            time.sleep(0.2)
        raise AssertionError("the program did not end:\n" + self.screen())

    def save(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as handle:
            handle.write(self.screen())

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], capture_output=True, timeout=30)


if __name__ == "__main__":
    unittest.main()
