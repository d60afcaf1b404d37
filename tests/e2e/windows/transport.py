"""Runs the Windows transport test (argv[1], under wine) against the real pelloran-service
and a recorder on loopback; the recorder echoes each request and gives the answers the
service never gives (401, 407, a redirect, a fault, silence).

Usage: windows_transport.py <http_transport_windows_test.exe> [gtest arguments]
"""

import http.server
import os
import re
import shutil
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading

from pelloran_e2e import driver
from pelloran_e2e import service
from pelloran_e2e import wine


class Recorder:
    """HTTPS on loopback with the given certificate; answers by path."""

    def __init__(self, cert, key):
        self.stopping = threading.Event()
        recorder = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                status = re.match(r"/status/(\d+)", self.path)
                if self.path.startswith("/silence") or self.path.startswith("/hang-up"):
                    if self.path.startswith("/silence"):
                        recorder.stopping.wait(30)
                    self.close_connection = True
                    return
                if status:
                    code = int(status.group(1))
                    answer = b"<fault/>" if code == 500 else b"<html>no</html>"
                    extra = [("Location", "/elsewhere")] if code == 302 else []
                    extra += [("WWW-Authenticate", 'Basic realm="r"')] if code == 401 else []
                    extra += [("Proxy-Authenticate", 'Basic realm="r"')] if code == 407 else []
                else:
                    code = 200
                    head = [self.requestline] + ["%s: %s" % item for item in self.headers.items()]
                    answer = ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body
                    extra = []
                self.send_response(code)
                for name, value in extra:
                    self.send_header(name, value)
                self.send_header("Content-Type", "text/xml; charset=utf-8")
                self.send_header("Content-Length", str(len(answer)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(answer)
                self.close_connection = True

            def log_message(self, *args):
                pass

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True

        self.server = Server(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    @property
    def url(self):
        return "https://localhost:%d" % self.server.server_address[1]

    def stop(self):
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()


class Stoppable:
    def __init__(self, process):
        self.process = process

    def stop(self):
        self.process.terminate()
        self.process.wait()


def port_open(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def main():
    folder = tempfile.mkdtemp(prefix="pelloran-wininet-")
    started = []
    try:
        if not service.available():
            print("PELLORAN_SERVICE_BINARY is not built: the Linux build comes first", file=sys.stderr)
            return 1
        tuning = wine.TrustedService(folder).start()
        started.append(tuning)
        wrong_cert = service.sign(folder, "elsewhere", tuning.ca, "DNS:elsewhere.example")
        stranger = os.path.join(folder, "stranger")
        os.makedirs(stranger)
        _, stranger_cert, stranger_key = service.make_certificates(stranger)
        recorders = {
            "PELLORAN_RECORDER": Recorder(tuning.cert, tuning.key),
            "PELLORAN_WRONG_NAME": Recorder(*wrong_cert),
            "PELLORAN_UNTRUSTED": Recorder(stranger_cert, stranger_key),
        }
        started.extend(recorders.values())
        extra = {name: recorder.url for name, recorder in recorders.items()}
        extra["PELLORAN_SERVICE_URL"] = tuning.url
        extra["PELLORAN_CLOSED_PORT"] = str(driver.free_port())
        if shutil.which("tinyproxy"):
            proxy_port = driver.free_port()
            proxy_log = os.path.join(folder, "tinyproxy.log")
            with open(os.path.join(folder, "tinyproxy.conf"), "w") as handle:
                handle.write('Port %d\nListen 127.0.0.1\nTimeout 30\nLogFile "%s"\nLogLevel Connect\n'
                             "MaxClients 10\nAllow 127.0.0.1\n" % (proxy_port, proxy_log))
            tinyproxy = subprocess.Popen(["tinyproxy", "-d", "-c", os.path.join(folder, "tinyproxy.conf")],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            started.append(Stoppable(tinyproxy))
            if service.wait_for(lambda: port_open(proxy_port)):
                extra["PELLORAN_PROXY_PORT"] = str(proxy_port)
                extra["PELLORAN_PROXY_LOG"] = wine.windows_path(proxy_log)
        result = wine.run(sys.argv[1:], extra=extra, capture_output=False, timeout=600)
        with open(tuning.log) as handle:
            calls = handle.read()
        print("service access log:\n" + calls)
        return result.returncode
    finally:
        for program in reversed(started):
            program.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
