#!/usr/bin/env python3
"""The extension, orvane.js and both hosts in a real headless browser.

    browser_test.py --browser chromium|firefox --tandry PATH --sarvik PATH
                    --testca PATH --source-dir DIR --work-dir DIR

One browser start runs every case: the page (pages/cases.js, on the demo
origin 127.0.0.1) enrols and signs through orvane.js and posts what it saw
here; this script checks it with OpenSSL and the registry hive, presses
Return in the selection dialog on its own X server, and finally sends the
page to an origin that is not on the list (localhost), where the extension
must refuse without starting a host. The extension runs as a development
install (Chromium loads it unpacked, Firefox as a temporary add-on), the kind
that admits the demo origin by itself. Prints "skipped: ..." and succeeds when
the browser or the X tools are missing.
"""
import argparse
import base64
import json
import os
import queue
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

    def check(self, condition, what):
        if not condition:
            self.failures.append(what)
            print(f"FAIL: {what}")
        return condition

    # The hosts, each behind a wrapper that notes every start.
    def install_hosts(self):
        bin_dir = os.path.join(self.work, "bin")
        os.makedirs(bin_dir)
        wrappers = {}
        for name, real in (("Tandry", self.args.tandry), ("Sarvik", self.args.sarvik)):
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(f'#!/bin/sh\necho "{name} $$" >>"{self.starts}"\nexec "{real}" "$@"\n')
            os.chmod(path, 0o755)
            wrappers[name] = path
        where = (["--chrome-dir", os.path.join(self.profile, "NativeMessagingHosts")]
                 if self.args.browser == "chromium" else
                 ["--firefox-dir", os.path.join(self.home, ".mozilla", "native-messaging-hosts")])
        subprocess.run(["bash", os.path.join(self.args.source_dir, "scripts", "install-host.sh"),
                        "--tandry", wrappers["Tandry"], "--sarvik", wrappers["Sarvik"],
                        "--lib-dir", os.path.join(self.work, "lib")] + where,
                       check=True, stdout=subprocess.DEVNULL, env=self.env)

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
            static_dirs = [os.path.join(HERE, "pages")]

            def post_other(self, path, body):
                if path == "/report":
                    answer = {}
                    if body.get("case") == "done":
                        answer["next"] = f"http://localhost:{run.port}/refused.html"
                        run.starts_before_refusal = len(run.host_starts())
                    run.reports.put(body)
                    self.send_json(answer)
                elif path == "/dialog":
                    threading.Thread(target=run.press_return, daemon=True).start()
                    self.send_json({})
                else:
                    super().post_other(path, body)

        Handler.issuer = self.issuer
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def press_return(self):
        """Return in the selection dialog, once it shows on our X server. On a
        busy machine the window may be mapped before its list takes keys, so
        Return goes again until the window has gone."""
        xdo = ["timeout", "30", "xdotool"]
        found = subprocess.run(xdo + ["search", "--sync", "--onlyvisible", "--name", ""],
                               capture_output=True, text=True, env=self.env)
        windows = found.stdout.split()
        if not self.check(windows, "the selection dialog did not show"):
            return
        for _ in range(10):
            time.sleep(0.5)  # let the dialog draw its list before the key comes
            subprocess.run(xdo + ["windowfocus", "--sync", windows[-1], "key", "--clearmodifiers",
                                  "Return"], env=self.env, capture_output=True)
            time.sleep(1.5)
            still = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", ""],
                                   capture_output=True, text=True, env=self.env)
            if windows[-1] not in still.stdout.split():
                return
        self.check(False, "the selection dialog did not take Return")

    def launch(self, url):
        if self.args.browser == "chromium":
            extension = os.path.join(self.args.source_dir, "web", "extension")
            command = [self.browser, "--headless=new", "--no-sandbox",
                       f"--user-data-dir={self.profile}", f"--load-extension={extension}",
                       f"--disable-extensions-except={extension}",
                       "--disable-features=DisableLoadExtensionCommandLineSwitch",
                       "--disable-gpu", "--disable-quic", "--no-first-run",
                       "--disable-background-networking", "--disable-component-update",
                       "--disable-sync", "--enable-logging=stderr", url]
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
        self.process = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL,
                                        stderr=open(os.path.join(self.work, "browser.log"), "w"),
                                        start_new_session=True)
        if self.args.browser == "firefox":
            # A temporary add-on, as a developer loads it from about:debugging:
            # the extension admits the demo origin only in such an install.
            self.remote = Marionette(self.profile, self.process)
            self.remote.command("WebDriver:NewSession", {"capabilities": {}})
            self.remote.command("Addon:Install", {
                "path": os.path.join(os.path.abspath(self.args.source_dir), "web", "extension"),
                "temporary": True})
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

    def check_message(self, r, cn):
        v = self.issuer.verify(r["signature"], r["text"], False)
        self.check(v["verified"] and v["contentMatches"] and cn in v["signer"],
                   f"{r['case']}: the call after the refusal did not sign: {v['detail']}")

    def check_refusal(self, r):
        if not self.check(r is not None, "the page of a refused origin did not report"):
            return
        print(f"refused-origin ({r.get('origin')}): connect {r.get('connect')}, "
              f"tandry {(r.get('tandry') or {}).get('code')}, sarvik {(r.get('sarvik') or {}).get('code')}")
        self.check(r.get("connect") == "ORIGIN_NOT_ALLOWED",
                   f"refused-origin: connect() gave {r.get('connect')}")
        for host in ("tandry", "sarvik"):
            reply = r.get(host) or {}
            self.check(reply.get("type") == "error" and reply.get("code") == "ORIGIN_NOT_ALLOWED",
                       f"refused-origin: a call to {host} was answered with {reply}")
        time.sleep(0.5)  # a host the refused page had started would have noted itself by now
        self.check(len(self.host_starts()) == self.starts_before_refusal,
                   "refused-origin: a host started for a page not on the list")

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
        started = time.monotonic()
        try:
            self.env["DISPLAY"] = self.start_x()
            self.install_hosts()
            self.serve()
            self.launch(f"http://127.0.0.1:{self.port}/cases.html")
            expected = ["enrol-rsa-single", "enrol-sm2-double", "sign-rsa", "sign-sm2",
                        "oversized-response", "dialog"]
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
                starts = self.host_starts()
                # One port per page and host: one process of each for all the calls.
                self.check(sorted(starts) == ["Sarvik", "Tandry"],
                           f"hosts started for the page: {starts}")
                self.check_refusal(self.next_report() if hasattr(self, "starts_before_refusal")
                                   else None)
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--browser", choices=["chromium", "firefox"], required=True)
    for option in ("--tandry", "--sarvik", "--testca", "--source-dir", "--work-dir"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    os.makedirs(args.work_dir, exist_ok=True)
    sys.exit(Run(args).main())


if __name__ == "__main__":
    main()
