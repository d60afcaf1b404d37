"""A stand-in for the tuning service: HTTPS on loopback, answering the three SOAP operations
with whatever 17 names and values a test gives it.

It exists for answers the real pelloran-service never sends (values that would write lines
into postgresql.conf, parameters a server version no longer has, broken shapes), which a
test still has to put in front of the real wizard. For everything else use service.py.
"""

import http.server
import re
import ssl
import threading

from . import service

NAMESPACE = "urn:norvane:pelloran:tuning"

# What a PostgreSQL 15 server accepts, in the order of the answer; an empty value is no
# tuned value, as the real service answers for parameters a version does not have.
SOUND_VALUES = [
    ("max_connections", "100"),
    ("shared_buffers", "256MB"),
    ("work_mem", "4MB"),
    ("maintenance_work_mem", "64MB"),
    ("max_fsm_pages", ""),
    ("max_fsm_relations", ""),
    ("wal_buffers", "8MB"),
    ("checkpoint_segments", ""),
    ("random_page_cost", "4.0"),
    ("effective_cache_size", "1GB"),
    ("autovacuum", "on"),
    ("autovacuum_naptime", "1min"),
    ("autovacuum_vacuum_threshold", "50"),
    ("autovacuum_analyze_threshold", "50"),
    ("autovacuum_vacuum_scale_factor", "0.2"),
    ("autovacuum_analyze_scale_factor", "0.1"),
    ("stats_row_level", ""),
]


def pairs_with(**changes):
    """SOUND_VALUES with some values replaced: pairs_with(checkpoint_segments="16")."""
    unknown = set(changes) - {name for name, _ in SOUND_VALUES}
    if unknown:
        raise ValueError("not a tuning parameter: %s" % ", ".join(sorted(unknown)))
    return [(name, changes.get(name, value)) for name, value in SOUND_VALUES]


def hex_text(text):
    """The wire form of a value: each byte of its UTF-8 text as two upper-case digits."""
    return text.encode("utf-8").hex().upper()


def inner_arrays(wire_pairs):
    """The answer's inner arrays for (name, value) texts already in wire form, as they are."""
    return "".join('<item xsi:type="SOAP-ENC:Array" SOAP-ENC:arrayType="xsd:string[2]">'
                   "<item>%s</item><item>%s</item></item>" % pair for pair in wire_pairs)


def envelope(content):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" '
            'xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" '
            'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
            'xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns2="%s">'
            '<SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">'
            '%s</SOAP-ENV:Body></SOAP-ENV:Envelope>' % (NAMESPACE, content))


class StandInService:
    """Set `pairs` (17 name and value texts, hex-encoded on the way out, or a function of the
    request's decoded items that gives them) or `raw_items` (the inner arrays' XML as it is,
    for shapes pairs cannot make) before each exchange."""

    def __init__(self, folder, pairs=None):
        self.ca, self.cert, self.key = service.make_certificates(folder)
        self.pairs = list(pairs or SOUND_VALUES)
        self.raw_items = None
        self.operations = []  # the operations asked for, in order
        self.last_request = []  # the decoded items of the last getQuorvelInfo
        self.server = None
        self.thread = None

    def start(self):
        stand_in = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                found = re.search(rb"<ns2:(testWebService|validateUser|getQuorvelInfo)[ >/]", body)
                operation = found.group(1).decode() if found else ""
                stand_in.operations.append(operation)
                items = [bytes.fromhex(item.decode()).decode("utf-8", "replace")
                         for item in re.findall(rb"<item[^>]*>([0-9A-Fa-f]*)</item>", body)]
                answer = stand_in.answer(operation, items).encode("utf-8")
                self.send_response(200 if operation else 500)
                self.send_header("Content-Type", "text/xml; charset=utf-8")
                self.send_header("Content-Length", str(len(answer)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.cert, self.key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        return self

    def answer(self, operation, items):
        if operation == "testWebService":
            return envelope('<ns2:testWebServiceResponse><testWebServiceReturn xsi:type="xsd:string">'
                            'ready</testWebServiceReturn></ns2:testWebServiceResponse>')
        if operation == "validateUser":
            return envelope('<ns2:validateUserResponse><validateUserReturn xsi:type="xsd:string">'
                            '0</validateUserReturn></ns2:validateUserResponse>')
        if operation == "getQuorvelInfo":
            self.last_request = items
            answer = self.raw_items
            if answer is None:
                pairs = self.pairs(items) if callable(self.pairs) else self.pairs
                answer = inner_arrays((hex_text(name), hex_text(value)) for name, value in pairs)
            return envelope('<ns2:getQuorvelInfoResponse><getQuorvelInfoReturn '
                            'xsi:type="SOAP-ENC:Array" SOAP-ENC:arrayType="xsd:string[][17]">%s'
                            '</getQuorvelInfoReturn></ns2:getQuorvelInfoResponse>' % answer)
        return envelope("<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode>"
                        "<faultstring>unknown operation</faultstring></SOAP-ENV:Fault>")

    @property
    def url(self):
        return "https://127.0.0.1:%d%s" % (self.server.server_address[1], service.PATH)

    def environment(self):
        return {"PELLORAN_SERVICE_URL": self.url, "PELLORAN_CA_FILE": self.ca}

    def stop(self):
        if self.server:
            self.server.shutdown()
            self.server.server_close()
            self.thread.join()
            self.server = None

