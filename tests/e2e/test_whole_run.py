"""One whole run as a user makes it: the real wizard against the real service over HTTPS and
a real PostgreSQL 15 cluster; then PostgreSQL starts from the saved file with the values."""

import os
import re
import stat
import unittest

from pelloran_e2e import cluster as pg
from pelloran_e2e import driver
from pelloran_e2e import road
from pelloran_e2e import service

PELLORAN = os.environ.get("PELLORAN_BINARY", "pelloran")
SHOTS = os.path.join(driver.ARTIFACTS, "e2e", "whole-run")

PARAMETERS = ["max_connections", "shared_buffers", "work_mem", "maintenance_work_mem",
              "max_fsm_pages", "max_fsm_relations", "wal_buffers", "checkpoint_segments",
              "random_page_cost", "effective_cache_size", "autovacuum", "autovacuum_naptime",
              "autovacuum_vacuum_threshold", "autovacuum_analyze_threshold",
              "autovacuum_vacuum_scale_factor", "autovacuum_analyze_scale_factor",
              "stats_row_level"]
# What the tuning protocol's extension may write beyond the 17 (protocol/extension_parameters.cpp).
EXTENSION = ["effective_io_concurrency", "maintenance_io_concurrency", "autovacuum_work_mem",
             "max_wal_size", "min_wal_size", "checkpoint_completion_target", "max_worker_processes",
             "max_parallel_workers", "max_parallel_workers_per_gather",
             "max_parallel_maintenance_workers", "autovacuum_max_workers", "jit", "wal_compression",
             "default_statistics_target", "io_workers"]
REASON = "# Reason: "
MODIFIED = "# NOTE: This has been modified by Norvane's Pelloran on "
ADDED = "# NOTE: This parameter is been added by Norvane's Pelloran on "
BLOCK = "# NOTE: These parameters are added by Norvane's Pelloran on "
STAMP = r"\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}"

MEMORY = {"kB": 1, "MB": 1024, "GB": 1024 ** 2, "TB": 1024 ** 3}
TIME = {"ms": 1, "s": 1000, "min": 60000, "h": 3600000, "d": 86400000}


def normalise(value):
    """A setting as a comparable value: memory in kB, time in ms, booleans, numbers."""
    value = value.strip().strip("'")
    m = re.fullmatch(r"(-?[\d.]+)\s*(kB|MB|GB|TB|ms|s|min|h|d)?", value)
    if m:
        number = float(m.group(1))
        unit = m.group(2)
        if unit in MEMORY:
            return ("memory", number * MEMORY[unit])
        if unit in TIME:
            return ("time", number * TIME[unit])
        return ("number", number)
    lowered = value.lower()
    if lowered in ("on", "true", "yes", "1"):
        return ("bool", True)
    if lowered in ("off", "false", "no", "0"):
        return ("bool", False)
    return ("text", value)


def active_settings(lines):
    """name -> (value text, line number counted from 1) of the active lines."""
    settings = {}
    for number, line in enumerate(lines, 1):
        m = re.match(r"^\s*([a-z_]+)\s*=\s*('[^']*'|[^\s#]+)", line)
        if m:
            settings[m.group(1)] = (m.group(2), number)
    return settings


@unittest.skipUnless(service.available(), "pelloran-service is not built")
class WholeRunTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = driver.TempDir()
        cls.service = service.Service(cls.folder.path).start()
        cls.desktop = driver.Desktop()
        cls.desktop.start()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()
        cls.service.stop()
        cls.folder.__exit__()

    def test_a_whole_run_saves_a_file_postgresql_starts_from(self):
        root = os.path.join(self.folder.path, "run")
        os.makedirs(root)
        os.chmod(root, 0o755)
        cluster = pg.Cluster(root).create()
        registry = os.path.join(root, "machine.reg")
        list_text = cluster.registry(registry)
        with open(cluster.conf, "rb") as handle:
            original = handle.read()
        original_stat = os.stat(cluster.conf)
        before = driver.folder_snapshot(cluster.data)

        # A recording stand-in for the desktop's browser opener: unticked, nothing opens.
        bin_folder = os.path.join(root, "bin")
        os.makedirs(bin_folder)
        opened = os.path.join(root, "opened")
        with open(os.path.join(bin_folder, "xdg-open"), "w") as handle:
            handle.write("#!/bin/sh\necho \"$@\" >> %s\n" % opened)
        os.chmod(os.path.join(bin_folder, "xdg-open"), 0o755)

        env = {"PELLORAN_REGISTRY": registry, "XDG_CONFIG_HOME": os.path.join(root, "config"),
               "PATH": bin_folder + ":" + os.environ["PATH"]}
        env.update(self.service.environment())
        program = driver.Program([PELLORAN], env=env)
        self.addCleanup(program.kill)
        shot = lambda name: road.shoot(self.desktop, program, name, SHOTS)  # noqa: E731

        road.wait_for_page(program, "welcome")
        road.choose_installation(program, list_text)
        shot("1-welcome")
        program.click_button("Next >")
        road.wait_for_page(program, "usage")

        program.find("radio button", "Dedicated").click()
        self.assertTrue(program.find("radio button", "Dedicated").checked)
        shot("2-usage")
        program.click_button("Next >")
        road.wait_for_page(program, "review", timeout=120)
        shot("3-review")

        preview = road.open_preview(program)
        road.shoot(self.desktop, program, "3b-preview-top", SHOTS, window=preview)
        # Down to the first changes, as a reader scrolls.
        x, y, w, h = preview.box()
        driver.xdotool("mousemove", x + w // 2, y + h // 2, "click", "1")
        driver.xdotool("key", "--delay", "100", "Page_Down", "Page_Down")
        road.shoot(self.desktop, program, "3b-preview", SHOTS, window=preview)
        road.close_preview(program)
        # Previewing writes nothing.
        self.assertEqual(driver.folder_snapshot(cluster.data), before)

        road.leave_review(program)
        self.assertEqual(program.find_all("push button", "Cancel"), [],
                         "the Cancel button is still there after the save")
        self.assertFalse(program.button("< Back").enabled)
        shot("4-thankyou")
        road.finish(program, untick=True)
        self.assertEqual(program.wait(), 0)
        self.assertFalse(os.path.exists(opened), "the services page was opened")

        after = driver.folder_snapshot(cluster.data)
        self.check_files(cluster, original, original_stat, before, after)
        self.check_announced_bitness()
        self.check_postgresql(cluster)

    def check_announced_bitness(self):
        # The packaged server program is 64-bit, so the service was told "64" and gave a
        # quarter of the memory; told "32", it caps shared_buffers at 1GB.
        megabytes = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 2 ** 20
        quarter = ("memory", float(megabytes * 1024 // 4 // 8 * 8))
        value, _ = active_settings(self.lines)["shared_buffers"]
        self.assertEqual(normalise(value), quarter, "shared_buffers = %s" % value)
        if megabytes > 4 * 1024:
            self.assertGreater(quarter[1], MEMORY["GB"], "more than a 32-bit server may have")

    def hand_chosen_run(self, root, cluster, version=None):
        """A run in hand-chosen mode (an empty machine registry) on the cluster's file; picks
        `version` by hand after choosing the file when given. Returns the version the box
        showed on choosing the file and the saved file's lines."""
        registry = os.path.join(root, "empty-registry")
        os.makedirs(registry, exist_ok=True)
        env = {"PELLORAN_REGISTRY": registry, "XDG_CONFIG_HOME": os.path.join(root, "config")}
        env.update(self.service.environment())
        program = driver.Program([PELLORAN], env=env)
        self.addCleanup(program.kill)
        road.wait_for_page(program, "welcome")
        self.assertEqual(road.version_box(program).name, "8.4", "shown before a file is chosen")
        road.choose_file(program, cluster.conf)
        detected = road.version_box(program).name
        if version:
            road.pick_version(program, version)
            self.assertEqual(road.version_box(program).name, version)
        program.click_button("Next >")
        road.wait_for_page(program, "usage")
        road.leave_usage(program, "Dedicated")
        road.leave_review(program)
        road.finish(program, untick=True)
        self.assertEqual(program.wait(), 0)
        with open(cluster.conf, "rb") as handle:
            return detected, handle.read().decode("utf-8").split("\r\n")[:-1]

    def test_a_hand_chosen_data_directory_is_tuned_for_its_own_version(self):
        root = os.path.join(self.folder.path, "hand")
        os.makedirs(root)
        os.chmod(root, 0o755)
        cluster = pg.Cluster(root).create()
        with open(cluster.conf, "rb") as handle:
            original = handle.read()

        detected, self.lines = self.hand_chosen_run(root, cluster)
        self.assertEqual(detected, "15")
        self.check_postgresql(cluster)
        cluster.stop()

        # The user's pick wins over the detection: tuned as 8.4 on the same file, as before.
        # Its file has no line of the parameters 8.4 adds, so the merge appends none of them
        # and PostgreSQL 15 still starts.
        with open(cluster.conf, "wb") as handle:
            handle.write(original)
        detected, self.lines = self.hand_chosen_run(root, cluster, version="8.4")
        self.assertEqual(detected, "15")
        self.check_postgresql(cluster)

    def check_files(self, cluster, original, original_stat, before, after):
        backups = [n for n in after if re.fullmatch(r"postgresql\.conf\.\d{14}", n)]
        self.assertEqual(len(backups), 1, sorted(set(after) - set(before)))
        # Nothing else in the folder came, went or changed.
        self.assertEqual(sorted(set(after) - set(before)), backups)
        for name in before:
            if name != "postgresql.conf":
                self.assertEqual(after[name], before[name], name + " changed")

        original_lines = original.decode("utf-8").splitlines()
        backup = after[backups[0]]
        self.assertFalse(backup.startswith(b"\xef\xbb\xbf"))
        self.assertTrue(backup.endswith(b"\r\n"))
        self.assertNotIn(b"\n", backup.replace(b"\r\n", b""), "a line end other than CR LF")
        self.assertEqual(backup.decode("utf-8").split("\r\n")[:-1], original_lines)

        saved = after["postgresql.conf"]
        self.assertNotIn(b"\n", saved.replace(b"\r\n", b""), "a line end other than CR LF")
        self.lines = saved.decode("utf-8").split("\r\n")[:-1]
        text = "\n".join(self.lines)
        self.assertRegex(text, re.escape(MODIFIED) + STAMP)
        self.assertRegex(text, re.escape(ADDED) + STAMP)
        self.assertIn('#       Original Value for "max_connections" was "100"', self.lines)
        # Every line that sets none of the parameters is still there, in the same order.
        tuned = re.compile(r"^\s*#?\s*(%s)\s*=" % "|".join(PARAMETERS + EXTENSION))
        untouched = [line for line in original_lines if not tuned.match(line)]
        kept = iter(self.lines)
        for line in untouched:
            self.assertIn(line, kept, "line lost or moved: %r" % line)

        # A dedicated machine of this size gets the extension's WAL sizes and its JIT and WAL
        # compression settings, each with its reason on a note line.
        settings = active_settings(self.lines)
        for name in ("max_wal_size", "min_wal_size", "jit", "wal_compression"):
            self.assertIn(name, settings)
        reasons = [line for line in self.lines if line.startswith(REASON)]
        self.assertGreaterEqual(len(reasons), 4, "\n".join(self.lines))

        self.check_rights([cluster.conf, os.path.join(cluster.data, backups[0])], original_stat)

    def check_rights(self, paths, original_stat):
        """The saved file and the backup have the old file's owner, group and mode."""
        for path in paths:
            st = os.stat(path)
            self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)),
                             (original_stat.st_uid, original_stat.st_gid,
                              stat.S_IMODE(original_stat.st_mode)), path)

    def check_postgresql(self, cluster):
        settings = active_settings(self.lines)
        tuned = {name: settings[name] for name in PARAMETERS + EXTENSION if name in settings}
        # Every parameter PostgreSQL 15 still has was tuned, and none it dropped was written.
        for name in ("max_connections", "shared_buffers", "work_mem", "maintenance_work_mem",
                     "effective_cache_size", "random_page_cost", "autovacuum"):
            self.assertIn(name, tuned)
        for name in ("max_fsm_pages", "max_fsm_relations", "checkpoint_segments",
                     "stats_row_level"):
            self.assertNotIn(name, tuned)

        ok, log = cluster.start(driver.free_port())
        self.addCleanup(cluster.stop)
        self.assertTrue(ok, "PostgreSQL 15 did not start from the saved file:\n" + log)
        for name, (value, line) in tuned.items():
            shown = cluster.show(name)
            if name == "wal_compression" and shown == "pglz":
                shown = "on"  # from 15 the server shows "on" as the method it stands for
            self.assertEqual(normalise(shown), normalise(value),
                             "%s: file says %s, SHOW says %s" % (name, value, shown))
            # And the value comes from the line the wizard wrote.
            source = pg.as_user(
                [pg.BIN + "/psql", "-h", cluster.sockets, "-p", str(cluster.port), "-U",
                 "postgres", "-XAtc", "SELECT sourcefile || ':' || sourceline FROM pg_settings "
                 "WHERE name = '%s'" % name], cwd="/").stdout.strip()
            self.assertEqual(source, "%s:%d" % (cluster.conf, line), name)


if __name__ == "__main__":
    unittest.main(verbosity=2, warnings="ignore")
