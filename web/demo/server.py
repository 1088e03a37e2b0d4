#!/usr/bin/env python3
"""The demo page's server: serves web/demo and web/orvane.js on 127.0.0.1,
hands the page's certificate requests to the test issuer (tools/testca) and
checks the page's signatures with orvane-verify against the test issuer's
authorities.

    server.py --testca PATH --ca-dir DIR [--port N] [--verifier PATH] [--timeout S]

API (JSON in, JSON out, POST only):
  /api/issue   {"request": base64 PKCS#10, "type": 1|2, "format": optional}
               -> testca's answer {"algorithm", "signCert", "encCert",
                  "envelope", "caCert"} or {"error"}
  /api/verify  {"signature": base64 PKCS#7, "text": the signed text,
                "detached": bool}
               -> {"verified": bool, "contentMatches": bool, "signer": text,
                  "detail": orvane-verify's verdict, "checks": its checks}

Every request must name the server as its Host (127.0.0.1:PORT or
localhost:PORT), so a page of another name that resolves here (DNS
rebinding) gets nothing, and a request that carries an Origin must come from
a page of that same origin, so another site's form or text/plain POST does
not reach the issuer (403). A body that is no JSON object is answered 400,
one over the limit 413 without being read; a connection idle for longer than
the timeout is closed.

The browser tests reuse DemoHandler, adding their own routes.
"""
import argparse
import base64
import binascii
import hashlib
import json
import os
import subprocess
import sys
import tempfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
WEB = os.path.dirname(HERE)

# The largest body the page posts is a signature to verify with its text: the
# signing host answers with at most 1 MiB, and the text, which the signature
# holds, is smaller still. Twice that leaves room for JSON escapes.
MAX_BODY = 4 * 1024 * 1024

# Seconds a connection may stay silent (before or within a request) before
# it is closed, so a stalled upload does not hold a thread for good.
IDLE_TIMEOUT = 20

TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
         ".css": "text/css; charset=utf-8", ".json": "application/json"}


# The test issuer's authorities in its folder: the anchors the demo's
# signatures are checked against.
CA_FILES = ("rsa-ca.cert.pem", "sm2-ca.cert.pem")
DIGESTS = {"SHA-1": "sha1", "SHA-256": "sha256", "SHA-384": "sha384", "SHA-512": "sha512",
           "SM3": "sm3"}


def default_verifier(testca):
    """orvane-verify of the build tree testca comes from, else the one on PATH."""
    if os.environ.get("ORVANE_VERIFY"):
        return os.environ["ORVANE_VERIFY"]
    if testca:
        build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(testca))))
        candidate = os.path.join(build, "apps", "orvane-verify", "orvane-verify")
        if os.path.exists(candidate):
            return candidate
    return "orvane-verify"


class Issuer:
    """The test issuer and orvane-verify, as the demo's authority and verifier."""

    def __init__(self, testca, ca_dir, verifier=None):
        self.testca, self.ca_dir = testca, ca_dir
        self.verifier = verifier or default_verifier(testca)

    def issue(self, request, cert_type, fmt=None):
        if not isinstance(request, str) or not request.strip():
            return {"error": "no request"}
        command = [self.testca, "--ca-dir", self.ca_dir, "--request", "-", "--json"]
        if cert_type == 2 and fmt:
            command += ["--format", str(fmt)]
        run = subprocess.run(command, input=request.encode(), capture_output=True, timeout=60)
        if run.returncode != 0:
            return {"error": run.stderr.decode(errors="replace").strip() or "the issuer refused"}
        return json.loads(run.stdout)

    def verify(self, signature, text, detached):
        """orvane-verify's opinion of a Base64 message over the UTF-8 text,
        with the test issuer's authorities as the anchors."""
        refused = {"verified": False, "contentMatches": False, "signer": "", "checks": []}
        # The page hands over Base64; anything else is answered here, without
        # starting the verifier.
        try:
            base64.b64decode("".join(str(signature).split()), validate=True)
        except (binascii.Error, ValueError):
            return dict(refused, detail="the signature is not Base64")
        if not str(signature).strip():
            return dict(refused, detail="no signature")
        content = str(text).encode("utf-8")
        with tempfile.TemporaryDirectory(prefix="orvane-verify-") as tmp:
            msg, data = os.path.join(tmp, "message.b64"), os.path.join(tmp, "content.bin")
            with open(msg, "w") as f:
                f.write(signature)
            with open(data, "wb") as f:
                f.write(content)
            command = [self.verifier, "--json"]
            for name in CA_FILES:
                if self.ca_dir and os.path.exists(os.path.join(self.ca_dir, name)):
                    command += ["--ca", os.path.join(self.ca_dir, name)]
            command.append(msg)
            if detached:
                command.append(data)
            try:
                run = subprocess.run(command, capture_output=True, timeout=60)
            except OSError as e:
                return dict(refused, detail=f"orvane-verify cannot be run: {e}")
            try:
                report = json.loads(run.stdout)
            except ValueError:
                return dict(refused, detail=(run.stderr or run.stdout).decode(
                    errors="replace").strip() or "orvane-verify gave no report")
        # The message's own content must be the page's text: the digest the
        # verifier computed against Python's.
        algorithm = DIGESTS.get(report.get("digestAlgorithm"))
        matches = (algorithm is not None and report.get("contentLength") == len(content) and
                   report.get("digest") == hashlib.new(algorithm, content).hexdigest())
        return {"verified": run.returncode == 0 and report.get("verified") is True,
                "contentMatches": matches, "signer": report["signer"]["subject"],
                "detail": report.get("verdict", ""), "checks": report.get("checks", [])}


class Refused(Exception):
    """A request answered with an error status and a JSON {"error"}."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class DemoHandler(BaseHTTPRequestHandler):
    """Static files of web/demo (and /orvane.js), and the two API calls."""

    issuer = None  # an Issuer, set by whoever makes the server
    static = {"/orvane.js": os.path.join(WEB, "orvane.js")}
    static_dirs = [HERE]
    quiet = False
    timeout = IDLE_TIMEOUT  # the socket's, set for each connection

    def log_message(self, fmt, *args):
        if not self.quiet:
            sys.stderr.write("demo-web: " + fmt % args + "\n")

    def send_json(self, value, status=200):
        body = json.dumps(value).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def own_hosts(self):
        """The Host values that name this server: its address and port, and
        localhost with the port where the address is the loopback one."""
        host, port = self.server.server_address[:2]
        names = [host] + (["localhost"] if host == "127.0.0.1" else [])
        return {f"{name}:{port}" for name in names} | (set(names) if port == 80 else set())

    def check_caller(self):
        """Refused unless the request names this server and, when it says
        where it comes from, comes from a page of this server."""
        hosts = self.headers.get_all("Host") or []
        if len(hosts) != 1 or hosts[0].strip().lower() not in self.own_hosts():
            raise Refused(403, "this server answers only to its own address")
        origins = self.headers.get_all("Origin") or []
        if origins and (len(origins) != 1 or
                        origins[0].strip().lower() != "http://" + hosts[0].strip().lower()):
            raise Refused(403, "requests from other sites are not served")

    def read_json(self):
        """The body as a JSON object; raises Refused for anything else,
        before reading a body that is too large."""
        lengths = self.headers.get_all("Content-Length") or []
        if len(lengths) != 1 or not lengths[0].strip().isascii() or \
                not lengths[0].strip().isdigit():
            raise Refused(400, "a Content-Length, please")
        length = int(lengths[0])
        if length > MAX_BODY:
            raise Refused(413, f"a body of at most {MAX_BODY} bytes, please")
        body = self.rfile.read(length)
        if len(body) != length:
            raise Refused(400, "the body ended early")
        try:
            value = json.loads(body)
        except (ValueError, RecursionError):
            value = None
        if not isinstance(value, dict):
            raise Refused(400, "a JSON object, please")
        return value

    def refuse(self, refusal):
        # The rest of the request, if any, is not read: the connection ends.
        self.close_connection = True
        self.send_json({"error": str(refusal)}, refusal.status)

    def file_for(self, path):
        if path in self.static:
            return self.static[path]
        name = "index.html" if path == "/" else path.lstrip("/")
        # Plain names only: nothing outside the served folders.
        if "/" in name or "\\" in name or name.startswith("."):
            return None
        for folder in self.static_dirs:
            candidate = os.path.join(folder, name)
            if os.path.isfile(candidate):
                return candidate
        return None

    def do_GET(self):
        try:
            self.check_caller()
        except Refused as refusal:
            self.refuse(refusal)
            return
        path = self.path.split("?", 1)[0]
        file = self.file_for(path)
        if file is None:
            self.send_error(404)
            return
        with open(file, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", TYPES.get(os.path.splitext(file)[1], "text/plain"))
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        path = self.path.split("?", 1)[0]
        try:
            self.check_caller()
            body = self.read_json()
        except Refused as refusal:
            self.refuse(refusal)
            return
        if path == "/api/issue":
            self.send_json(self.issuer.issue(body.get("request"), body.get("type"),
                                             body.get("format")))
        elif path == "/api/verify":
            self.send_json(self.issuer.verify(body.get("signature", ""), body.get("text", ""),
                                              bool(body.get("detached"))))
        else:
            self.post_other(path, body)

    def post_other(self, path, body):
        self.send_json({"error": "no such call"}, 404)


def main():
    parser = argparse.ArgumentParser(description="The Orvane demo page's server (127.0.0.1 only).")
    parser.add_argument("--testca", required=True)
    parser.add_argument("--ca-dir", required=True)
    parser.add_argument("--verifier", default=None,
                        help="orvane-verify (default: the one built beside --testca)")
    parser.add_argument("--port", type=int, default=8731)
    parser.add_argument("--timeout", type=float, default=IDLE_TIMEOUT,
                        help="seconds a silent connection is kept (default %(default)s)")
    args = parser.parse_args()
    DemoHandler.issuer = Issuer(args.testca, args.ca_dir, args.verifier)
    DemoHandler.timeout = args.timeout
    server = ThreadingHTTPServer(("127.0.0.1", args.port), DemoHandler)
    print(f"demo-web: open http://127.0.0.1:{server.server_address[1]}/ (Ctrl-C ends)", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
