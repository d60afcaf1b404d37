"""The save under trouble, through the real wizard: a full disk, the process killed at each
step, rights taken away, links where the configuration file or its backup go, a file
changed behind its back, a file it cannot decode.
Each time nothing is lost, a failure names the file, and no temporary file stays.

As root the wizard runs without the capabilities that bypass file permissions (as an
ordinary administrator's process would), so that the rights cases fail as they would for
anyone else. Disk-full cases use a small tmpfs when the machine lets the test mount one,
otherwise the fault shim's "no space" answer.
"""

import os
import re
import shutil
import subprocess
import unittest

from pelloran_e2e import cluster as pg
from pelloran_e2e import driver
from pelloran_e2e import road
from pelloran_e2e import service

PELLORAN = os.environ.get("PELLORAN_BINARY", "pelloran")
SHIM = os.environ.get("PELLORAN_FAULT_SHIM", "")
SHOTS = os.path.join(driver.ARTIFACTS, "e2e", "reliability")
IS_ROOT = os.geteuid() == 0
BACKUP = re.compile(r"^postgresql\.conf\.\d{14}$")

template = None  # the postgresql.conf initdb writes, as bytes
desktop = None
tuning = None
workspace = None


def setUpModule():
    global template, desktop, tuning, workspace
    if not service.available():
        raise unittest.SkipTest("pelloran-service is not built")
    workspace = driver.TempDir()
    made = pg.Cluster(os.path.join(workspace.path, "template"))
    os.makedirs(made.folder)
    made.create()
    with open(made.conf, "rb") as handle:
        template = handle.read()
    tuning = service.Service(workspace.path).start()
    desktop = driver.Desktop()
    desktop.start()


def tearDownModule():
    if desktop:
        desktop.stop()
    if tuning:
        tuning.stop()
    if workspace:
        workspace.__exit__()


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


class Case:
    """A data folder with a postgresql.conf, described by a .reg file, and one wizard run."""

    def __init__(self, test, name, content=None, tmpfs_size=None):
        self.test = test
        self.name = name
        self.root = os.path.join(workspace.path, name)
        os.makedirs(self.root)
        self.data = os.path.join(self.root, "data")
        os.makedirs(self.data)
        self.mounted = False
        if tmpfs_size:
            result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % tmpfs_size,
                                     "tmpfs", self.data], capture_output=True)
            self.mounted = result.returncode == 0
            if self.mounted:
                test.addCleanup(subprocess.run, ["umount", "-l", self.data])
        self.conf = os.path.join(self.data, "postgresql.conf")
        self.original = template if content is None else content
        with open(self.conf, "wb") as handle:
            handle.write(self.original)
        os.chmod(self.conf, 0o644)
        self.registry = os.path.join(self.root, "machine.reg")
        self.list_text = pg.Cluster(self.root).registry(self.registry)
        self.program = None

    def start(self, fault_env=None):
        env = {"PELLORAN_REGISTRY": self.registry,
               "XDG_CONFIG_HOME": os.path.join(self.root, "config")}
        env.update(tuning.environment())
        command = [PELLORAN]
        if fault_env:
            env.update(fault_env)
            env["PELLORAN_PRELOAD"] = SHIM
            command = ["sh", "-c", 'LD_PRELOAD="$PELLORAN_PRELOAD" exec "$0"', PELLORAN]
        if IS_ROOT:
            command = ["capsh", "--drop=cap_dac_override,cap_dac_read_search,cap_fowner,"
                       "cap_linux_immutable", "--", "-c", 'exec "$@"', "capsh"] + command
        self.program = driver.Program(command, env=env)
        self.test.addCleanup(self.program.kill)
        return self.program

    def to_review(self, fault_env=None):
        program = self.start(fault_env)
        road.wait_for_page(program, "welcome")
        road.leave_welcome(program, self.list_text)
        road.leave_usage(program, "Mixed")
        return program

    def files(self):
        return sorted(os.listdir(self.data))

    def backups(self):
        return [n for n in self.files() if BACKUP.match(n)]

    def read(self, name="postgresql.conf"):
        with open(os.path.join(self.data, name), "rb") as handle:
            return handle.read()

    def error_after_next(self):
        """Next on the review page fails: returns the error box's texts, closes it, and
        checks that the wizard stays on the review page with its Cancel button."""
        self.program.click_button("Next >")
        window, labels = self.program.message_box(timeout=60)
        role, title = window.role, window.name
        desktop.screenshot(os.path.join(SHOTS, self.name + ".png"))
        self.program.click_button("OK", within=window)
        self.program.wait_gone(role, title)
        road.wait_for_page(self.program, "review")
        self.test.assertTrue(self.program.find_all("push button", "Cancel"),
                             "the Cancel button went although nothing was saved")
        return " ".join(labels)

    def assert_unchanged(self, allowed_extra=()):
        self.test.assertEqual(self.read(), self.original, "the configuration file changed")
        extra = [n for n in self.files() if n != "postgresql.conf" and n not in allowed_extra]
        self.test.assertEqual(extra, [], "files left behind")

    def assert_saved(self):
        saved = self.read()
        self.test.assertIn(b"# NOTE: This has been modified by Norvane's Pelloran on ", saved)
        backups = self.backups()
        self.test.assertEqual(len(backups), 1)
        self.test.assertEqual(self.read(backups[0]), crlf(self.original))
        return saved


@unittest.skipUnless(shutil.which("capsh") or not IS_ROOT, "capsh is missing")
class SaveReliabilityTest(unittest.TestCase):
    def finish(self, case):
        road.leave_review(case.program)
        road.finish(case.program)
        self.assertEqual(case.program.wait(), 0)

    def fill(self, case, leave):
        """Fills the case's tmpfs so that `leave` bytes stay free."""
        info = os.statvfs(case.data)
        free = info.f_bavail * info.f_frsize
        with open(os.path.join(case.data, "filler"), "wb") as handle:
            handle.write(b"\0" * max(0, free - leave))
        return os.path.join(case.data, "filler")

    def disk_full(self, name, room_for_backup):
        size = 4096
        pages = -(-len(crlf(template)) // size)
        case = Case(self, name, tmpfs_size=(pages * 2 + 40) * size)
        if not case.mounted:
            self.skipTest("cannot mount a tmpfs here (it needs root in a mount namespace "
                          "that allows it)")
        case.to_review()
        # Room for the backup but not for the new file beside it, or not even for the backup.
        filler = self.fill(case, (pages + 1) * size if room_for_backup else 2 * size)
        message = case.error_after_next()
        self.assertIn(case.conf if room_for_backup else case.data, message)
        os.unlink(filler)
        if room_for_backup:
            # The backup is whole; the configuration file is as it was.
            for backup in case.backups():
                self.assertEqual(case.read(backup), crlf(case.original))
            case.assert_unchanged(allowed_extra=case.backups())
        else:
            case.assert_unchanged()
        # With room again, Next saves.
        self.finish(case)
        case.assert_saved()

    def test_disk_full_while_writing_the_backup(self):
        self.disk_full("full-backup", room_for_backup=False)

    def test_disk_full_while_writing_the_configuration_file(self):
        self.disk_full("full-conf", room_for_backup=True)

    def test_read_only_file(self):
        case = Case(self, "read-only")
        case.to_review()
        os.chmod(case.conf, 0o444)
        message = case.error_after_next()
        self.assertIn("File Not Accessible: " + case.conf, message)
        os.chmod(case.conf, 0o644)
        self.assertEqual(case.read(), case.original)
        self.assertEqual([n for n in case.files() if not BACKUP.match(n)], ["postgresql.conf"])
        self.finish(case)
        case.assert_saved()

    def test_folder_that_is_not_writable(self):
        case = Case(self, "read-only-folder")
        case.to_review()
        os.chmod(case.data, 0o555)
        self.addCleanup(os.chmod, case.data, 0o755)
        message = case.error_after_next()
        self.assertIn(case.data, message)
        case.assert_unchanged()

    def test_a_linked_configuration_file_is_refused_and_its_target_left_alone(self):
        case = Case(self, "link")
        real_folder = os.path.join(case.root, "etc")
        os.makedirs(real_folder)
        real = os.path.join(real_folder, "postgresql.conf")
        os.rename(case.conf, real)
        os.symlink(real, case.conf)
        program = case.start()
        road.wait_for_page(program, "welcome")
        road.choose_installation(program, case.list_text)
        program.click_button("Next >")
        window, labels = program.message_box(timeout=60)
        role, title = window.role, window.name
        self.assertEqual(" ".join(labels), "The configuration file cannot be used: %s\n"
                         "It is a symbolic link, which is not followed." % case.conf)
        program.click_button("OK", within=window)
        program.wait_gone(role, title)
        road.wait_for_page(program, "welcome")
        self.assertEqual(os.readlink(case.conf), real)
        with open(real, "rb") as handle:
            self.assertEqual(handle.read(), template)
        self.assertEqual(sorted(os.listdir(real_folder)), ["postgresql.conf"])
        self.assertEqual(case.files(), ["postgresql.conf"])

    def test_a_link_planted_at_the_backups_name_is_refused(self):
        # The folder belongs to another account, which may write it, as the database account
        # owns the configuration's folder on packaged layouts; the wizard runs as root.
        case = Case(self, "planted")
        os.chown(case.data, 65534, 65534)
        os.chmod(case.data, 0o777)
        outside = os.path.join(case.root, "outside")
        os.makedirs(outside)
        victim = os.path.join(outside, "root-owned")
        with open(victim, "wb") as handle:
            handle.write(b"root's own\n")
        os.chmod(victim, 0o644)
        victim_before = os.stat(victim)
        conf_before = os.stat(case.conf)
        program = case.to_review()
        # The review page names the backup before Next: that account plants a link there.
        shown = [t.strip() for t in program.texts() if BACKUP.match(t.strip())]
        self.assertEqual(len(shown), 1, program.texts())
        planted = os.path.join(case.data, shown[0])
        os.symlink(victim, planted)
        os.lchown(planted, 65534, 65534)
        message = case.error_after_next()
        self.assertEqual(message, "The backup file could not be written: %s\nSomething is already there "
                         "under that name; it has been left alone.\nThe configuration file has not been "
                         "changed." % planted)
        with open(victim, "rb") as handle:
            self.assertEqual(handle.read(), b"root's own\n")
        after = os.stat(victim)
        self.assertEqual((after.st_uid, after.st_gid, after.st_mode), (victim_before.st_uid,
                         victim_before.st_gid, victim_before.st_mode))
        self.assertEqual(os.readlink(planted), victim)
        case.assert_unchanged(allowed_extra=[shown[0]])
        # Once the name is free again the save goes through in that folder, with the old rights.
        os.unlink(planted)
        self.finish(case)
        case.assert_saved()
        saved = os.stat(case.conf)
        self.assertEqual((saved.st_uid, saved.st_gid, saved.st_mode),
                         (conf_before.st_uid, conf_before.st_gid, conf_before.st_mode))

    def test_file_changed_between_preview_and_save(self):
        case = Case(self, "changed")
        program = case.to_review()
        road.open_preview(program)
        road.close_preview(program)
        edited = template + b"# added by someone else\nlisten_addresses = 'localhost'\n"
        with open(case.conf, "wb") as handle:
            handle.write(edited)
        case.original = edited
        self.finish(case)
        saved = case.assert_saved()
        # The other person's change is in both files: nothing of it is lost.
        self.assertIn(b"# added by someone else\r\nlisten_addresses = 'localhost'\r\n", saved)

    def test_undecodable_file_is_refused_and_left_alone(self):
        content = template.replace(b"# PostgreSQL configuration file",
                                   b"# PostgreSQL configuration file \xe9t\xe9", 1)
        self.assertNotEqual(content, template)
        case = Case(self, "undecodable", content=content)
        program = case.to_review()
        program.click_button("Review")
        window, labels = program.message_box(timeout=60)
        role, title = window.role, window.name
        self.assertIn(case.conf, " ".join(labels))
        program.click_button("OK", within=window)
        program.wait_gone(role, title)
        message = case.error_after_next()
        self.assertIn(case.conf, message)
        case.assert_unchanged()

    @unittest.skipUnless(SHIM, "the fault shim is not built")
    def test_killed_at_each_step_of_the_save(self):
        # A run that logs every step of the save, to know how many there are.
        probe = Case(self, "kill-probe")
        log = os.path.join(probe.root, "steps.log")
        probe.to_review({"PELLORAN_FAULT_DIR": probe.data, "PELLORAN_FAULT_LOG": log})
        before_save = len(open(log).read().splitlines()) if os.path.exists(log) else 0
        self.finish(probe)
        steps = open(log).read().splitlines()[before_save:]
        self.assertGreater(len(steps), 4, steps)
        finished = probe.read()
        stamp = re.compile(rb"\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}")

        outcomes = []
        for index in range(len(steps)):
            case = Case(self, "kill-%02d" % (index + 1))
            fault = {"PELLORAN_FAULT_DIR": case.data,
                     "PELLORAN_FAULT_KILL_AT": str(before_save + index + 1)}
            program = case.to_review(fault)
            program.click_button("Next >")
            code = program.wait(timeout=60)
            self.assertEqual(code, -9, "not killed at step %d (%s)" % (index + 1, steps[index]))
            conf = case.read()
            old = conf == case.original
            new = stamp.sub(b"T", conf) == stamp.sub(b"T", finished)
            self.assertTrue(old or new, "step %d (%s): the file is neither old nor new"
                            % (index + 1, steps[index]))
            for name in case.backups():
                self.assertEqual(case.read(name), crlf(template),
                                 "step %d: a partial backup" % (index + 1))
            leftovers = [n for n in case.files() if n != "postgresql.conf" and not BACKUP.match(n)]
            outcomes.append("%s -> %s%s" % (steps[index].split(" ", 1)[1].replace(probe.data, "."),
                                            "new" if new else "old",
                                            " (left: %s)" % ", ".join(leftovers) if leftovers else ""))
        print("\nkilled at each step of the save:\n  " + "\n  ".join(outcomes))


if __name__ == "__main__":
    unittest.main(verbosity=2, warnings="ignore")
