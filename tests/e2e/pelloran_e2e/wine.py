"""Windows programs under wine, against programs of the Linux side of the same machine.

The wine prefix, its server and the virtual screen are the Windows test run's
(scripts/check-windows.sh sets WINEPREFIX and DISPLAY); a test adds its private certificate
authority to that prefix's Root store only, and its installations to that prefix's registry.
"""

import os
import subprocess
import time

from . import driver, service

TRUST_TOOL = os.environ.get("PELLORAN_TRUST_TOOL", "")


def environment(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env.update(extra or {})
    return env


def run(argv, extra=None, timeout=300, **kwargs):
    """Runs a Windows program to its end under wine; the CompletedProcess."""
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    return subprocess.run(["wine"] + list(argv), env=environment(extra), timeout=timeout,
                          stdin=subprocess.DEVNULL, **kwargs)


def windows_path(path):
    """A Linux path as wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def trust(ca_file):
    """Adds the authority to the prefix's machine Root store (only this prefix trusts it)."""
    result = run([TRUST_TOOL, ca_file], timeout=60)
    if result.returncode != 0:
        raise RuntimeError("trusting %s failed: %s" % (ca_file, result.stdout + result.stderr))


def local_url(url):
    """The service's URL by the name `localhost`: wine refuses a certificate's IP name (12038)."""
    return url.replace("://127.0.0.1:", "://localhost:")


class TrustedService(service.Service):
    """The real pelloran-service, its authority trusted in the wine prefix."""

    def start(self):
        super().start()
        trust(self.ca)
        return self

    @property
    def url(self):
        return local_url(super().url)


def import_registry(reg_file):
    """Imports a .reg file into the prefix's registry (64-bit view)."""
    result = run(["reg", "import", windows_path(reg_file)], timeout=60)
    if result.returncode != 0:
        raise RuntimeError("reg import failed: " + result.stdout + result.stderr)


def delete_registry_key(key):
    run(["reg", "delete", key, "/f"], timeout=60)


def windows(name):
    """Visible X windows whose title is exactly `name`."""
    result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % name],
                            capture_output=True, text=True)
    return [int(w) for w in result.stdout.split()]


def wait_window(name, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = windows(name)
        if found:
            return found[-1]
        time.sleep(0.1)
    raise driver.DriverError("no window %r within %d s" % (name, timeout))


def wait_no_window(name, timeout=30):
    deadline = time.monotonic() + timeout
    while windows(name):
        if time.monotonic() > deadline:
            raise driver.DriverError("window %r still there after %d s" % (name, timeout))
        time.sleep(0.1)


def geometry(window):
    """(x, y, width, height) of the window on the screen."""
    out = subprocess.run(["xdotool", "getwindowgeometry", str(window)], capture_output=True,
                         text=True).stdout
    position = out.split("Position: ")[1].split()[0].split(",")
    size = out.split("Geometry: ")[1].split()[0].split("x")
    return int(position[0]), int(position[1]), int(size[0]), int(size[1])


def keys(window, *names):
    """Keys to the window, after giving it the focus (wine's windows have no window manager)."""
    for name in names:
        subprocess.run(["xdotool", "windowfocus", "--sync", str(window)], check=True)
        subprocess.run(["xdotool", "key", "--delay", "80", name], check=True)
        time.sleep(0.15)


def click(window, x, y):
    """A left click at (x, y) within the window."""
    left, top, _, _ = geometry(window)
    # No --sync: when the pointer is already there, xdotool would wait 15 s for a motion.
    subprocess.run(["xdotool", "mousemove", str(left + x), str(top + y), "sleep", "0.1", "click", "1"],
                   check=True)
