"""Whole runs of the Windows pelloran.exe under wine on the virtual screen, against the real
pelloran-service over HTTPS on loopback and a PostgreSQL 15 cluster made by initdb, which
the wine registry describes as an installed service.

Wine's windows are not in the accessibility tree: the test works with window titles,
positions within the wizard, keys and pictures, and checks results in files, in the
service's log and in PostgreSQL itself.

The terminal program pelloran-cli.exe goes the same road from the same registry.

Usage: test_windows_run.py <pelloran.exe> <pelloran-cli.exe>
"""

import json
import os
import stat
import subprocess
import sys
import time
import unittest

from pelloran_e2e import cluster as pg
from pelloran_e2e import driver
from pelloran_e2e import service
from pelloran_e2e import wine
# The Linux whole run's test, whose checks this run borrows (tests/e2e is on PYTHONPATH).
import test_whole_run as linux

PELLORAN = ""
PELLORAN_CLI = ""
TITLE = "Norvane Pelloran"
PROGRESS = "Norvane's Pelloran"
PREVIEW = "postgresql.conf"
ERROR_TITLE = "Pelloran Error"
SHOTS = os.path.join(driver.ARTIFACTS, "e2e", "windows")
POSTGRESQL_KEY = r"HKLM\SOFTWARE\PostgreSQL"

# Within the wizard (605 x 508 under wine's default font).
NEXT = (472, 486)
CANCEL = (557, 486)
REVIEW = (389, 127)
BROWSER_BOX = (192, 118)  # "Display additional information about Norvane services"


class Wizard:
    """pelloran.exe under wine and the wizard's window."""

    def __init__(self, extra):
        self.process = subprocess.Popen(["wine", PELLORAN], env=wine.environment(extra),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        self.window = wine.wait_window(TITLE, timeout=60)
        self.settle()

    def box(self):
        return wine.geometry(self.window)

    def pixels(self, box=None):
        xlib = driver._X11()
        try:
            return xlib.pixels(xlib.root, *(box or self.box()))
        finally:
            xlib.close()

    def settle(self, box=None, min_colours=16):
        """Waits until the picture stops changing (the page is drawn)."""
        desktop = driver.Desktop()
        if not desktop.wait_drawn(box or self.box(), min_colours=min_colours):
            raise driver.DriverError("the wizard's picture did not settle")

    def page_box(self):
        """The page above the buttons, which a pressed button does not change."""
        x, y, width, height = self.box()
        return x, y, width, height - 70

    def press(self, position):
        """Clicks a button of the wizard and waits for the next page; raises on an error box."""
        before = self.pixels(self.page_box())
        wine.click(self.window, *position)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            self.raise_on_error_box()
            if not wine.windows(PROGRESS) and self.pixels(self.page_box()) != before:
                self.settle()
                if not wine.windows(PROGRESS):
                    return
            if self.process.poll() is not None:
                return
            time.sleep(0.1)
        raise driver.DriverError("nothing changed after pressing %r" % (position,))

    def other_windows(self):
        """Visible windows other than the wizard, its progress dialog and the preview; a
        window still without a title is not counted yet."""
        result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "."],
                                capture_output=True, text=True)
        found = []
        for window in result.stdout.split():
            name = window_name(window)
            if name and name not in (TITLE, PROGRESS, PREVIEW):
                found.append(int(window))
        return found

    def wait_box(self, timeout=120):
        """The first window besides the wizard's own (an error box or a question)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.other_windows()
            if found:
                time.sleep(0.5)
                return found[-1]
            time.sleep(0.1)
        raise driver.DriverError("no message box within %d s" % timeout)

    def raise_on_error_box(self, allowed=()):
        found = [w for w in self.other_windows() if window_name(w) not in allowed]
        if found:
            name = os.path.join(SHOTS, "unexpected-box.png")
            driver.Desktop().screenshot(name)
            raise driver.DriverError("an unexpected box appeared (screenshot %s)" % name)

    def shot(self, name, box=None, min_colours=16):
        box = box or self.box()
        self.settle(box, min_colours)
        return driver.Desktop().screenshot(os.path.join(SHOTS, name + ".png"), box)

    def wait(self, timeout=60):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise driver.DriverError("pelloran.exe did not end")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


@unittest.skipUnless(service.available(), "pelloran-service is not built")
class WindowsRunTest(unittest.TestCase):
    # The Linux whole run's checks of the saved files and of PostgreSQL.
    check_files = linux.WholeRunTest.check_files
    check_postgresql = linux.WholeRunTest.check_postgresql
    check_announced_bitness = linux.WholeRunTest.check_announced_bitness

    @classmethod
    def setUpClass(cls):
        cls.folder = driver.TempDir()
        cls.service = wine.TrustedService(cls.folder.path).start()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        cls.folder.__exit__()
        wine.delete_registry_key(POSTGRESQL_KEY)

    def check_rights(self, paths, original_stat):
        """Wine keeps a DACL as mode bits: the one captured from the old file (owner and
        SYSTEM full control) comes back as rwxrwx---. Both files get it alike, and the owner
        stays; the exact DACL round trip needs Windows."""
        for path in paths:
            st = os.stat(path)
            self.assertEqual((st.st_uid, st.st_gid), (original_stat.st_uid, original_stat.st_gid), path)
            self.assertEqual(stat.S_IMODE(st.st_mode), 0o770, path)

    def installation(self, name):
        """A cluster described in the wine registry as the only installed service."""
        root = os.path.join(self.folder.path, name)
        os.makedirs(root)
        os.chmod(root, 0o755)
        cluster = pg.Cluster(root).create()
        # Wine keeps no owners, only the mode bits of the user it runs as: the file belongs
        # to that user here, as postgresql.conf belongs to the administrators on Windows.
        os.chown(cluster.conf, os.geteuid(), os.getegid())
        registry = os.path.join(root, "machine.reg")
        cluster.registry(registry, data_directory=wine.windows_path(cluster.data))
        wine.delete_registry_key(POSTGRESQL_KEY)
        wine.import_registry(registry)
        return cluster

    def start(self, extra=None):
        environment = {"PELLORAN_SERVICE_URL": self.service.url}
        environment.update(extra or {})
        wizard = Wizard(environment)
        self.addCleanup(wizard.kill)
        return wizard

    def select_installation(self, wizard):
        # The list has the focus: Down picks its first (only) entry.
        wine.keys(wizard.window, "Down")
        wizard.settle()

    def service_calls(self):
        with open(self.service.log) as handle:
            return [line for line in handle if "POST /authws/" in line]

    def test_a_whole_run_saves_a_file_postgresql_starts_from(self):
        cluster = self.installation("run")
        with open(cluster.conf, "rb") as handle:
            original = handle.read()
        original_stat = os.stat(cluster.conf)
        before = driver.folder_snapshot(cluster.data)
        calls_before = len(self.service_calls())

        wizard = self.start()
        wizard.shot("windows-0-welcome-empty")
        self.select_installation(wizard)
        wizard.shot("windows-1-welcome")
        wizard.press(NEXT)
        wine.keys(wizard.window, "Down", "Down")  # the usage box has the focus: Dedicated
        wizard.shot("windows-2-usage")
        wizard.press(NEXT)
        self.assertEqual(len(self.service_calls()) - calls_before, 4,
                         "testWebService, validateUser, getQuorvelInfo, getTuningExtensions")
        wizard.shot("windows-3-review")

        wine.click(wizard.window, *REVIEW)
        preview = wine.wait_window(PREVIEW, timeout=120)
        wine.wait_no_window(PROGRESS, timeout=120)
        box = wine.geometry(preview)
        wine.click(preview, box[2] // 2, box[3] // 2)
        wine.keys(preview, *(["Page_Down"] * 4 + ["Down"] * 14))
        wizard.shot("windows-3b-preview", box)
        xlib = driver._X11()
        xlib.send_delete(preview)
        xlib.close()
        wine.wait_no_window(PREVIEW)
        self.assertEqual(driver.folder_snapshot(cluster.data), before, "previewing wrote something")

        wizard.press(NEXT)
        wizard.shot("windows-4-thankyou")
        wine.click(wizard.window, *BROWSER_BOX)  # untick: no browser here
        wizard.shot("windows-4b-thankyou-unticked")
        wine.click(wizard.window, *NEXT)  # Finish
        self.assertEqual(wizard.wait(), 0, wizard.process.stderr.read())

        after = driver.folder_snapshot(cluster.data)
        self.check_files(cluster, original, original_stat, before, after)
        self.check_announced_bitness()
        # PostgreSQL reads the file as its cluster's owner.
        owner = pg.cluster_user()
        for name in after:
            if name.startswith("postgresql.conf"):
                os.chown(os.path.join(cluster.data, name), owner[1], owner[2])
        self.check_postgresql(cluster)

    def test_the_terminal_program_lists_and_tunes_the_installation(self):
        cluster = self.installation("cli")
        with open(cluster.conf, "rb") as handle:
            original = handle.read()
        original_stat = os.stat(cluster.conf)
        before = driver.folder_snapshot(cluster.data)
        environment = {"PELLORAN_SERVICE_URL": self.service.url}

        listed = wine.run([PELLORAN_CLI, "--list", "--json"], environment)
        self.assertEqual(listed.returncode, 0, listed.stderr)
        [installation] = json.loads(listed.stdout)
        self.assertEqual(installation["dataDirectory"], wine.windows_path(cluster.data))
        self.assertEqual(installation["port"], cluster.port)

        tuned = wine.run([PELLORAN_CLI, "--installation", "1", "--usage", "dedicated", "--yes"], environment)
        self.assertEqual(tuned.returncode, 0, tuned.stdout + tuned.stderr)
        self.assertIn("pg_ctl restart", tuned.stderr)
        after = driver.folder_snapshot(cluster.data)
        self.check_files(cluster, original, original_stat, before, after)
        owner = pg.cluster_user()
        for name in after:
            if name.startswith("postgresql.conf"):
                os.chown(os.path.join(cluster.data, name), owner[1], owner[2])
        self.check_postgresql(cluster)

    def go_to(self, wizard, page):
        """From the welcome page to the page (0 welcome, 1 usage, 2 review)."""
        if page >= 1:
            self.select_installation(wizard)
            wizard.press(NEXT)
        if page >= 2:
            wine.keys(wizard.window, "Down", "Down")
            wizard.press(NEXT)

    def answer_box(self, wizard, key, shot=None):
        """Waits for the box the program puts up, pictures it, answers it with a key; its title."""
        box = wizard.wait_box()
        title = window_name(box)
        if shot:
            wizard.shot(shot, wine.geometry(box), min_colours=2)  # a plain box has few colours
        wine.keys(box, key)
        wine.wait_no_window(title)
        return title

    def test_cancel_with_yes_on_each_page_leaves_the_file_untouched(self):
        cluster = self.installation("cancel")
        before = driver.folder_snapshot(cluster.data)
        for page in range(3):
            wizard = self.start()
            self.go_to(wizard, page)
            wine.click(wizard.window, *CANCEL)
            self.answer_box(wizard, "Return", shot="windows-cancel-question" if page == 0 else None)
            self.assertEqual(wizard.wait(), 0, "page %d" % page)
            self.assertEqual(driver.folder_snapshot(cluster.data), before, "page %d" % page)

    def failed_exchange(self, url, shot):
        """Next on the usage page with the service at `url`: an error box, then the usage page
        again. Returns the program's standard error."""
        cluster = self.installation(shot)
        before = driver.folder_snapshot(cluster.data)
        calls_before = len(self.service_calls())
        wizard = self.start({"PELLORAN_SERVICE_URL": url})
        self.go_to(wizard, 1)
        wine.keys(wizard.window, "Down", "Down")
        wizard.settle()
        usage_page = wizard.pixels(wizard.page_box())
        wine.click(wizard.window, *NEXT)
        title = self.answer_box(wizard, "Return", shot=shot)
        self.assertEqual(title, ERROR_TITLE, "an error box, and no certificate dialog")
        wizard.settle()
        # The same page, give or take a focus mark. A busy machine may show the picture while
        # the closed box is still being drawn over: look again for a few seconds; a page that
        # moved on never matches.
        deadline = time.monotonic() + 5
        share = changed_share(wizard.pixels(wizard.page_box()), usage_page)
        while share >= 0.02 and time.monotonic() < deadline:
            time.sleep(0.2)
            share = changed_share(wizard.pixels(wizard.page_box()), usage_page)
        self.assertLess(share, 0.02, "the usage page stays")
        wine.click(wizard.window, *CANCEL)
        self.answer_box(wizard, "Return")
        self.assertEqual(wizard.wait(), 0)
        self.assertEqual(driver.folder_snapshot(cluster.data), before)
        self.assertEqual(len(self.service_calls()), calls_before)
        return wizard.process.stderr.read()

    def test_the_service_not_listening_keeps_the_usage_page(self):
        url = "https://localhost:%d%s" % (driver.free_port(), service.PATH)
        errors = self.failed_exchange(url, "windows-error-unreachable")
        self.assertIn("error 12029", errors)

    def test_an_untrusted_certificate_fails_the_call(self):
        # An authority the wine prefix does not trust. Wine reports the revocation error
        # 12057 for it, which no dialog offers to resolve, so the call fails at once; Windows
        # reports 12045 and first shows its certificate dialog.
        folder = os.path.join(self.folder.path, "stranger-service")
        os.makedirs(folder)
        stranger = service.Service(folder)
        errors = ""
        try:
            stranger.start()
            errors = self.failed_exchange(wine.local_url(stranger.url), "windows-error-untrusted")
        finally:
            stranger.stop()
        self.assertIn("error 12057", errors)

    def test_a_certificate_for_another_name_asks_and_accepting_goes_on(self):
        # Wine refuses a certificate's IP address name (12038, "certificate name invalid"),
        # one of the errors the platform's dialog resolves: the service by 127.0.0.1.
        cluster = self.installation("name")
        before = driver.folder_snapshot(cluster.data)
        calls_before = len(self.service_calls())
        wizard = self.start({"PELLORAN_SERVICE_URL": self.service.url.replace("localhost", "127.0.0.1")})
        self.go_to(wizard, 1)
        wine.keys(wizard.window, "Down", "Down")
        wizard.settle()
        wine.click(wizard.window, *NEXT)
        # The dialog comes over the wizard's own progress window; Return answers Yes. Each
        # send that meets the problem asks again, until the platform remembers the answer.
        box = wizard.wait_box()
        self.assertEqual(window_name(box), "Security Warning")
        wizard.shot("windows-certificate-dialog", wine.geometry(box), min_colours=2)
        answered = 0
        deadline = time.monotonic() + 60
        while len(self.service_calls()) - calls_before < 4 or wine.windows("Security Warning"):
            for box in wine.windows("Security Warning"):
                try:
                    wine.keys(box, "Return")
                except subprocess.CalledProcessError:
                    # Listed a moment before the send it belonged to ended and closed it.
                    if box in wine.windows("Security Warning"):
                        raise
                    continue
                answered += 1
                time.sleep(0.5)
            wizard.raise_on_error_box(allowed=("Security Warning",))
            if time.monotonic() > deadline:
                driver.Desktop().screenshot(os.path.join(SHOTS, "certificate-stuck.png"))
                self.fail("the exchange did not end; %d boxes answered" % answered)
            time.sleep(0.2)
        self.assertGreaterEqual(answered, 1)
        self.assertEqual(len(self.service_calls()) - calls_before, 4)
        wine.wait_no_window(PROGRESS)
        wizard.settle()
        wizard.raise_on_error_box()
        wine.click(wizard.window, *CANCEL)
        self.answer_box(wizard, "Return")
        self.assertEqual(wizard.wait(), 0)
        self.assertEqual(driver.folder_snapshot(cluster.data), before)


def window_name(window):
    return subprocess.run(["xdotool", "getwindowname", str(window)], capture_output=True,
                          text=True).stdout.strip()


def changed_share(picture, other):
    """The share of pixels that differ between two pictures of the same size."""
    a, b = memoryview(picture).cast("I"), memoryview(other).cast("I")
    return sum(1 for x, y in zip(a, b) if x != y) / max(1, len(a))


if __name__ == "__main__":
    PELLORAN = sys.argv.pop(1)
    PELLORAN_CLI = sys.argv.pop(1)
    os.makedirs(SHOTS, exist_ok=True)
    unittest.main(verbosity=2, warnings="ignore")
