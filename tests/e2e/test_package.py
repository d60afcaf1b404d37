"""The Debian packages: built with CPack, installed with apt-get, their programs run."""

import configparser
import glob
import os
import shutil
import subprocess
import tempfile
import unittest

from pelloran_e2e import driver

BUILD = os.environ.get("PELLORAN_BUILD_DIR", "build")
HAS_SERVICE = bool(os.environ.get("PELLORAN_SERVICE_BINARY"))
IS_ROOT = os.geteuid() == 0
ACTION = "org.norvane.pelloran.run"

# pkexec asks polkitd over the system bus, and fails at once without them ("Error getting
# authority"). The test gives it both in namespaces of its own: /run/dbus is a private folder
# there, and every process started inside ends with the namespace. Then it runs the menu
# entry's command ($2...) and waits for the wizard's window.
MENU_ENTRY_SCRIPT = r"""
set -e
mount --bind "$1" /run/dbus
shift
dbus-daemon --system --nofork --nopidfile 2>/dev/null &
for _ in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.1; done
/usr/lib/polkit-1/polkitd --no-debug >&2 &
for _ in $(seq 300); do pkaction >/dev/null 2>&1 && break; sleep 0.1; done
pkaction --action-id %s --verbose
echo "--- window"
# pkexec refuses to run for process 1, which this shell is in its namespace.
sh -c '"$@"; exit $?' sh "$@" &
timeout 90 xdotool search --sync --name '^Norvane Pelloran$' | head -n 1
""" % ACTION


def run(command, **kwargs):
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    kwargs.setdefault("timeout", 300)
    return subprocess.run(command, **kwargs)


def make_certificate(folder):
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    result = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                  "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                  "-keyout", key, "-out", cert])
    assert result.returncode == 0, result.stderr
    return cert, key


def start_service(binary, cert, key, user=None):
    """Starts the service on a free port; returns (process, port, first line)."""
    port = driver.free_port()
    command = [binary, "--listen", "127.0.0.1:%d" % port, "--cert", cert, "--key", key]
    if user:
        import pwd
        entry = pwd.getpwnam(user)
        command = ["setpriv", "--reuid=%d" % entry.pw_uid, "--regid=%d" % entry.pw_gid,
                   "--clear-groups", "--"] + command
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    line = process.stdout.readline()
    return process, port, line


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="pelloran-package-")
        os.chmod(cls.folder, 0o755)
        result = run(["cpack", "-G", "DEB", "-B", cls.folder], cwd=BUILD, timeout=600)
        assert result.returncode == 0, result.stdout + result.stderr
        cls.debs = {}
        for deb in glob.glob(os.path.join(cls.folder, "*.deb")):
            name = run(["dpkg-deb", "-f", deb, "Package"]).stdout.strip()
            cls.debs[name] = deb

    @classmethod
    def tearDownClass(cls):
        run(["rm", "-rf", cls.folder])

    def contents(self, package):
        listing = run(["dpkg-deb", "-c", self.debs[package]]).stdout.splitlines()
        return {line.split()[-1].lstrip(".") for line in listing}

    def test_the_wizard_package_holds_program_menu_entry_and_icon(self):
        files = self.contents("pelloran")
        for path in ["/usr/bin/pelloran", "/usr/share/applications/pelloran.desktop",
                     "/usr/share/polkit-1/actions/org.norvane.pelloran.policy",
                     "/usr/share/icons/hicolor/48x48/apps/pelloran.png",
                     "/usr/share/icons/hicolor/128x128/apps/pelloran.png"]:
            self.assertIn(path, files)
        depends = run(["dpkg-deb", "-f", self.debs["pelloran"], "Depends"]).stdout
        self.assertIn("libwxgtk3.2", depends)
        self.assertIn("pkexec", depends)

        extracted = os.path.join(self.folder, "wizard")
        run(["dpkg-deb", "-x", self.debs["pelloran"], extracted])
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read(os.path.join(extracted, "usr/share/applications/pelloran.desktop"))
        desktop = entry["Desktop Entry"]
        self.assertEqual((desktop["Type"], desktop["Exec"], desktop["Icon"]),
                         ("Application", "pkexec /usr/bin/pelloran", "pelloran"))
        size = run(["identify", "-format", "%wx%h",
                    os.path.join(extracted, "usr/share/icons/hicolor/128x128/apps/pelloran.png")])
        self.assertEqual(size.stdout, "128x128")

    def test_the_terminal_package_needs_no_gui_library(self):
        files = self.contents("pelloran-cli")
        for path in ["/usr/bin/pelloran-cli", "/usr/share/man/man1/pelloran-cli.1.gz"]:
            self.assertIn(path, files)
        depends = run(["dpkg-deb", "-f", self.debs["pelloran-cli"], "Depends"]).stdout
        names = [part.split()[0] for part in depends.split(",") if part.strip()]
        # Everything apt-get would bring in, not only the first step of it.
        closure = run(["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests",
                       "--no-conflicts", "--no-breaks", "--no-replaces", "--no-enhances"] + names)
        self.assertEqual(closure.returncode, 0, closure.stderr)
        packages = {line.strip() for line in closure.stdout.splitlines() if not line.startswith(" ")}
        gui = sorted(p for p in packages
                     if any(word in p for word in ("gtk", "libx11", "libxcb", "wayland", "gdk", "cairo")))
        self.assertEqual(gui, [], "a GUI library among the terminal program's dependencies")

    @unittest.skipUnless(IS_ROOT and shutil.which("mmdebstrap") and HAS_SERVICE,
                         "a fresh Debian root needs root, mmdebstrap and the service")
    def test_the_terminal_package_installs_where_no_gui_library_is(self):
        """A fresh minimal Debian 12 root, as a server without a display has: apt-get installs
        the package there, and the program lists and makes a dry run against the service."""
        cert, key = make_certificate(self.folder)
        os.chmod(key, 0o644)
        process, port, line = start_service(os.environ["PELLORAN_SERVICE_BINARY"], cert, key)
        self.addCleanup(process.kill)
        self.assertTrue(line, "the service did not start")
        carried = os.path.join(self.folder, "carried")
        os.makedirs(carried)
        shutil.copy(self.debs["pelloran-cli"], os.path.join(carried, "pelloran-cli.deb"))
        shutil.copy(cert, os.path.join(carried, "ca.pem"))
        with open(os.path.join(carried, "postgresql.conf"), "w") as f:
            f.write("max_connections = 100\n")
        # Run inside the new root while its /proc and /dev are mounted; the network is the
        # host's, so the service answers on 127.0.0.1.
        inside = r"""
cd /carried
apt-get install -y --no-install-recommends ./pelloran-cli.deb > install.log 2>&1
echo $? > install.status
pelloran-cli --list > list.out 2>&1
echo $? > list.status
PELLORAN_SERVICE_URL=https://127.0.0.1:%d/authws/services/AuthenticationService PELLORAN_CA_FILE=/carried/ca.pem \
    pelloran-cli --conf-path /carried/postgresql.conf --pg-version 15 --usage mixed --memory 4GB --dry-run \
    --color never > dry-run.out 2>&1
echo $? > dry-run.status
dpkg-query -W -f='${Package}\n' > packages
find / -xdev \( -name 'libgtk*' -o -name 'libX11*' -o -name 'libxcb*' -o -name 'libwayland*' \) > gui-files
""" % port
        with open(os.path.join(carried, "inside.sh"), "w") as f:
            f.write(inside)
        root = os.path.join(self.folder, "root")
        copy_in = 'cp -r %s "$1/carried" && chroot "$1" sh /carried/inside.sh && cp -r "$1/carried" %s' % (
            carried, os.path.join(self.folder, "result"))
        result = run(["mmdebstrap", "--variant=apt", "--mode=root", "--customize-hook=" + copy_in, "bookworm", root,
                      "deb http://deb.debian.org/debian bookworm main",
                      "deb http://deb.debian.org/debian bookworm-updates main",
                      "deb http://deb.debian.org/debian-security bookworm-security main"], timeout=900)
        self.addCleanup(run, ["rm", "-rf", root])
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])

        def read(name):
            with open(os.path.join(self.folder, "result", name)) as f:
                return f.read()
        self.assertEqual(read("install.status").strip(), "0", read("install.log")[-3000:])
        gui = [p for p in read("packages").split() if any(w in p for w in ("gtk", "libx11", "libxcb", "wayland"))]
        self.assertEqual((gui, read("gui-files")), ([], ""), "a GUI library in the new root")
        self.assertEqual(read("list.status").strip(), "66", read("list.out"))  # no PostgreSQL there
        self.assertEqual(read("dry-run.status").strip(), "0", read("dry-run.out"))
        self.assertIn("+shared_buffers = ", read("dry-run.out"))
        self.assertEqual(read("postgresql.conf"), "max_connections = 100\n", "a dry run writes nothing")

    @unittest.skipUnless(HAS_SERVICE, "pelloran-service is not built")
    def test_the_service_package_runs_its_program_as_an_unprivileged_unit(self):
        files = self.contents("pelloran-service")
        for path in ["/usr/bin/pelloran-service",
                     "/usr/lib/systemd/system/pelloran-service.service",
                     "/usr/lib/pelloran-service/take-certificate",
                     "/etc/default/pelloran-service"]:
            self.assertIn(path, files)
        extracted = os.path.join(self.folder, "service")
        run(["dpkg-deb", "-x", self.debs["pelloran-service"], extracted])
        unit = open(os.path.join(extracted, "usr/lib/systemd/system/pelloran-service.service")).read()
        self.assertIn("DynamicUser=yes", unit)
        self.assertIn("ExecStart=/usr/bin/pelloran-service ", unit)

    @unittest.skipUnless(IS_ROOT, "installing a package needs root")
    def test_installed_with_apt_get_the_programs_run(self):
        installed_before = run(["dpkg-query", "-W", "-f=${Status}", "pelloran"]).stdout
        if "install ok installed" in installed_before:
            self.skipTest("a pelloran package is installed already; not touching it")
        packages = [self.debs["pelloran"], self.debs["pelloran-cli"]]
        if HAS_SERVICE:
            packages.append(self.debs["pelloran-service"])
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        # Other test runs on the machine may hold the package lock for a while: wait for it.
        lock = ["-o", "DPkg::Lock::Timeout=300"]
        result = run(["apt-get", "install", "-y", "--no-install-recommends"] + lock + packages,
                     env=env, timeout=600)
        self.addCleanup(run, ["apt-get", "purge", "-y"] + lock + ["pelloran", "pelloran-cli", "pelloran-service"],
                        env=env, timeout=600)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

        # An administrator over SSH, no display: the help still answers.
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        result = run(["/usr/bin/pelloran", "--help"], env=env, timeout=60)
        self.assertEqual(result.returncode, 255)
        self.assertIn("Pelloran helps to tune the PostgreSQL/Norvane database server",
                      result.stdout + result.stderr)

        result = run(["/usr/bin/pelloran-cli", "--list"], env=env, timeout=60)
        self.assertIn(result.returncode, (0, 66), result.stderr)

        self.check_the_menu_entry_starts_the_wizard_as_administrator()

        if not HAS_SERVICE:
            return
        # The unit as systemd reads it: no unknown settings, the program where it says.
        if shutil.which("systemd-analyze"):
            result = run(["systemd-analyze", "verify",
                          "/usr/lib/systemd/system/pelloran-service.service"])
            self.assertEqual((result.returncode, result.stderr.strip()), (0, ""))
        # The installed service runs as an account without rights and answers over TLS.
        certificates = tempfile.mkdtemp(prefix="pelloran-cert-")
        self.addCleanup(run, ["rm", "-rf", certificates])
        os.chmod(certificates, 0o755)
        cert, key = make_certificate(certificates)
        os.chmod(key, 0o644)
        process, port, line = start_service("/usr/bin/pelloran-service", cert, key, "nobody")
        self.addCleanup(process.kill)
        self.assertTrue(line, "no ready line: " + (process.poll() is not None and
                                                    process.stderr.read() or ""))
        result = run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-CAfile", cert,
                      "-verify_return_error", "-brief"], input="", timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        # The terminal program's dry run against the installed service, without a display.
        folder = tempfile.mkdtemp(prefix="pelloran-cli-")
        self.addCleanup(run, ["rm", "-rf", folder])
        conf = os.path.join(folder, "postgresql.conf")
        with open(conf, "w") as f:
            f.write("max_connections = 100\n")
        env = dict(env, PELLORAN_SERVICE_URL="https://127.0.0.1:%d/authws/services/AuthenticationService?wsdl" % port,
                   PELLORAN_CA_FILE=cert)
        result = run(["/usr/bin/pelloran-cli", "--conf-path", conf, "--pg-version", "15", "--usage", "mixed",
                      "--dry-run", "--color", "never"], env=env, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("+shared_buffers = ", result.stdout)
        self.assertEqual(open(conf).read(), "max_connections = 100\n", "a dry run writes nothing")
        process.terminate()
        process.wait(timeout=30)

    def check_the_menu_entry_starts_the_wizard_as_administrator(self):
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read("/usr/share/applications/pelloran.desktop")
        command = entry["Desktop Entry"]["Exec"].split()
        os.makedirs("/run/dbus", exist_ok=True)
        with driver.Desktop(), tempfile.TemporaryDirectory(prefix="pelloran-bus-") as bus:
            # polkitd reaches the bus after it has given up root.
            os.chmod(bus, 0o755)
            result = run(["unshare", "--mount", "--propagation", "private", "--pid", "--fork",
                          "--kill-child", "--mount-proc", "sh", "-c", MENU_ENTRY_SCRIPT, "sh", bus]
                         + command, timeout=180)
        action, _, window = result.stdout.partition("--- window")
        self.assertIn(ACTION + ":", action, result.stderr)
        self.assertRegex(action, r"implicit active:\s+auth_admin")
        self.assertRegex(action, r"org.freedesktop.policykit.exec.path -> /usr/bin/pelloran")
        self.assertRegex(action, r"org.freedesktop.policykit.exec.allow_gui -> true")
        self.assertRegex(window.strip(), r"^\d+$", "no wizard window opened: " + result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2, warnings="ignore")
