#!/usr/bin/env python3
"""The demo page's server (web/demo/server.py), started as the demo starts it
on a free loopback port: malformed and oversized bodies get a JSON error and
not a dropped connection, only its own address and its own pages are served,
and a silent connection is closed after the timeout.

    demo_server_test.py SOURCE_DIR
"""
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..")
TIMEOUT = 1  # the server's idle timeout in this test, seconds


class DemoServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="demo-server-")
        # No request here reaches the issuer's program: a verify call with a
        # signature that is not Base64 is answered by the server itself.
        cls.server = subprocess.Popen(
            [sys.executable, os.path.join(SOURCE_DIR, "web", "demo", "server.py"),
             "--testca", os.path.join(cls.scratch.name, "no-testca"),
             "--ca-dir", cls.scratch.name, "--port", "0", "--timeout", str(TIMEOUT)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = cls.server.stdout.readline()
        match = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not match:
            cls.server.kill()
            raise RuntimeError(f"the server did not start: {line!r}")
        cls.port = int(match.group(1))
        cls.host = f"127.0.0.1:{cls.port}"

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        _, errors = cls.server.communicate(timeout=10)
        cls.scratch.cleanup()
        # Every bad request above was answered, none ended in a traceback.
        if "Traceback" in errors:
            raise AssertionError(f"the server failed on a request:\n{errors}")

    def exchange(self, head, body=b""):
        """(status, JSON body or None) of one raw request; the server closes
        the connection after its answer."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(head.replace("\n", "\r\n").encode() + b"\r\n" + body)
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
        status_line, _, rest = answer.partition(b"\r\n")
        _, _, payload = rest.partition(b"\r\n\r\n")
        status = int(status_line.split()[1]) if status_line else None
        try:
            return status, json.loads(payload)
        except ValueError:
            return status, None

    def post(self, body, host=None, origin=None, length=None, path="/api/verify"):
        head = f"POST {path} HTTP/1.1\nHost: {host or self.host}\nContent-Type: text/plain\n"
        if origin is not None:
            head += f"Origin: {origin}\n"
        head += f"Content-Length: {len(body) if length is None else length}\n"
        return self.exchange(head, body)

    def test_requests_are_answered_by_what_they_are(self):
        verify = json.dumps({"signature": "not base64!", "text": "t"}).encode()
        own = f"http://{self.host}"
        local = f"localhost:{self.port}"
        cases = [
            # what, (body, host, origin, claimed length), status
            ("the page's own call", (verify, None, own, None), 200),
            ("a call without Origin (not from a browser page)", (verify, None, None, None), 200),
            ("the page on localhost", (verify, local, f"http://{local}", None), 200),
            ("a length that is no number", (b"", None, own, "abc"), 400),
            ("a negative length", (b"", None, own, "-5"), 400),
            ("a body that is not JSON", (b"{nope", None, own, None), 400),
            ("deeply nested JSON", (b"[" * 100000 + b"]" * 100000, None, own, None), 400),
            ("a JSON value that is no object", (b"[1]", None, own, None), 400),
            # Claimed, never sent: the answer must not wait for it.
            ("a body over the limit", (b"", None, own, str(64 * 1024 * 1024)), 413),
            ("another site's page", (verify, None, "http://evil.example", None), 403),
            ("a sandboxed page", (verify, None, "null", None), 403),
            ("the other loopback name's page", (verify, None, f"http://{local}", None), 403),
            ("another name for this address", (verify, f"evil.example:{self.port}", None, None), 403),
            ("another port", (verify, f"127.0.0.1:{self.port + 1}", None, None), 403),
        ]
        for what, (body, host, origin, length), want in cases:
            with self.subTest(what):
                status, answer = self.post(body, host, origin, length)
                self.assertEqual(status, want)
                self.assertIsInstance(answer, dict)
                if want == 200:
                    self.assertIs(answer["verified"], False)
                else:
                    self.assertIn("error", answer)
        status, _ = self.exchange(f"GET / HTTP/1.1\nHost: evil.example:{self.port}\n")
        self.assertEqual(status, 403, "a page served under another name")
        status, _ = self.exchange(f"GET / HTTP/1.1\nHost: {self.host}\n")
        self.assertEqual(status, 200, "the demo page itself")

    def test_silent_connections_are_closed(self):
        for what, sent in [("before the request", b""),
                           ("within the headers", b"POST /api/verify HTTP/1.1\r\nHost: "),
                           ("within the body", f"POST /api/verify HTTP/1.1\r\nHost: {self.host}\r\n"
                                               "Content-Length: 100\r\n\r\n{".encode())]:
            with self.subTest(what), socket.create_connection(("127.0.0.1", self.port)) as s:
                s.sendall(sent)
                s.settimeout(TIMEOUT * 15)
                started = time.monotonic()
                closed = False
                try:
                    while s.recv(65536):
                        pass  # whatever the server says before it hangs up
                    closed = True
                except ConnectionResetError:
                    closed = True
                except socket.timeout:
                    pass
                self.assertTrue(closed, f"still open after {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    unittest.main()
