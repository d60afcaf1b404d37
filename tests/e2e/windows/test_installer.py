"""The Windows installer under wine: a silent install puts the program under Program Files
with a Start menu entry and an Add/Remove Programs entry; a silent uninstall takes all of it
away again.

Usage: test_installer.py <Pelloran-<version>-setup.exe>, with PELLORAN_PROGRAM and
PELLORAN_CLI_PROGRAM naming the pelloran.exe and pelloran-cli.exe it should hold and
PELLORAN_VERSION its version.
"""

import filecmp
import os
import sys
import time
import unittest

from pelloran_e2e import wine

SETUP = ""
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Pelloran"


def drive_c(*parts):
    return os.path.join(os.environ["WINEPREFIX"], "drive_c", *parts)


def tree(folder):
    """Every path under the folder, relative to it."""
    found = set()
    for root, folders, files in os.walk(folder):
        for name in folders + files:
            found.add(os.path.relpath(os.path.join(root, name), folder))
    return found


def registry_values(key):
    """name -> (type, data) of the key's values in the 64-bit view, or None without the key."""
    result = wine.run(["reg", "query", key, "/reg:64"], timeout=60)
    if result.returncode != 0:
        return None
    values = {}
    for line in result.stdout.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2] if len(parts) == 3 else "")
    return values


class InstallerTest(unittest.TestCase):
    def test_silent_install_then_silent_uninstall_leaves_nothing(self):
        program_files = drive_c("Program Files")
        start_menu = drive_c("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs")
        before = tree(program_files)
        self.assertIsNone(registry_values(UNINSTALL_KEY), "installed before the test")

        result = wine.run([SETUP, "/S"], timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        folder = os.path.join(program_files, "Norvane", "Pelloran")
        self.assertEqual(tree(program_files) - before,
                         {"Norvane", os.path.join("Norvane", "Pelloran"),
                          os.path.join("Norvane", "Pelloran", "pelloran.exe"),
                          os.path.join("Norvane", "Pelloran", "pelloran-cli.exe"),
                          os.path.join("Norvane", "Pelloran", "uninstall.exe")})
        self.assertTrue(os.path.exists(os.path.join(start_menu, "Pelloran.lnk")))
        installed = "C:\\Program Files\\Norvane\\Pelloran"
        self.assertEqual(registry_values(UNINSTALL_KEY), {
            "DisplayName": ("REG_SZ", "Pelloran"),
            "DisplayVersion": ("REG_SZ", os.environ["PELLORAN_VERSION"]),
            "Publisher": ("REG_SZ", "Norvane"),
            "DisplayIcon": ("REG_SZ", installed + "\\pelloran.exe"),
            "InstallLocation": ("REG_SZ", installed),
            "UninstallString": ("REG_SZ", '"%s\\uninstall.exe"' % installed),
            "QuietUninstallString": ("REG_SZ", '"%s\\uninstall.exe" /S' % installed),
            "NoModify": ("REG_DWORD", "0x1"),
            "NoRepair": ("REG_DWORD", "0x1"),
        })
        for name, built in (("pelloran.exe", "PELLORAN_PROGRAM"), ("pelloran-cli.exe", "PELLORAN_CLI_PROGRAM")):
            self.assertTrue(filecmp.cmp(os.path.join(folder, name), os.environ[built], shallow=False),
                            "the installed %s is not the one built" % name)

        # The uninstaller copies itself away and returns at once; the files go a moment later.
        result = wine.run([installed + "\\uninstall.exe", "/S"], timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        deadline = time.monotonic() + 60
        while tree(program_files) != before and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(tree(program_files), before, "left behind in Program Files")
        self.assertFalse(os.path.exists(os.path.join(start_menu, "Pelloran.lnk")))
        self.assertIsNone(registry_values(UNINSTALL_KEY))


if __name__ == "__main__":
    SETUP = sys.argv.pop(1)
    unittest.main(verbosity=2)
