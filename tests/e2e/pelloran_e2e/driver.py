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


def die_with_parent():
    """In a child before exec: end with SIGTERM when the test process ends, however it ends."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM, 0, 0, 0)  # PR_SET_PDEATHSIG


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
            pass_fds=[write_end], stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
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
        # Not forked away: a test killed outright (a time-out) takes its bus with it.
        self.bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                    preexec_fn=die_with_parent)
        self.bus_pid = self.bus.pid
        self._set_env("DBUS_SESSION_BUS_ADDRESS", self.bus.stdout.readline().strip())
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
            self.bus.terminate()
            self.bus.wait()
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

    def wait_drawn(self, box, timeout=20, min_colours=16):
        """Waits until the screen region shows a picture that no longer changes (two looks
        a quarter of a second apart), so that a screenshot shows the finished drawing."""
        xlib = _X11()
        try:
            deadline = time.monotonic() + timeout
            previous = None
            while time.monotonic() < deadline:
                now = xlib.pixels(xlib.root, *box)
                if now == previous and len(set(memoryview(now).cast("I"))) >= min_colours:
                    return True
                previous = now
                time.sleep(0.25)
            return False
        finally:
            xlib.close()

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
        # No --sync: it waits for the pointer to move, which it does not when it is already
        # there (two clicks on the same button), and the server handles the move before the
        # click anyway.
        if w <= 0 or h <= 0:
            raise DriverError("%s %r has no place on the screen" % (self.role, self.name))
        xdotool("mousemove", x + w // 2, y + h // 2, "click", "1")

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


class _X11:
    """The few Xlib calls the driver needs, through ctypes (no Python binding is installed)."""

    class WindowAttributes(ctypes.Structure):
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

    class ClientMessageEvent(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Image(ctypes.Structure):
        _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int),
                    ("xoffset", ctypes.c_int), ("format", ctypes.c_int),
                    ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                    ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int),
                    ("bitmap_pad", ctypes.c_int), ("depth", ctypes.c_int),
                    ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]

    def __init__(self):
        x = ctypes.CDLL(ctypes.util.find_library("X11"))
        p, ul, i = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int
        x.XOpenDisplay.restype = p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ul
        x.XDefaultRootWindow.argtypes = [p]
        x.XInternAtom.restype = ul
        x.XInternAtom.argtypes = [p, ctypes.c_char_p, i]
        x.XQueryTree.argtypes = [p, ul, ctypes.POINTER(ul), ctypes.POINTER(ul),
                                 ctypes.POINTER(ctypes.POINTER(ul)), ctypes.POINTER(ctypes.c_uint)]
        x.XGetWindowProperty.argtypes = [p, ul, ul, ctypes.c_long, ctypes.c_long, i, ul,
                                         ctypes.POINTER(ul), ctypes.POINTER(i),
                                         ctypes.POINTER(ul), ctypes.POINTER(ul),
                                         ctypes.POINTER(p)]
        x.XGetWindowAttributes.argtypes = [p, ul, ctypes.POINTER(self.WindowAttributes)]
        x.XSendEvent.argtypes = [p, ul, i, ctypes.c_long, p]
        x.XGetImage.restype = ctypes.POINTER(self.Image)
        x.XGetImage.argtypes = [p, ul, i, i, ctypes.c_uint, ctypes.c_uint, ul, i]
        x.XDestroyImage.argtypes = [ctypes.POINTER(self.Image)]
        x.XFlush.argtypes = [p]
        x.XSync.argtypes = [p, i]
        x.XCloseDisplay.argtypes = [p]
        x.XFree.argtypes = [p]
        # A window that vanishes between two calls must not end the test process.
        self.error_handler = ctypes.CFUNCTYPE(i, p, p)(lambda d, e: 0)
        x.XSetErrorHandler(self.error_handler)
        self.x = x
        self.display = x.XOpenDisplay(None)
        if not self.display:
            raise DriverError("cannot open the display")
        self.root = x.XDefaultRootWindow(self.display)

    def close(self):
        self.x.XCloseDisplay(self.display)

    def atom(self, name):
        return self.x.XInternAtom(self.display, name.encode(), 0)

    def top_windows(self):
        """Mapped top-level windows, bottom of the stack first: (id, attributes)."""
        root_ret, parent_ret = ctypes.c_ulong(), ctypes.c_ulong()
        children = ctypes.POINTER(ctypes.c_ulong)()
        count = ctypes.c_uint()
        self.x.XQueryTree(self.display, self.root, ctypes.byref(root_ret),
                          ctypes.byref(parent_ret), ctypes.byref(children), ctypes.byref(count))
        result = []
        for n in range(count.value):
            attributes = self.WindowAttributes()
            if not self.x.XGetWindowAttributes(self.display, children[n], ctypes.byref(attributes)):
                continue
            if attributes.map_state == 2 and not attributes.override_redirect:
                result.append((children[n], attributes))
        if children:
            self.x.XFree(children)
        return result

    def pid_of(self, window):
        actual_type, actual_format = ctypes.c_ulong(), ctypes.c_int()
        items, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
        self.x.XGetWindowProperty(self.display, window, self.atom("_NET_WM_PID"), 0, 1, 0, 0,
                                  ctypes.byref(actual_type), ctypes.byref(actual_format),
                                  ctypes.byref(items), ctypes.byref(after), ctypes.byref(data))
        if not data.value:
            return None
        owner = ctypes.cast(data, ctypes.POINTER(ctypes.c_ulong))[0] if items.value == 1 else None
        self.x.XFree(data)
        return owner

    def pixels(self, window, x, y, width, height):
        """The raw pixels of a region of a window (the root window for the screen)."""
        image = self.x.XGetImage(self.display, window, x, y, width, height, 0xFFFFFFFF, 2)
        if not image:
            return b""
        try:
            im = image.contents
            return ctypes.string_at(im.data, im.bytes_per_line * im.height)
        finally:
            self.x.XDestroyImage(image)

    def colours(self, window, width, height):
        """How many distinct pixel values the window shows now."""
        image = self.x.XGetImage(self.display, window, 0, 0, width, height, 0xFFFFFFFF, 2)
        if not image:
            return 0
        try:
            im = image.contents
            if im.bits_per_pixel != 32:
                return 0
            raw = ctypes.string_at(im.data, im.bytes_per_line * im.height)
            return len(set(memoryview(raw).cast("I")))
        finally:
            self.x.XDestroyImage(image)

    def send_delete(self, window):
        event = self.ClientMessageEvent()
        event.type = 33  # ClientMessage
        event.window = window
        event.message_type = self.atom("WM_PROTOCOLS")
        event.format = 32
        event.data[0] = self.atom("WM_DELETE_WINDOW")
        event.data[1] = 0  # CurrentTime
        buffer = ctypes.create_string_buffer(192)  # XEvent is a 192-byte union
        ctypes.memmove(buffer, ctypes.byref(event), ctypes.sizeof(event))
        self.x.XSendEvent(self.display, window, 0, 0, buffer)
        self.x.XFlush(self.display)


def send_delete_window(x, y, pid):
    """Sends WM_DELETE_WINDOW to the program's top-level window under (x, y).

    There is no window manager on the private screen, so nobody draws close boxes; this is
    the message a window manager sends when its close box is pressed.
    """
    xlib = _X11()
    try:
        target = None
        for window, a in xlib.top_windows():
            if a.x <= x < a.x + a.width and a.y <= y < a.y + a.height and xlib.pid_of(window) == pid:
                target = window  # the last match is the top of the stack
        if target is None:
            raise DriverError("no window of process %d at (%d, %d)" % (pid, x, y))
        xlib.send_delete(target)
    finally:
        xlib.close()


def time_to_first_drawing(argv, env=None, min_colours=32, timeout=30):
    """Starts a program and returns (seconds from the start until its first top-level window
    shows a drawn picture, the process). "Drawn": at least min_colours distinct pixel
    values, which a freshly mapped, still blank window does not have."""
    xlib = _X11()
    try:
        environment = dict(os.environ)
        environment.update(env or {})
        started = time.perf_counter()
        process = subprocess.Popen(argv, env=environment, stdin=subprocess.DEVNULL)
        while time.perf_counter() - started < timeout:
            for window, a in xlib.top_windows():
                if xlib.pid_of(window) == process.pid and \
                        xlib.colours(window, a.width, a.height) >= min_colours:
                    return time.perf_counter() - started, process
            if process.poll() is not None:
                raise DriverError("the program ended with %s" % process.returncode)
            time.sleep(0.002)
        raise DriverError("no drawn window after %s s" % timeout)
    finally:
        xlib.close()


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
