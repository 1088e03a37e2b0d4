#!/usr/bin/env python3
"""A real headless browser reaches both hosts of an installed package.

    installed_browser_test.py --browser chromium|firefox --extension DIR
                              --tandry VERSION --sarvik VERSION

The browser gets nothing but the installed extension folder: Chromium with
--load-extension in a fresh profile, Firefox as a temporary add-on through
its remote control; neither has host manifests of its own (a scratch home),
so the hosts can only be found through the machine's manifest folders the
package filled. The page (pages/versions.html on 127.0.0.1, which a
development install admits) asks each host for VURO_GetVersion through the
extension; the answers must be the versions the build declared. Prints
"skipped: ..." and succeeds when the browser is missing.
"""
import argparse
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "browser"))
from browser_test import Marionette  # noqa: E402  (Firefox's remote control)

TIMEOUT = 60


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--browser", choices=["chromium", "firefox"], required=True)
    for option in ("--extension", "--tandry", "--sarvik"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    browser = shutil.which("chromium") if args.browser == "chromium" else (
        shutil.which("firefox-esr") or shutil.which("firefox"))
    if not browser:
        print(f"skipped: no {args.browser} installed (scripts/bootstrap.sh installs it)")
        return 0

    work = tempfile.mkdtemp(prefix=f"installed-{args.browser}-")
    home, profile = os.path.join(work, "home"), os.path.join(work, "profile")
    os.makedirs(home)
    os.makedirs(profile)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_CACHE_HOME=os.path.join(home, ".cache"),
               ORVANE_USER_HIVE=os.path.join(work, "user.db"),
               ORVANE_MACHINE_HIVE=os.path.join(work, "machine.db"))
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)

    reports = queue.Queue()

    class Handler(SimpleHTTPRequestHandler):
        def __init__(self, *a, **k):
            super().__init__(*a, directory=os.path.join(HERE, "pages"), **k)

        def log_message(self, *a):
            pass

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            reports.put(json.loads(body))
            self.send_response(204)
            self.end_headers()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/versions.html"

    if args.browser == "chromium":
        command = [browser, "--headless=new", "--no-sandbox", f"--user-data-dir={profile}",
                   f"--load-extension={args.extension}",
                   "--disable-features=DisableLoadExtensionCommandLineSwitch",
                   "--disable-gpu", "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync", url]
    else:
        with open(os.path.join(profile, "user.js"), "w") as f:
            for key, value in {"marionette.port": 0, "browser.shell.checkDefaultBrowser": False,
                               "datareporting.policy.dataSubmissionEnabled": False,
                               "app.update.disabledForTesting": True,
                               "browser.aboutwelcome.enabled": False}.items():
                f.write(f"user_pref({json.dumps(key)}, {json.dumps(value)});\n")
        command = [browser, "--headless", "--no-remote", "--marionette", "--profile", profile,
                   "about:blank"]
    log = open(os.path.join(work, "browser.log"), "w")
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=log,
                               start_new_session=True)
    failures = []
    remote = None
    try:
        if args.browser == "firefox":
            remote = Marionette(profile, process)
            remote.command("WebDriver:NewSession", {"capabilities": {}})
            remote.command("Addon:Install", {"path": args.extension, "temporary": True})
            remote.command("WebDriver:Navigate", {"url": url})
        try:
            report = reports.get(timeout=TIMEOUT)
        except queue.Empty:
            report = None
            failures.append("the page did not report")
        if report is not None:
            hello = report.get("hello") or {}
            if hello.get("allowed") is not True:
                failures.append(f"the extension did not admit the page: {hello}")
            for host, expected in (("tandry", args.tandry), ("sarvik", args.sarvik)):
                reply = report.get(host) or {}
                response = reply.get("response") or {}
                got = response.get("result")
                print(f"{args.browser}: {host} answered {got!r} (errorcode {response.get('errorcode')})")
                if reply.get("type") != "response" or got != expected:
                    failures.append(f"{host}: expected version {expected}, got {reply}")
    finally:
        if remote:
            remote.close()
        try:
            os.killpg(process.pid, signal.SIGTERM)
            process.wait(timeout=10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        server.shutdown()
    for f in failures:
        print(f"FAIL: {f}")
    if failures:
        with open(os.path.join(work, "browser.log"), errors="replace") as f:
            print("--- the browser's output (last lines)")
            print("".join([l for l in f.readlines() if "dbus" not in l][-20:]))
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
