"""A run cancelled on each page: Yes ends with 0 and the configuration stays as it was."""

import os
import shutil
import unittest

from pelloran_e2e import cluster as pg
from pelloran_e2e import driver
from pelloran_e2e import road
from pelloran_e2e import service

PELLORAN = os.environ.get("PELLORAN_BINARY", "pelloran")
SHOTS = os.path.join(driver.ARTIFACTS, "e2e", "cancel")

desktop = None
tuning = None
folder = None
cluster = None
registry = None
list_text = None


def setUpModule():
    global desktop, folder, cluster, registry, list_text
    folder = driver.TempDir()
    cluster = pg.Cluster(folder.path).create()
    registry = os.path.join(folder.path, "machine.reg")
    list_text = cluster.registry(registry)
    if service.available():
        global tuning
        tuning = service.Service(folder.path).start()
    desktop = driver.Desktop()
    desktop.start()


def tearDownModule():
    desktop.stop()
    if tuning:
        tuning.stop()
    folder.__exit__()


class CancelTest(unittest.TestCase):
    def start(self, machine_registry=None, stderr=None):
        self.before = driver.folder_snapshot(cluster.data)
        env = {"PELLORAN_REGISTRY": machine_registry or registry,
               "XDG_CONFIG_HOME": os.path.join(folder.path, "config")}
        if tuning:
            env.update(tuning.environment())
        self.program = driver.Program([PELLORAN], env=env, stderr=stderr)
        self.addCleanup(self.program.kill)
        road.wait_for_page(self.program, "welcome")

    def assert_nothing_written(self):
        after = driver.folder_snapshot(cluster.data)
        self.assertEqual(after.get("postgresql.conf"), self.before["postgresql.conf"],
                         "the configuration file changed")
        backups = [name for name in after if name.startswith("postgresql.conf.")]
        self.assertEqual(backups, [], "a backup was written")
        self.assertEqual(sorted(after), sorted(self.before), "files came or went")

    def cancel_on(self, page, steps):
        self.start()
        for step in steps:
            step(self.program)
        self.assertEqual(road.current_page(self.program), page)

        # No keeps the page as it was.
        road.cancel(self.program, "No")
        self.program.wait_gone("alert", "Question")
        self.assertEqual(road.current_page(self.program), page)
        road.shoot(desktop, self.program, page, SHOTS)

        road.cancel(self.program, "Yes")
        self.assertEqual(self.program.wait(), 0)
        self.assert_nothing_written()

    def test_cancel_on_the_welcome_page(self):
        self.cancel_on("welcome", [])

    def test_cancel_on_the_usage_page(self):
        self.cancel_on("usage", [lambda p: road.leave_welcome(p, list_text)])

    def test_a_key_a_million_levels_deep_is_refused_and_cancel_ends_with_zero(self):
        # Such a tree, once loaded, crashed the program when it was torn down at the end.
        machine = os.path.join(folder.path, "deep")
        os.makedirs(machine, exist_ok=True)
        shutil.copy(registry, os.path.join(machine, "1-machine.reg"))
        with open(os.path.join(machine, "2-deep.reg"), "w", encoding="utf-8") as handle:
            handle.write("Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE" + "\\k" * 1000000
                         + ']\r\n"Deep"="value"\r\n')
        errors = os.path.join(folder.path, "deep.err")
        with open(errors, "wb") as stderr:
            self.start(machine, stderr)
            road.choose_installation(self.program, list_text)
            road.cancel(self.program, "Yes")
            self.assertEqual(self.program.wait(), 0)
        with open(errors, encoding="utf-8") as handle:
            self.assertIn(os.path.join(machine, "2-deep.reg") + ":2: key deeper than 512 levels; line skipped\n",
                          handle.read())
        self.assert_nothing_written()

    @unittest.skipUnless(service.available(), "pelloran-service is not built")
    def test_cancel_on_the_review_page_after_a_preview(self):
        self.cancel_on("review", [lambda p: road.leave_welcome(p, list_text),
                                  lambda p: road.leave_usage(p, "Development"),
                                  road.open_preview, road.close_preview])

    @unittest.skipUnless(service.available(), "pelloran-service is not built")
    def test_close_box_on_the_thank_you_page_asks_and_ends_with_zero(self):
        # After the save there is no Cancel button; the close box still asks.
        self.start()
        road.leave_welcome(self.program, list_text)
        road.leave_usage(self.program, "Mixed")
        road.leave_review(self.program)
        self.assertEqual(self.program.find_all("push button", "Cancel"), [])
        road.cancel(self.program, "No")
        self.program.wait_gone("alert", "Question")
        self.assertEqual(road.current_page(self.program), "thankyou")
        road.cancel(self.program, "Yes")
        self.assertEqual(self.program.wait(), 0)
        # The save stays: restore the cluster's file for the other cases.
        saved = driver.folder_snapshot(cluster.data)
        self.assertIn(b"Norvane's Pelloran", saved["postgresql.conf"])
        for name in saved:
            if name.startswith("postgresql.conf."):
                os.unlink(os.path.join(cluster.data, name))
        with open(cluster.conf, "wb") as handle:
            handle.write(self.before["postgresql.conf"])


if __name__ == "__main__":
    unittest.main(verbosity=2, warnings="ignore")
