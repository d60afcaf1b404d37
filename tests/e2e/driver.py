"""Drives the real pelloran from outside, as a person would.

A private virtual screen (Xvfb) and session bus per test process; the program's windows
are read through the accessibility tree (AT-SPI) and clicked and typed into with xdotool.

Buttons whose handler opens a modal dialog (Next on the usage page, Review, Cancel, ...)
are clicked with the pointer at the position the tree reports, never through an
accessibility action: an action call only returns when its handler does, and while a modal
loop runs inside it the program's whole tree stops answering.
"""

import ctypes
import ctypes.util
import os
import shutil
import signal
import subprocess
import tempfile
import time

ARTIFACTS = os.environ.get("PELLORAN_ARTIFACTS") or os.path.join(
    os.environ.get("PELLORAN_BUILD_DIR", os.getcwd()), "test-artifacts")

pyatspi = None  # imported once the private screen and bus exist


class DriverError(AssertionError):
    pass


class Desktop:
    """Xvfb on a free display number plus a session bus; usable as a context manager."""

    def __init__(self, width=1280, height=1024):
        self.size = (width, height)
        self.xvfb = None
        self.bus_pid = None
        self.saved_environment = {}

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        global pyatspi
        read_end, write_end = os.pipe()
        # -noreset: without it GTK sometimes failed to start on the second client.
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             "%dx%dx24" % self.size, "-noreset", "-nolisten", "tcp"],
            pass_fds=[write_end], stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            raise DriverError("Xvfb did not start")
        self._set_env("DISPLAY", ":" + number.decode().strip())
        out = subprocess.run(
            ["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
            check=True, capture_output=True, text=True).stdout.split()
        self.bus_pid = int(out[1])
        self._set_env("DBUS_SESSION_BUS_ADDRESS", out[0])
        # The accessibility bridge must be on for the tree to exist.
        self._set_env("NO_AT_BRIDGE", None)
        self._set_env("GTK_A11Y", None)
        self._set_env("GSETTINGS_BACKEND", "memory")
        if pyatspi is None:
            import warnings
            warnings.filterwarnings("ignore", category=DeprecationWarning)
            warnings.filterwarnings("ignore", category=ImportWarning)
            import pyatspi as module
            pyatspi = module

    def _set_env(self, name, value):
        self.saved_environment.setdefault(name, os.environ.get(name))
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value

    def stop(self):
        if self.bus_pid:
            try:
                os.kill(self.bus_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            self.bus_pid = None
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()
            self.xvfb = None
        for name, value in self.saved_environment.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        self.saved_environment = {}

    def screenshot(self, path, box=None):
        """Saves the screen, or the box (x, y, width, height) of it, as PNG; returns the path."""
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        command = ["import", "-window", "root"]
        if box:
            command += ["-crop", "%dx%d+%d+%d" % (box[2], box[3], box[0], box[1]), "+repage"]
        subprocess.run(command + [path], check=True, stderr=subprocess.DEVNULL)
        return path


def xdotool(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], check=True)


class Node:
    """One accessible object: a window, a control, a text."""

    def __init__(self, accessible):
        self.acc = accessible

    @property
    def role(self):
        return self.acc.getRoleName()

    @property
    def name(self):
        return self.acc.name or ""

    def _state(self, state):
        return self.acc.getState().contains(state)

    @property
    def showing(self):
        return self._state(pyatspi.STATE_SHOWING)

    @property
    def enabled(self):
        return self._state(pyatspi.STATE_ENABLED) and self._state(pyatspi.STATE_SENSITIVE)

    @property
    def checked(self):
        return self._state(pyatspi.STATE_CHECKED)

    def children(self):
        return [Node(c) for c in self.acc if c is not None]

    def descendants(self):
        stack = [self]
        while stack:
            node = stack.pop(0)
            yield node
            try:
                stack.extend(node.children())
            except Exception:  # a window that is going away
                pass

    def box(self):
        """(x, y, width, height) on the screen."""
        e = self.acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return (e.x, e.y, e.width, e.height)

    def text(self):
        try:
            t = self.acc.queryText()
            return t.getText(0, -1)
        except NotImplementedError:
            return self.name

    def click(self):
        """A left click with the pointer in the middle of the control."""
        x, y, w, h = self.box()
        if w <= 0 or h <= 0:
            raise DriverError("%s %r has no place on the screen" % (self.role, self.name))
        xdotool("mousemove", "--sync", x + w // 2, y + h // 2, "click", "1")

    def __repr__(self):
        return "<%s %r>" % (self.role, self.name)


class Program:
    """The real program, started on the private screen."""

    def __init__(self, argv, env=None, stdout=None, stderr=None, app_name=None):
        """app_name: the program shows its windows from a child process of that name
        (a script that starts it), not from the process started here."""
        environment = dict(os.environ)
        environment.update(env or {})
        self.process = subprocess.Popen(argv, env=environment, stdin=subprocess.DEVNULL,
                                        stdout=stdout, stderr=stderr)
        self.app_name = app_name
        self.pid = self.process.pid if app_name is None else None

    def application(self, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            if self.process.poll() is not None:
                raise DriverError("the program ended with %s before showing a window"
                                  % self.process.returncode)
            desktop = pyatspi.Registry.getDesktop(0)
            for app in desktop:
                try:
                    if app is None or not app.childCount:
                        continue
                    if self.pid is None and app.name == self.app_name:
                        self.pid = app.get_process_id()
                    if app.get_process_id() == self.pid:
                        return Node(app)
                except Exception:
                    pass
            if time.monotonic() > deadline:
                raise DriverError("no window of the program appeared in %s s" % timeout)
            time.sleep(0.1)

    def windows(self):
        return [w for w in self.application().children() if w.showing]

    def find_all(self, role=None, name=None, showing=True, within=None):
        roots = [within] if within else self.application().children()
        found = []
        for root in roots:
            for node in root.descendants():
                try:
                    if role and node.role != role:
                        continue
                    if name is not None and node.name.strip() != name.strip():
                        continue
                    if showing and not node.showing:
                        continue
                    found.append(node)
                except Exception:
                    continue
        return found

    def find(self, role=None, name=None, showing=True, within=None, timeout=20):
        """The one control of that role and name; waits for it to appear."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.find_all(role, name, showing, within)
            if found:
                return found[0]
            if self.process.poll() is not None:
                raise DriverError("the program ended (%s) while waiting for %s %r"
                                  % (self.process.returncode, role, name))
            if time.monotonic() > deadline:
                raise DriverError("no %s %r showing after %s s; showing texts: %r"
                                  % (role, name, timeout, self.texts()))
            time.sleep(0.1)

    def wait_gone(self, role, name, timeout=30):
        deadline = time.monotonic() + timeout
        while self.find_all(role, name):
            if time.monotonic() > deadline:
                raise DriverError("%s %r still showing after %s s" % (role, name, timeout))
            time.sleep(0.1)

    def window(self, title, timeout=20):
        """A top-level window (frame, dialog or alert) by its title."""
        deadline = time.monotonic() + timeout
        while True:
            for w in self.windows():
                if w.name == title:
                    return w
            if self.process.poll() is not None:
                raise DriverError("the program ended while waiting for window %r" % title)
            if time.monotonic() > deadline:
                raise DriverError("no window %r; windows: %r" % (title, self.windows()))
            time.sleep(0.1)

    def texts(self, within=None):
        """Every text label showing, in tree order."""
        try:
            return [n.name for n in self.find_all("label", within=within)]
        except Exception:
            return []

    def button(self, name, within=None, timeout=20):
        return self.find("push button", name, within=within, timeout=timeout)

    def click_button(self, name, within=None):
        node = self.button(name, within=within)
        if not node.enabled:
            raise DriverError("button %r is disabled" % name)
        node.click()

    def wait_for_button_state(self, name, enabled, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            found = self.find_all("push button", name)
            if found and found[0].enabled == enabled:
                return found[0]
            if time.monotonic() > deadline:
                raise DriverError("button %r not %s" % (name, "enabled" if enabled else "disabled"))
            time.sleep(0.1)

    def message_box(self, timeout=30):
        """The next message or error box: (window, its texts)."""
        deadline = time.monotonic() + timeout
        while True:
            for w in self.windows():
                if w.role in ("alert", "dialog"):
                    labels = [n.name for n in w.descendants()
                              if n.role == "label" and n.name]
                    return w, labels
            if self.process.poll() is not None:
                raise DriverError("the program ended while waiting for a message box")
            if time.monotonic() > deadline:
                raise DriverError("no message box after %s s; windows: %r"
                                  % (timeout, self.windows()))
            time.sleep(0.1)

    def close_window(self, title):
        """Asks a top-level window to close, as its close box does (WM_DELETE_WINDOW)."""
        window = self.window(title)
        x, y, w, h = window.box()
        send_delete_window(x + w // 2, y + h // 2, self.pid)

    def wait(self, timeout=60):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise DriverError("the program did not end within %s s" % timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def send_delete_window(x, y, pid):
    """Sends WM_DELETE_WINDOW to the program's top-level window under (x, y).

    There is no window manager on the private screen, so nobody draws close boxes; this is
    the message a window manager sends when its close box is pressed.
    """
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                               ctypes.POINTER(ctypes.c_ulong),
                               ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                               ctypes.POINTER(ctypes.c_uint)]
    x11.XGetWindowProperty.argtypes = [
        ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long,
        ctypes.c_int, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
        ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
        ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x11.XFree.argtypes = [ctypes.c_void_p]

    class XWindowAttributes(ctypes.Structure):
        _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                    ("height", ctypes.c_int), ("border_width", ctypes.c_int),
                    ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
                    ("root", ctypes.c_ulong), ("class_", ctypes.c_int),
                    ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                    ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                    ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                    ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                    ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                    ("your_event_mask", ctypes.c_long),
                    ("do_not_propagate_mask", ctypes.c_long),
                    ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]

    class XClientMessageEvent(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    x11.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                         ctypes.POINTER(XWindowAttributes)]
    display = x11.XOpenDisplay(None)
    if not display:
        raise DriverError("cannot open the display")
    try:
        root = x11.XDefaultRootWindow(display)
        wm_protocols = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
        wm_delete = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        net_wm_pid = x11.XInternAtom(display, b"_NET_WM_PID", 0)
        root_ret, parent_ret = ctypes.c_ulong(), ctypes.c_ulong()
        children = ctypes.POINTER(ctypes.c_ulong)()
        count = ctypes.c_uint()
        x11.XQueryTree(display, root, ctypes.byref(root_ret), ctypes.byref(parent_ret),
                       ctypes.byref(children), ctypes.byref(count))
        target = None
        # Children are in stacking order, bottom first: the last match is the top one.
        for i in range(count.value):
            window = children[i]
            attributes = XWindowAttributes()
            x11.XGetWindowAttributes(display, window, ctypes.byref(attributes))
            if attributes.map_state != 2 or attributes.override_redirect:
                continue
            if not (attributes.x <= x < attributes.x + attributes.width
                    and attributes.y <= y < attributes.y + attributes.height):
                continue
            actual_type, actual_format = ctypes.c_ulong(), ctypes.c_int()
            items, after = ctypes.c_ulong(), ctypes.c_ulong()
            data = ctypes.c_void_p()
            x11.XGetWindowProperty(display, window, net_wm_pid, 0, 1, 0, 0,
                                   ctypes.byref(actual_type), ctypes.byref(actual_format),
                                   ctypes.byref(items), ctypes.byref(after), ctypes.byref(data))
            owner = None
            if data.value and items.value == 1:
                owner = ctypes.cast(data, ctypes.POINTER(ctypes.c_ulong))[0]
                x11.XFree(data)
            if owner == pid:
                target = window
        if children:
            x11.XFree(children)
        if target is None:
            raise DriverError("no window of process %d at (%d, %d)" % (pid, x, y))
        event = XClientMessageEvent()
        event.type = 33  # ClientMessage
        event.window = target
        event.message_type = wm_protocols
        event.format = 32
        event.data[0] = wm_delete
        event.data[1] = 0  # CurrentTime
        # XEvent is a 192-byte union; pass a buffer that large.
        buffer = ctypes.create_string_buffer(192)
        ctypes.memmove(buffer, ctypes.byref(event), ctypes.sizeof(event))
        x11.XSendEvent(display, target, 0, 0, buffer)
        x11.XFlush(display)
    finally:
        x11.XCloseDisplay(display)


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class TempDir:
    def __init__(self, prefix="pelloran-e2e-"):
        self.path = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.path, 0o755)

    def __enter__(self):
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def folder_snapshot(folder):
    """Every file under folder with its bytes, for "nothing else changed" checks."""
    result = {}
    for base, _dirs, files in os.walk(folder):
        for f in files:
            path = os.path.join(base, f)
            if os.path.islink(path):
                result[os.path.relpath(path, folder)] = ("link", os.readlink(path))
                continue
            with open(path, "rb") as handle:
                result[os.path.relpath(path, folder)] = handle.read()
    return result
