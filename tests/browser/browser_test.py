#!/usr/bin/env python3
"""The extension, orvane.js and both hosts in a real headless browser.

    browser_test.py --browser chromium|firefox [--scenario cases|token] --tandry PATH
                    --sarvik PATH --testca PATH --source-dir DIR --work-dir DIR

One browser start runs every case: the page (pages/cases.js, on the demo
origin 127.0.0.1) enrols and signs through orvane.js and posts what it saw
here; this script checks it with OpenSSL and the registry hive, presses
Return or Escape in the selection dialog on its own X server or kills the
host behind it (timeout, cancel and a host that ends, as typed errors). Then
it sends the page to an origin that is not on the list (localhost), where
the extension must refuse without starting a host, and through the status
scenarios (SCENARIOS): the host manifests pointed at the real hosts, at
nothing, or at a host that tells an old version (old_host.py), each checked
against what status() and a call to each host say. Last, the browser's
remote control removes the extension while a call waits in the dialog
(pages/lost.js). With --scenario token (Chromium) the run is instead the
demo page itself on a scratch SoftHSM2 token (class Token). The extension
runs as a development install (loaded unpacked through Chromium's remote
control, a temporary add-on through Firefox's), the kind that admits the
demo origin by itself. Prints "skipped: ..." and succeeds when the browser
or the X tools (or, for the token, SoftHSM2 and the PKCS#11 tools) are missing.
"""
import argparse
import base64
import fcntl
import json
import os
import queue
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from http.server import ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
SM2_CN, RSA_CN = "Browser SM2 Signer", "Browser RSA Signer"
CAP_ERROR = 0xA0071101 - (1 << 32)  # the host's error codes are signed 32-bit numbers
CASE_TIMEOUT = 60  # seconds for any one case; the whole run takes far less
CANCELLED = 0xA0071002 - (1 << 32)
OLD_VERSION = "3.1.9.0"  # what old_host.py tells: older than the extension takes

# The status scenarios: what each host manifest points at ("real", "missing":
# a program that does not exist, "old": old_host.py), and whether the page's
# frame is checked too (a frame, which no content script serves, sees no
# extension).
SCENARIOS = [
    ("present", {"tandry": "real", "sarvik": "real"}, True),
    ("sarvik-missing", {"tandry": "real", "sarvik": "missing"}, False),
    ("tandry-old", {"tandry": "old", "sarvik": "real"}, False),
]

# The typed errors the page's cases must see: name, code, and the classes
# the error is an instance of.
TYPED = {
    "timeout": ("TimeoutError", "TIMEOUT", ["OrvaneError", "TimeoutError"]),
    "cancel": ("CancelledError", CANCELLED, ["OrvaneError", "HostError", "CancelledError"]),
    "host-exited": ("HostExitedError", "HOST_DISCONNECTED", ["OrvaneError", "HostExitedError"]),
    "origin": ("OriginNotAllowedError", "ORIGIN_NOT_ALLOWED", ["OrvaneError", "OriginNotAllowedError"]),
    "extension": ("ExtensionMissingError", "EXTENSION_MISSING", ["OrvaneError", "ExtensionMissingError"]),
    "missing": ("HostMissingError", "HOST_UNAVAILABLE", ["OrvaneError", "HostMissingError"]),
    "old": ("VersionMismatchError", "VERSION_MISMATCH", ["OrvaneError", "VersionMismatchError"]),
    "removed": ("ExtensionDisconnectedError", "EXTENSION_DISCONNECTED",
                ["OrvaneError", "ExtensionDisconnectedError"]),
}


def skip(reason):
    print(f"skipped: {reason}")
    sys.exit(0)


class Marionette:
    """Firefox's own remote control (length-prefixed JSON over TCP), enough to
    install a temporary add-on and open a page."""

    def __init__(self, profile, process, timeout=CASE_TIMEOUT):
        where = os.path.join(profile, "MarionetteActivePort")
        deadline = time.monotonic() + timeout
        while True:
            try:
                with open(where) as f:
                    port = int(f.read().strip())
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
                break
            except (OSError, ValueError):
                if process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("Firefox's remote control did not come up")
                time.sleep(0.2)
        self.buffer = b""
        self.last_id = 0
        self.read()  # its greeting

    def read(self):
        while b":" not in self.buffer:
            self.receive()
        length, _, self.buffer = self.buffer.partition(b":")
        length = int(length)
        while len(self.buffer) < length:
            self.receive()
        message, self.buffer = self.buffer[:length], self.buffer[length:]
        return json.loads(message)

    def receive(self):
        data = self.sock.recv(65536)
        if not data:
            raise RuntimeError("Firefox's remote control hung up")
        self.buffer += data

    def command(self, name, params):
        self.last_id += 1
        data = json.dumps([0, self.last_id, name, params]).encode()
        self.sock.sendall(str(len(data)).encode() + b":" + data)
        while True:
            kind, number, error, result = self.read()
            if kind == 1 and number == self.last_id:
                if error:
                    raise RuntimeError(f"{name}: {error}")
                return result

    def close(self):
        self.sock.close()


class DevTools:
    """Chromium's remote control over a pipe (--remote-debugging-pipe: JSON
    messages ended by NUL, commands in on fd 3, answers out on fd 4), enough
    to load the extension unpacked, open a page and remove the extension."""

    def __init__(self):
        def high(fd):  # above the fds the shell is told to place
            moved = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
            os.close(fd)
            return moved
        self.child_in, self.send_fd = map(high, os.pipe())
        self.receive_fd, self.child_out = map(high, os.pipe())
        self.buffer = b""
        self.last_id = 0

    def command_line(self, command):
        """command, started through bash so that our pipe ends become its fds 3 and 4."""
        return ["bash", "-c", f'exec "$0" "$@" 3<&{self.child_in} 4>&{self.child_out} '
                f'{self.child_in}<&- {self.child_out}>&-'] + command

    def started(self):
        os.close(self.child_in)
        os.close(self.child_out)

    def command(self, name, params, session=None):
        """One command, to the browser or (session) to a page it is attached to."""
        self.last_id += 1
        message = {"id": self.last_id, "method": name, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.send_fd, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.buffer:
                data = os.read(self.receive_fd, 65536)
                if not data:
                    raise RuntimeError("Chromium's remote control hung up")
                self.buffer += data
            message, _, self.buffer = self.buffer.partition(b"\0")
            answer = json.loads(message)
            if answer.get("id") == self.last_id:
                if "error" in answer:
                    raise RuntimeError(f"{name}: {answer['error']}")
                return answer["result"]

    def close(self):
        os.close(self.send_fd)
        os.close(self.receive_fd)


class Run:
    def __init__(self, args):
        self.args = args
        self.failures = []
        self.reports = queue.Queue()
        self.work = tempfile.mkdtemp(prefix=f"browser-{args.browser}-", dir=args.work_dir)
        self.home = os.path.join(self.work, "home")
        self.profile = os.path.join(self.work, "profile")
        self.starts = os.path.join(self.work, "host-starts.log")
        os.makedirs(self.home)
        os.makedirs(self.profile)
        open(self.starts, "w").close()
        sys.path.insert(0, os.path.join(args.source_dir, "web", "demo"))
        import server as demo  # web/demo/server.py: the demo's issuer and verifier

        self.issuer = demo.Issuer(args.testca, os.path.join(self.work, "ca"))
        self.demo = demo
        # The test's own pages, or the demo page itself (the token scenario).
        self.static_dirs = [os.path.join(HERE, "pages")] if args.scenario == "cases" else [
            os.path.dirname(os.path.abspath(demo.__file__))]

    def check(self, condition, what):
        if not condition:
            self.failures.append(what)
            print(f"FAIL: {what}")
        return condition

    # The hosts, each behind a wrapper that notes every start, and the old
    # host the status scenarios point a manifest at.
    def install_hosts(self):
        bin_dir = os.path.join(self.work, "bin")
        os.makedirs(bin_dir)
        self.old_log = os.path.join(self.work, "old-host.log")
        old = (f'"{sys.executable}" "{os.path.join(HERE, "old_host.py")}" --version {OLD_VERSION} '
               f'--log "{self.old_log}"')
        wrappers = {}
        for name, real in (("Tandry", f'"{self.args.tandry}"'), ("Sarvik", f'"{self.args.sarvik}"'),
                           ("OldTandry", old)):
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(f'#!/bin/sh\necho "{name} $$" >>"{self.starts}"\nexec {real} "$@"\n')
            os.chmod(path, 0o755)
            wrappers[name] = path
        self.manifest_dir = (os.path.join(self.profile, "NativeMessagingHosts")
                             if self.args.browser == "chromium" else
                             os.path.join(self.home, ".mozilla", "native-messaging-hosts"))
        where = ["--chrome-dir" if self.args.browser == "chromium" else "--firefox-dir",
                 self.manifest_dir]
        lib = os.path.join(self.work, "lib")
        subprocess.run(["bash", os.path.join(self.args.source_dir, "scripts", "install-host.sh"),
                        "--tandry", wrappers["Tandry"], "--sarvik", wrappers["Sarvik"],
                        "--lib-dir", lib] + where,
                       check=True, stdout=subprocess.DEVNULL, env=self.env)
        self.host_programs = {
            "tandry": {"real": os.path.join(lib, "Tandry"), "old": wrappers["OldTandry"],
                       "missing": os.path.join(self.work, "nowhere", "Tandry")},
            "sarvik": {"real": os.path.join(lib, "Sarvik"),
                       "missing": os.path.join(self.work, "nowhere", "Sarvik")},
        }

    def point_hosts(self, choice):
        """Points each host manifest at the program the scenario names. The
        browsers read a manifest whenever a page's first call starts a host."""
        for host, which in choice.items():
            path = os.path.join(self.manifest_dir, f"com.orvane.{host}.json")
            with open(path) as f:
                manifest = json.load(f)
            manifest["path"] = self.host_programs[host][which]
            with open(path, "w") as f:
                json.dump(manifest, f)

    def host_version(self, program):
        """What a host answers to VURO_GetVersion, asked directly in one frame."""
        request = json.dumps({"function": "VURO_GetVersion", "params": []}).encode()
        done = subprocess.run([program], input=len(request).to_bytes(4, "little") + request,
                              capture_output=True, env=self.env, timeout=CASE_TIMEOUT)
        length = int.from_bytes(done.stdout[:4], "little")
        return json.loads(done.stdout[4:4 + length])["result"]

    def host_starts(self):
        with open(self.starts) as f:
            return [line.split()[0] for line in f if line.strip()]

    def start_x(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                      "1280x1024x24", "-nolisten", "tcp"],
                                     pass_fds=(write,), stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            display = f.readline().strip()
        if not display:
            raise RuntimeError("Xvfb did not start")
        return ":" + display

    def serve(self):
        run = self

        class Handler(self.demo.DemoHandler):
            quiet = True
            static_dirs = run.static_dirs

            def post_other(self, path, body):
                if path == "/report":
                    self.send_json(run.on_report(body))
                elif path == "/dialog":
                    serial = run.reported
                    if body.get("remove"):
                        action = run.remove_extension
                    elif "kill" in body:
                        action = lambda: run.kill_host(body["kill"])  # noqa: E731
                    else:
                        action = lambda: run.press_key(body.get("key", "Return"), serial)  # noqa: E731
                    threading.Thread(target=action, daemon=True).start()
                    self.send_json({})
                else:
                    super().post_other(path, body)

        Handler.issuer = self.issuer
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def on_report(self, body):
        """Keeps the page's report and answers where it goes next: after the
        cases the refused origin, then each status scenario in turn, its
        host manifests pointed first. Notes how many hosts had started."""
        case = body.get("case")
        self.marks[case] = len(self.host_starts())
        self.reported += 1
        answer = {}
        if case == "done":
            answer["next"] = f"http://localhost:{self.port}/refused.html"
        elif case == "refused-origin" or (case or "").startswith("status-"):
            names = [name for name, _, _ in SCENARIOS]
            at = 0 if case == "refused-origin" else names.index(case[len("status-"):]) + 1
            if at < len(SCENARIOS):
                name, choice, frame = SCENARIOS[at]
                self.point_hosts(choice)
                answer["next"] = (f"http://127.0.0.1:{self.port}/status.html?scenario={name}" +
                                  ("&frame" if frame else ""))
            else:
                answer["next"] = f"http://127.0.0.1:{self.port}/lost.html"
        self.reports.put(body)
        return answer

    def dialog_window(self):
        """The selection dialog's window, once it shows on our X server."""
        found = subprocess.run(["timeout", "30", "xdotool", "search", "--sync", "--onlyvisible",
                                "--name", ""], capture_output=True, text=True, env=self.env)
        windows = found.stdout.split()
        self.check(windows, "the selection dialog did not show")
        return windows[-1] if windows else None

    def press_key(self, key, serial):
        """A key in the selection dialog. On a busy machine the window may be
        mapped before its list takes keys, so the key goes again until the
        window has gone or the page has reported the case (serial: the
        reports before it), whichever comes first: the host may give a later
        dialog the window id of one that closed."""
        window = self.dialog_window()
        if window is None:
            return
        for _ in range(10):
            time.sleep(0.5)  # let the dialog draw its list before the key comes
            if self.reported != serial:
                return
            subprocess.run(["timeout", "30", "xdotool", "windowfocus", "--sync", window, "key",
                            "--clearmodifiers", key], env=self.env, capture_output=True)
            time.sleep(1.5)
            if self.reported != serial:
                return
            still = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", ""],
                                   capture_output=True, text=True, env=self.env)
            if window not in still.stdout.split():
                return
        self.check(False, f"the selection dialog did not take {key}")

    def remove_extension(self):
        """Removes the extension through the browser's remote control once
        the page's dialog shows."""
        if self.dialog_window() is None:
            return
        if self.args.browser == "chromium":
            self.remote.command("Extensions.uninstall", {"id": self.extension_id})
        else:
            self.remote.command("Addon:Uninstall", {"id": "extension@orvane.example"})

    def kill_host(self, name):
        """Kills the newest process of the host once its dialog shows."""
        if self.dialog_window() is None:
            return
        with open(self.starts) as f:
            pids = [int(line.split()[1]) for line in f if line.split()[:1] == [name]]
        os.kill(pids[-1], signal.SIGKILL)

    def launch(self, url):
        extension = os.path.join(os.path.abspath(self.args.source_dir), "web", "extension")
        if self.args.browser == "chromium":
            # Loaded unpacked through the remote control, as a developer loads
            # it from chrome://extensions: such an install admits the demo
            # origin, and the remote control can remove it again.
            self.remote = DevTools()
            command = self.remote.command_line([
                self.browser, "--headless=new", "--no-sandbox", f"--user-data-dir={self.profile}",
                "--remote-debugging-pipe", "--enable-unsafe-extension-debugging",
                "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--enable-logging=stderr", "about:blank"])
        else:
            prefs = {
                "marionette.port": 0,  # any free port, written to the profile
                "browser.shell.checkDefaultBrowser": False,
                "browser.startup.homepage_override.mstone": "ignore",
                "datareporting.policy.dataSubmissionEnabled": False,
                "toolkit.telemetry.reportingpolicy.firstRun": False,
                "app.update.disabledForTesting": True,
                "extensions.update.enabled": False,
                "browser.aboutwelcome.enabled": False,
            }
            with open(os.path.join(self.profile, "user.js"), "w") as f:
                for key, value in prefs.items():
                    f.write(f"user_pref({json.dumps(key)}, {json.dumps(value)});\n")
            command = [self.browser, "--headless", "--no-remote", "--marionette",
                       "--profile", self.profile, "about:blank"]
        self.process = subprocess.Popen(
            command, env=self.env, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.work, "browser.log"), "w"), start_new_session=True,
            pass_fds=(self.remote.child_in, self.remote.child_out) if self.args.browser == "chromium"
            else ())
        if self.args.browser == "chromium":
            self.remote.started()
            self.extension_id = self.remote.command("Extensions.loadUnpacked",
                                                    {"path": extension})["id"]
            self.target = self.remote.command("Target.createTarget", {"url": url})["targetId"]
        else:
            # A temporary add-on, as a developer loads it from about:debugging:
            # the extension admits the demo origin only in such an install.
            self.remote = Marionette(self.profile, self.process)
            self.remote.command("WebDriver:NewSession", {"capabilities": {}})
            self.remote.command("Addon:Install", {"path": extension, "temporary": True})
            self.remote.command("WebDriver:Navigate", {"url": url})

    def stop(self):
        if getattr(self, "remote", None):
            self.remote.close()
        # The browser and whatever it started share the session we gave it.
        for proc in (getattr(self, "process", None), getattr(self, "xvfb", None)):
            if proc is None or proc.poll() is not None:
                continue
            try:
                os.killpg(proc.pid, signal.SIGTERM) if proc is self.process else proc.terminate()
                proc.wait(timeout=10)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                try:
                    os.killpg(proc.pid, signal.SIGKILL) if proc is self.process else proc.kill()
                except ProcessLookupError:
                    pass

    def next_report(self):
        try:
            return self.reports.get(timeout=CASE_TIMEOUT)
        except queue.Empty:
            return None

    # Checks, one per case the page reports.
    def hive_blobs(self):
        blobs = []
        for hive in (self.env["ORVANE_USER_HIVE"], self.env["ORVANE_MACHINE_HIVE"]):
            if os.path.exists(hive):
                with sqlite3.connect(f"file:{hive}?mode=ro", uri=True) as db:
                    blobs += [bytes(d) for (d,) in db.execute("SELECT data FROM vals")
                              if isinstance(d, (bytes, memoryview))]
        return blobs

    def openssl(self, *command, data=None):
        return subprocess.run(["openssl", *command], input=data, capture_output=True)

    def check_enrolment(self, r, cn):
        name = r["case"]
        sign = base64.b64decode(r["signCert"])
        subject = self.openssl("x509", "-inform", "DER", "-noout", "-subject", data=sign)
        self.check(subject.returncode == 0 and cn in subject.stdout.decode(),
                   f"{name}: the issued certificate names {subject.stdout!r}")
        pem = "-----BEGIN CERTIFICATE REQUEST-----\n" + "\n".join(
            r["request"].split()) + "\n-----END CERTIFICATE REQUEST-----\n"
        if r["algorithm"] == "RSA":
            req = self.openssl("req", "-verify", "-noout", data=pem.encode())
            self.check(req.returncode == 0, f"{name}: OpenSSL does not verify the request: "
                       f"{req.stderr.decode().strip()}")
        # The key the certificate certifies is the request's (OpenSSL's
        # request parser does not take the SM2 requests' attributes, so the
        # key is looked for in the request's bytes).
        key_pem = self.openssl("x509", "-inform", "DER", "-noout", "-pubkey", data=sign).stdout
        key = base64.b64decode("".join(key_pem.decode().splitlines()[1:-1]))
        self.check(key and key in base64.b64decode(r["request"]),
                   f"{name}: the certificate's key is not the request's")
        blobs = self.hive_blobs()
        certs = [sign] + ([base64.b64decode(r["encCert"])] if r["type"] == 2 else [])
        for i, der in enumerate(certs):
            self.check(any(der in blob for blob in blobs),
                       f"{name}: certificate {i + 1} of {len(certs)} is not in the hive")

    def check_signature(self, r, cn, cert_type):
        name = r["case"]
        self.check(r.get("certType") == cert_type, f"{name}: selected a {r.get('certType')} certificate")
        v = self.issuer.verify(r["signature"], r["text"], False)
        self.check(v["verified"] and v["contentMatches"],
                   f"{name}: OpenSSL does not verify the message: {v['detail']}")
        self.check(cn in v["signer"], f"{name}: signed by {v['signer']!r}, not {cn}")

    def check_case(self, r):
        name = r["case"]
        if not self.check(r.get("ok"), f"{name}: {r.get('error')} (code {r.get('code')})"):
            return
        if name == "enrol-rsa-single":
            self.check_enrolment(r, RSA_CN)
            self.check(RSA_CN in r["certList"], f"{name}: the listing misses the certificate")
        elif name == "enrol-sm2-double":
            self.check_enrolment(r, SM2_CN)
        elif name == "sign-rsa":
            self.check_signature(r, RSA_CN, "RSA")
        elif name == "sign-sm2":
            self.check_signature(r, SM2_CN, "SM2")
        elif name == "oversized-response":
            refused = r["refused"]
            self.check(refused.get("code") == CAP_ERROR and
                       "Data length exceeds limited" in (refused.get("description") or ""),
                       f"{name}: the large signature was answered with {refused}")
            self.check_message(r, SM2_CN)
        elif name == "dialog":
            cn = RSA_CN if r.get("certType") == "RSA" else SM2_CN
            self.check_signature(r, cn, r.get("certType"))
        elif name in TYPED:
            self.check_typed_case(r)

    def check_typed(self, what, seen, kind):
        """The error a page saw is of the kind TYPED names."""
        name, code, classes = TYPED[kind]
        seen = seen or {}
        ok = (seen.get("name") == name and seen.get("code") == code and
              sorted(seen.get("classes") or []) == sorted(classes))
        self.check(ok, f"{what}: expected {name} ({code}, instance of {classes}), saw {seen}")
        return ok

    def check_typed_case(self, r):
        name = r["case"]
        self.check_typed(name, r.get("error"), name)
        if name == "cancel":
            self.check(r["error"].get("host") == "sarvik" and r["error"].get("description"),
                       f"{name}: no host or description in {r['error']}")
        if name == "timeout":
            self.check(1400 <= r["waited"] < 10000, f"{name}: rejected after {r['waited']} ms, not 1500")
        if name in ("timeout", "host-exited"):
            self.check(r.get("next") == {"value": self.versions["sarvik"]},
                       f"{name}: the next call came to {r.get('next')}")

    def check_message(self, r, cn):
        v = self.issuer.verify(r["signature"], r["text"], False)
        self.check(v["verified"] and v["contentMatches"] and cn in v["signer"],
                   f"{r['case']}: the call after the refusal did not sign: {v['detail']}")

    def check_refusal(self, r):
        if not self.check(r is not None, "the page of a refused origin did not report"):
            return
        print(f"refused-origin ({r.get('origin')}): connect {r.get('connect')}, "
              f"tandry {(r.get('tandry') or {}).get('code')}, sarvik {(r.get('sarvik') or {}).get('code')}")
        self.check_typed("refused-origin: connect()", r.get("connect"), "origin")
        status = r.get("status") or {}
        self.check(status.get("ok") is False and status.get("allowed") is False and
                   status.get("extension", {}).get("state") == "ok" and
                   {h: s.get("state") for h, s in status.get("hosts", {}).items()} ==
                   {"tandry": "unknown", "sarvik": "unknown"},
                   f"refused-origin: status() said {status}")
        for host in ("tandry", "sarvik"):
            reply = r.get(host) or {}
            self.check(reply.get("type") == "error" and reply.get("code") == "ORIGIN_NOT_ALLOWED",
                       f"refused-origin: a call to {host} was answered with {reply}")
        # Counted when the page reported, after its refused calls: the next
        # page (a status scenario) starts hosts of its own.
        self.check(self.marks.get("refused-origin") == self.marks["done"],
                   "refused-origin: a host started for a page not on the list")

    def check_status(self, r, scenario):
        """One status scenario: status() names each host's state and version
        (the real hosts' as they answer themselves), a call to a host that is
        missing or too old fails with its typed error and one that is there
        answers, a refused host is neither started again nor sent a page's
        call, and status' hosts serve the page's calls."""
        name, choice, frame = scenario
        what = f"status-{name}"
        if not self.check(r is not None and r.get("case") == what, f"{what}: the page reported {r}"):
            return
        expect = {}
        for host, which in choice.items():
            expect[host] = {"real": ("ok", self.versions[host]), "missing": ("missing", None),
                            "old": ("too-old", OLD_VERSION)}[which]
        for key in ("status", "again"):
            status = r.get(key) or {}
            states = {h: (s.get("state"), s.get("version")) for h, s in status.get("hosts", {}).items()}
            self.check(states == expect, f"{what}: {key} gave hosts {states}, expected {expect}")
            install = [h for h, which in choice.items() if which == "missing"]
            update = [h for h, which in choice.items() if which == "old"]
            self.check(status.get("install") == install and status.get("update") == update and
                       status.get("ok") is (not install and not update) and status.get("allowed") is True,
                       f"{what}: {key} gave ok {status.get('ok')}, install {status.get('install')}, "
                       f"update {status.get('update')}")
            self.check(status.get("library") == {"version": self.library_version} and
                       status.get("extension", {}).get("state") == "ok" and
                       status.get("extension", {}).get("version") == self.extension_version,
                       f"{what}: {key} gave library {status.get('library')}, "
                       f"extension {status.get('extension')}")
        for host, which in choice.items():
            for key in ([host, host + "Again"] if host == "tandry" else [host]):
                seen = r.get(key)
                if which == "real":
                    self.check(seen == {"value": self.versions[host]}, f"{what}: {key} came to {seen}")
                elif self.check_typed(f"{what}: {key}", seen, which):
                    self.check(seen.get("host") == host and
                               (which != "old" or (seen.get("part"), seen.get("version")) ==
                                (host, OLD_VERSION)), f"{what}: {key} said {seen}")
        # Hosts started for this page: one process per host that exists,
        # whatever status() and the calls asked; a missing one none.
        previous = [n for n, _, _ in SCENARIOS].index(name)
        since = self.marks["refused-origin" if previous == 0 else f"status-{SCENARIOS[previous - 1][0]}"]
        started = sorted(self.host_starts()[since:self.marks[what]])
        programs = {"real": {"tandry": "Tandry", "sarvik": "Sarvik"}, "old": {"tandry": "OldTandry"}}
        wanted = sorted(programs[which][host] for host, which in choice.items() if which != "missing")
        self.check(started == wanted, f"{what}: hosts started {started}, expected {wanted}")
        if "old" in choice.values():
            with open(self.old_log) as f:
                asked = f.read().split()
            self.check(asked == ["VURO_GetVersion"], f"{what}: the old host was asked {asked}")
        if frame:
            f = r.get("frame") or {}
            self.check_typed(f"{what}: connect() in a frame", f.get("connect"), "extension")
            status = f.get("status") or {}
            self.check(status.get("ok") is False and status.get("install") == ["extension"] and
                       status.get("extension", {}).get("state") == "missing",
                       f"{what}: status() in a frame said {status}")

    def main(self):
        self.browser = shutil.which("chromium") if self.args.browser == "chromium" else (
            shutil.which("firefox-esr") or shutil.which("firefox"))
        if not self.browser:
            skip(f"no {self.args.browser} installed (scripts/bootstrap.sh installs it)")
        for tool in ("Xvfb", "xdotool", "openssl"):
            if not shutil.which(tool):
                skip(f"no {tool} installed (scripts/bootstrap.sh installs it)")
        self.env = dict(os.environ)
        self.env.update(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                        XDG_CACHE_HOME=os.path.join(self.home, ".cache"),
                        ORVANE_USER_HIVE=os.path.join(self.work, "user.db"),
                        ORVANE_MACHINE_HIVE=os.path.join(self.work, "machine.db"))
        self.env.pop("WAYLAND_DISPLAY", None)
        if self.args.scenario == "token":
            return Token(self).main()
        started = time.monotonic()
        try:
            self.env["DISPLAY"] = self.start_x()
            self.install_hosts()
            self.versions = {"tandry": self.host_version(self.args.tandry),
                             "sarvik": self.host_version(self.args.sarvik)}
            with open(os.path.join(self.args.source_dir, "web", "extension", "manifest.json")) as f:
                self.extension_version = json.load(f)["version"]
            with open(os.path.join(self.args.source_dir, "web", "orvane.js")) as f:
                self.library_version = re.search(r'const VERSION = "([^"]+)"', f.read()).group(1)
            self.marks = {}
            self.reported = 0
            self.serve()
            self.launch(f"http://127.0.0.1:{self.port}/cases.html")
            expected = ["enrol-rsa-single", "enrol-sm2-double", "sign-rsa", "sign-sm2",
                        "oversized-response", "dialog", "timeout", "cancel", "host-exited"]
            seen = []
            while True:
                r = self.next_report()
                if r is None:
                    self.check(False, f"no report from the page after {seen or 'its start'}")
                    break
                kind = f" ({r['certType']})" if "certType" in r else ""
                print(f"{r.get('case')}: {'ok' if r.get('ok') else 'failed'}{kind} in "
                      f"{r.get('ms', '?')} ms")
                if r.get("case") == "done":
                    break
                seen.append(r.get("case"))
                self.check_case(r)
                if r.get("case") == "connect":
                    break
            self.check(seen == expected, f"the page ran {seen}, expected {expected}")
            if seen and seen[0] != "connect":
                starts = self.host_starts()[:self.marks.get("done", 0)]
                # One port per page and host: one process of each for all the
                # calls, and one more signing host after the first was killed.
                self.check(sorted(starts) == ["Sarvik", "Sarvik", "Tandry"],
                           f"hosts started for the page: {starts}")
                self.check_refusal(self.next_report() if "done" in self.marks else None)
                for scenario in SCENARIOS:
                    r = self.next_report()
                    if r is not None:
                        print(f"{r.get('case')}: {json.dumps((r.get('status') or {}).get('hosts'))}")
                    self.check_status(r, scenario)
                r = self.next_report() or {}
                print(f"extension-removed: {r.get('error')} after {r.get('waited')} ms")
                self.check_typed("extension-removed", r.get("error"), "removed")
        finally:
            self.stop()
            self.server.shutdown() if hasattr(self, "server") else None
        print(f"{self.args.browser}: {time.monotonic() - started:.1f} s, "
              f"{len(self.failures)} failure(s)")
        if self.failures:
            log = os.path.join(self.work, "browser.log")
            if os.path.exists(log):
                print("--- the browser's output (last lines)")
                with open(log, errors="replace") as f:
                    print("".join([l for l in f.readlines() if "dbus" not in l][-30:]))
            return 1
        shutil.rmtree(self.work, ignore_errors=True)
        return 0


class Token:
    """The token scenario (Chromium): the demo page itself, driven through
    the browser's remote control as a user would click it, with a scratch
    SoftHSM2 token as the only card. The page must list the token among its
    providers, enrol onto it (what lands on the token is read back with
    pkcs11-tool and OpenSSL) and sign with it (the message verified by
    orvane-verify, as the page's server did, and by OpenSSL's cms); the PIN
    comes from the scripted prompt, once per host."""

    LABEL = "Browser Token"
    CN = "Browser Token Signer"
    TEXT = "Pay 100.00 to account 6222 from the token"

    def __init__(self, run):
        self.run = run
        self.check = run.check

    def evaluate(self, expression):
        """The value of a script expression in the page (promises awaited)."""
        answer = self.run.remote.command("Runtime.evaluate", {
            "expression": expression, "awaitPromise": True, "returnByValue": True},
            session=self.session)
        if "exceptionDetails" in answer:
            raise RuntimeError(f"{expression[:60]}: {answer['exceptionDetails']}")
        return answer["result"].get("value")

    def wait_for(self, expression, what):
        """Polls expression until it is truthy; its value, or None past the case's time."""
        deadline = time.monotonic() + CASE_TIMEOUT
        while time.monotonic() < deadline:
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.3)
        self.check(False, f"{what} did not happen within {CASE_TIMEOUT} s")
        return None

    def click(self, button):
        """Clicks a button of the page and waits until its action has ended
        (the page disables a button while its action runs)."""
        self.evaluate(f"document.getElementById({json.dumps(button)}).click()")
        return self.wait_for(f"!document.getElementById({json.dumps(button)}).disabled",
                             f"the {button} button's action")

    def main(self):
        run = self.run
        if run.args.browser != "chromium":
            skip("the token scenario drives the page through Chromium's remote control")
        sys.path.insert(0, os.path.join(run.args.source_dir, "tests", "pkcs11"))
        import softhsm
        reason = softhsm.missing()
        if reason:
            skip(reason)
        token = softhsm.SoftHsm(os.path.join(run.work, "softhsm"), label=self.LABEL)
        prompts = os.path.join(run.work, "prompts.log")
        run.env = token.env(run.env, prompt_log=prompts)
        started = time.monotonic()
        try:
            run.env["DISPLAY"] = run.start_x()
            run.install_hosts()
            run.serve()
            run.launch(f"http://127.0.0.1:{run.port}/")
            self.session = run.remote.command("Target.attachToTarget", {
                "targetId": run.target, "flatten": True})["sessionId"]
            self.scenario(token, prompts)
        finally:
            run.stop()
            run.server.shutdown() if hasattr(run, "server") else None
        print(f"token: {time.monotonic() - started:.1f} s, {len(run.failures)} failure(s)")
        if run.failures:
            return 1
        shutil.rmtree(run.work, ignore_errors=True)
        return 0

    def scenario(self, token, prompts):
        name = token.provider_name()
        listed = self.wait_for(
            f"(() => {{ const s = document.getElementById('provider'); if (!s) return null;"
            f" const p = [...s.options].map((o) => o.value);"
            f" return p.includes({json.dumps(name)}) ? p : null; }})()",
            f"the page listing {name!r} among its providers")
        if not listed:
            print("providers:", self.evaluate("document.getElementById('provider').textContent"),
                  "status:", self.evaluate("document.getElementById('status').textContent"))
            return
        print(f"providers: {listed}")
        self.check(self.evaluate("document.getElementById('status').className") == "ok",
                   "the page's status: " + str(self.evaluate(
                       "document.getElementById('status').textContent")))

        # Enrol: RSA, a single certificate, onto the token.
        self.evaluate(
            "document.querySelector('input[name=algorithm][value=RSA]').checked = true;"
            "document.querySelector('input[name=type][value=\"1\"]').checked = true;"
            f"document.getElementById('provider').value = {json.dumps(name)};"
            f"document.getElementById('cn').value = {json.dumps(self.CN)}")
        self.click("enrol")
        log = self.evaluate("document.getElementById('enrolLog').textContent") or ""
        print("enrol:", log.replace("\n", " | ")[:400])
        self.check("signing certificate installed" in log and "failed:" not in log,
                   f"the enrolment onto the token: {log}")
        self.check(f"in {name}" in log, f"the key was not made in {name}: {log}")
        certs = [o for o in token.objects() if o["kind"] == "Certificate Object"]
        keys = [o for o in token.objects(login=True) if o["kind"] == "Private Key Object"]
        if self.check(len(certs) == 1, f"the token holds {len(certs)} certificates after the page's "
                      "enrolment"):
            der = token.read_certificate(certs[0]["id"])
            subject = self.run.openssl("x509", "-inform", "DER", "-noout", "-subject", data=der or b"")
            self.check(self.CN in subject.stdout.decode(),
                       f"the token's certificate names {subject.stdout!r}")
            self.check([k.get("id") for k in keys] == [certs[0]["id"]],
                       f"the token's private keys {keys} do not pair with its certificate")

        # Sign with it: the page selects among every provider's certificates.
        self.evaluate(f"document.getElementById('text').value = {json.dumps(self.TEXT)}")
        self.click("sign")
        log = self.evaluate("document.getElementById('signLog').textContent") or ""
        verdict = self.evaluate("[document.getElementById('verdict').className,"
                                " document.getElementById('verdict').textContent]")
        print("sign:", log.split("\n")[0], "|", verdict)
        self.check(verdict and verdict[0] == "ok", f"the page's verdict: {verdict}; {log[:300]}")
        self.check(f"RSA in {name}" in log or f"RSA in {token.provider_name(long=True)}" in log,
                   f"the page signed with another provider's certificate: {log[:200]}")
        lines = log.split("\n")
        at = next((i for i, line in enumerate(lines) if line.startswith("PKCS#7 (")), None)
        signature = lines[at + 1] if at is not None and at + 1 < len(lines) else ""
        v = self.run.issuer.verify(signature, self.TEXT, False)
        self.check(v["verified"] and v["contentMatches"] and self.CN in v["signer"],
                   f"orvane-verify of the page's message: {v['detail']}")
        cms = self.run.openssl("cms", "-verify", "-binary", "-noverify", "-inform", "DER",
                               data=base64.b64decode(signature or ""))
        self.check(cms.returncode == 0 and cms.stdout.decode() == self.TEXT,
                   f"openssl cms -verify of the page's message: {cms.stderr.decode()[:300]}")

        # One login per host process: the enrolment host's and the signing host's.
        with open(prompts) if os.path.exists(prompts) else open(os.devnull) as f:
            asked = [line.strip() for line in f if line.strip()]
        self.check(len(asked) == 2 and all(self.LABEL in a for a in asked),
                   f"the PIN prompt ran {len(asked)} times: {asked}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--browser", choices=["chromium", "firefox"], required=True)
    parser.add_argument("--scenario", choices=["cases", "token"], default="cases")
    for option in ("--tandry", "--sarvik", "--testca", "--source-dir", "--work-dir"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    os.makedirs(args.work_dir, exist_ok=True)
    sys.exit(Run(args).main())


if __name__ == "__main__":
    main()
