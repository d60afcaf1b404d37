"""A real PostgreSQL 15 cluster in a temporary folder, and the .reg file that describes it.

initdb and the server refuse to run as root; when the tests run as root the cluster
belongs to an ordinary account that tests/support/test-accounts.sh makes before the tests.
"""

import os
import pwd
import re
import subprocess
import time

BIN = "/usr/lib/postgresql/15/bin"
USER = "pelloran-e2e"


def server_version():
    out = subprocess.run([BIN + "/postgres", "--version"], check=True, capture_output=True,
                         text=True).stdout
    return re.search(r"\) (\d+\.\d+)", out).group(1)


def cluster_user():
    """(name, uid, gid) of the account that owns clusters."""
    if os.geteuid() != 0:
        entry = pwd.getpwuid(os.geteuid())
        return entry.pw_name, entry.pw_uid, entry.pw_gid
    try:
        entry = pwd.getpwnam(USER)
    except KeyError:
        raise RuntimeError("the test account %s is missing: tests/support/test-accounts.sh makes it "
                           "(ctest runs it first as the fixture test_accounts)" % USER) from None
    return entry.pw_name, entry.pw_uid, entry.pw_gid


def as_user(command, **kwargs):
    name, uid, gid = cluster_user()
    if os.geteuid() == 0:
        command = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups",
                   "--"] + command
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    return subprocess.run(command, **kwargs)


class Cluster:
    def __init__(self, folder, port=5432):
        self.folder = folder
        self.data = os.path.join(folder, "data")
        self.sockets = os.path.join(folder, "sockets")
        self.port = port
        self.conf = os.path.join(self.data, "postgresql.conf")

    def create(self):
        name, uid, gid = cluster_user()
        os.makedirs(self.sockets, exist_ok=True)
        os.chown(self.folder, uid, gid)
        os.chown(self.sockets, uid, gid)
        result = as_user([BIN + "/initdb", "-D", self.data, "-U", "postgres", "-A", "trust",
                          "-E", "UTF8", "--locale=C.UTF-8", "--no-sync"], cwd="/")
        if result.returncode != 0:
            raise RuntimeError("initdb failed: " + result.stdout + result.stderr)
        return self

    def registry(self, path, display_name="PostgreSQL 15 (e2e)", version=None, data_directory=None):
        """Writes a .reg file describing this cluster as one installed service; the data
        directory as the wizard will see it (under wine, a path on its Z: drive)."""
        version = version or server_version()
        code = "{5F1C2B3A-15E2-4E2E-9E2E-PELLORANE2E}"
        text = "\r\n".join([
            "Windows Registry Editor Version 5.00",
            "",
            r"[HKEY_LOCAL_MACHINE\SOFTWARE\PostgreSQL\Services\pgsql-e2e]",
            '"Display Name"="%s"' % display_name,
            '"Port"=dword:%08x' % self.port,
            '"Data Directory"="%s"' % (data_directory or self.data).replace("\\", "\\\\"),
            '"Database Superuser"="postgres"',
            '"Service Account"="%s"' % cluster_user()[0],
            '"Encoding"="UTF8"',
            '"Locale"="C.UTF-8"',
            '"Product Code"="%s"' % code,
            "",
            r"[HKEY_LOCAL_MACHINE\SOFTWARE\PostgreSQL\Installations" "\\" + code + "]",
            '"Version"="%s"' % version,
            '"Base Directory"="/usr/lib/postgresql/15"',
            "",
        ])
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
        return "%s on port %d" % (display_name, self.port)

    def start(self, port):
        """Starts the server on port; returns (ok, log text)."""
        self.port = port
        log = os.path.join(self.sockets, "server.log")
        result = as_user([BIN + "/pg_ctl", "-D", self.data, "-l", log, "-w", "-t", "60",
                          "-o", "-p %d -k %s -c listen_addresses=''" % (port, self.sockets),
                          "start"], cwd="/")
        text = ""
        if os.path.exists(log):
            with open(log, errors="replace") as handle:
                text = handle.read()
        return result.returncode == 0, result.stdout + result.stderr + text

    def show(self, parameter):
        result = as_user([BIN + "/psql", "-h", self.sockets, "-p", str(self.port), "-U",
                          "postgres", "-d", "postgres", "-XAtc", "SHOW " + parameter], cwd="/")
        if result.returncode != 0:
            raise RuntimeError("SHOW %s failed: %s" % (parameter, result.stderr))
        return result.stdout.strip()

    def setting(self, parameter):
        """The value in the configuration's own unit and form, as pg_settings has it."""
        result = as_user([BIN + "/psql", "-h", self.sockets, "-p", str(self.port), "-U",
                          "postgres", "-d", "postgres", "-XAtc",
                          "SELECT setting || '|' || coalesce(unit, '') FROM pg_settings "
                          "WHERE name = '%s'" % parameter], cwd="/")
        return result.stdout.strip()

    def stop(self):
        as_user([BIN + "/pg_ctl", "-D", self.data, "-m", "fast", "-w", "stop"], cwd="/")
        # Leave nothing listening even if stop failed.
        deadline = time.monotonic() + 10
        while os.path.exists(os.path.join(self.data, "postmaster.pid")) and \
                time.monotonic() < deadline:
            time.sleep(0.1)
