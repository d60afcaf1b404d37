"""The real pelloran-service over HTTPS on loopback, with a certificate made for the test."""

import os
import subprocess
import time

from . import driver

BINARY = os.environ.get("PELLORAN_SERVICE_BINARY", "")
PATH = "/authws/services/AuthenticationService?wsdl"


def available():
    return bool(BINARY) and os.path.exists(BINARY)


def openssl(command):
    result = subprocess.run(["openssl"] + command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("openssl failed: " + result.stderr)


def sign(folder, name, ca, subject_alt_names, common_name=None):
    """A certificate for the names, signed by the authority (ca.pem beside ca.key):
    (cert, key), written into the folder as <name>.pem and <name>.key."""
    ca_key = os.path.splitext(ca)[0] + ".key"
    cert, key = os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key")
    csr, ext = os.path.join(folder, name + ".csr"), os.path.join(folder, name + ".ext")
    with open(ext, "w") as handle:
        handle.write("basicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n"
                     "subjectAltName=%s\n" % subject_alt_names)
    openssl(["req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + (common_name or name),
             "-keyout", key, "-out", csr])
    openssl(["x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
             "-days", "2", "-extfile", ext, "-out", cert])
    return cert, key


def make_certificates(folder):
    """A private authority and a certificate for 127.0.0.1 signed by it: (ca, cert, key)."""
    ca, ca_key = os.path.join(folder, "ca.pem"), os.path.join(folder, "ca.key")
    openssl(["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=Pelloran test authority", "-addext", "basicConstraints=critical,CA:TRUE",
             "-keyout", ca_key, "-out", ca])
    cert, key = sign(folder, "server", ca, "IP:127.0.0.1,DNS:localhost", common_name="127.0.0.1")
    return ca, cert, key


class Service:
    def __init__(self, folder):
        self.folder = folder
        self.ca, self.cert, self.key = make_certificates(folder)
        self.log = os.path.join(folder, "access.log")
        self.process = None
        self.port = None

    def start(self):
        for _ in range(5):
            self.port = driver.free_port()
            self.errors = open(os.path.join(self.folder, "service.err"), "w")
            self.process = subprocess.Popen(
                [BINARY, "--listen", "127.0.0.1:%d" % self.port, "--cert", self.cert,
                 "--key", self.key, "--access-log", self.log],
                stdout=subprocess.PIPE, stderr=self.errors, text=True, stdin=subprocess.DEVNULL)
            line = self.process.stdout.readline()
            if line and self.process.poll() is None:
                return self
            self.stop()
        raise RuntimeError("pelloran-service did not start")

    @property
    def url(self):
        return "https://127.0.0.1:%d%s" % (self.port, PATH)

    def environment(self):
        return {"PELLORAN_SERVICE_URL": self.url, "PELLORAN_CA_FILE": self.ca}

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process:
            self.process.stdout.close()
            self.errors.close()
        self.process = None


def wait_for(condition, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True
