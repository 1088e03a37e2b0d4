#!/usr/bin/env python3
"""The Windows installer under Wine, in both modes.

    windows_installer_test.py SOURCE_DIR WINDOWS_BUILD_DIR NMCLIENT CHAIN_DIR WORK_DIR

Each mode installs silently (/S); then every file and registry value is
looked for (Wine's own reg.exe, all keys read in one cmd.exe run), Tandry
and Sarvik are started from the paths their registered manifests name and
asked for their versions over a native-messaging frame (nmclient), and the
silent uninstaller must leave the registry's keys as they were before and no
file. The per-user install goes to a folder with a Chinese name. The per-user mode must not touch HKLM; the machine-wide mode (/AllUsers:
Wine runs everything as an administrator) must also have run NP_Install,
putting every root of the build's chain document into the machine's root
store. Runs in the prefix ORVANE_WINEPREFIX names.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import time

src, build, nmclient, chain, work = sys.argv[1:6]
WINE = os.path.join(src, "scripts", "wine-run.sh")
CHROME_ID, GECKO_ID = "jcjfcdppajmfofajkccdgggpinipmncn", "extension@orvane.example"
BROWSERS = [r"Software\Google\Chrome", r"Software\Chromium", r"Software\Microsoft\Edge", r"Software\Mozilla"]
UNINSTALL = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvane"
# Every tree an install writes to or may create, read whole in each look.
TREES = [r"Software\Google", r"Software\Chromium", r"Software\Microsoft\Edge", r"Software\Mozilla",
         r"Software\MozillaPlugins", UNINSTALL]


def fail(what):
    print(f"FAIL: {what}")
    sys.exit(1)


# Text crosses into Wine (arguments, console output) in the Unix locale's
# encoding, and the per-user folder below has a Chinese name.
ENV = dict(os.environ, LC_ALL="C.UTF-8")
SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"


def wine(*args, check=True):
    r = subprocess.run([WINE, *args], stdin=subprocess.DEVNULL, capture_output=True, env=ENV)
    if check and r.returncode != 0:
        fail(f"{' '.join(args)} ended with {r.returncode}: {r.stderr.decode(errors='replace')}")
    return r.stdout.decode("utf-8", errors="replace").replace("\r", "")


def registry():
    """{(hive, key): {name: data}} for every key below TREES in HKCU and HKLM,
    exported in one cmd.exe run (.reg files are UTF-16, so names in any
    script come through whole, unlike reg.exe's console output)."""
    folder = os.path.join(work, "export")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    script = os.path.join(work, "export.cmd")
    with open(script, "w", newline="\r\n") as f:
        f.write("@echo off\n")
        for i, tree in enumerate(TREES):
            for hive in ("HKCU", "HKLM"):
                target = "Z:" + os.path.join(folder, f"{hive}-{i}.reg").replace("/", "\\")
                f.write(f'reg export "{hive}\\{tree}" "{target}" /y >nul 2>nul\n')
    wine("cmd", "/c", "Z:" + script.replace("/", "\\"), check=False)
    keys, current = {}, None
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), encoding="utf-16") as f:
            for line in f.read().splitlines():
                if line.startswith("[") and line.endswith("]"):
                    hive, _, key = line[1:-1].partition("\\")
                    hive = {"HKEY_CURRENT_USER": "HKCU", "HKEY_LOCAL_MACHINE": "HKLM"}[hive]
                    current = keys.setdefault((hive, key.lower()), {})
                elif current is not None:
                    m = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)
                    if m:
                        text = m.group(3)
                        if text.startswith('"') and text.endswith('"'):
                            text = re.sub(r"\\(.)", r"\1", text[1:-1])
                        current["" if m.group(1) == "@" else re.sub(r"\\(.)", r"\1", m.group(2))] = text
    return keys


def ours(keys, hive):
    """The keys of ours that a hive holds."""
    names = ("com.orvane.tandry", "com.orvane.sarvik", "@orvane.org/nppellin", "@orvane.org/npsarvik")
    return sorted(k for (h, k) in keys if h == hive and (k.split("\\")[-1] in names or k == UNINSTALL.lower()))


def value(keys, hive, key, name=""):
    return keys.get((hive, key.lower()), {}).get(name)


version = subprocess.run(["bash", os.path.join(src, "packaging", "version.sh"), build],
                         capture_output=True, text=True, check=True).stdout.strip()
enrolment, signing, _ = version.split("+")
made = subprocess.run(["bash", os.path.join(src, "packaging", "windows", "build-installer.sh"), build,
                       os.path.join(work, "dist")], capture_output=True, text=True)
if made.returncode != 0:
    fail(f"the installer was not built: {made.stderr}")
setup = made.stdout.strip()
if os.path.basename(setup) != f"OrvaneSetup-{version}.exe":
    fail(f"installer named {os.path.basename(setup)}")
print(f"installer: {os.path.getsize(setup) // 1024} KiB")

# The user's local application data is moved to a folder with a Chinese
# name, as a Chinese user name gives it: the manifests must still name the
# programs in JSON the browsers read, whatever the system's code page.
local_appdata = wine("cmd", "/c", "echo %USERPROFILE%").strip() + "\\本地数据"
folders = {"HKCU": local_appdata + "\\Orvane",
           "HKLM": wine("cmd", "/c", "echo %ProgramW6432%").strip() + "\\Orvane"}
unix = {h: wine("winepath", "-u", d).strip() for h, d in folders.items()}
files = ["Sarvik.exe", "Tandry.exe", "com.orvane.sarvik.chrome.json", "com.orvane.sarvik.firefox.json",
         "com.orvane.tandry.chrome.json", "com.orvane.tandry.firefox.json", "npPellin.dll",
         "npSarvik.dll", "uninstall.exe"]
if os.path.exists(os.path.join(build, "apps", "orvane-verify", "orvane-verify.exe")):
    files.append("orvane-verify.exe")
roots = re.findall(r"<EntryPoint>([0-9A-F]{40})</EntryPoint>", open(os.path.join(chain, "production-chain.xml")).read())
if not roots:
    fail("no roots in the chain document")


def check_installed(hive):
    other = "HKLM" if hive == "HKCU" else "HKCU"
    folder, where = folders[hive], unix[hive]
    if not os.path.isdir(where) or sorted(os.listdir(where)) != sorted(files):
        fail(f"{folder} holds {sorted(os.listdir(where)) if os.path.isdir(where) else 'nothing'}, not {sorted(files)}")
    keys = registry()
    if ours(keys, other):
        fail(f"an install into {hive} wrote {other}: {ours(keys, other)}")
    for name, exe, want in (("com.orvane.tandry", "Tandry.exe", enrolment), ("com.orvane.sarvik", "Sarvik.exe", signing)):
        for browser in BROWSERS:
            kind = "firefox" if browser.endswith("Mozilla") else "chrome"
            manifest = value(keys, hive, f"{browser}\\NativeMessagingHosts\\{name}")
            if manifest != f"{folder}\\{name}.{kind}.json":
                fail(f"{hive}\\{browser}\\NativeMessagingHosts\\{name} names {manifest!r}")
            with open(os.path.join(where, f"{name}.{kind}.json"), encoding="ascii") as f:
                m = json.load(f)
            allowed = ({"allowed_extensions": [GECKO_ID]} if kind == "firefox" else
                       {"allowed_origins": [f"chrome-extension://{CHROME_ID}/"]})
            if m != {"name": name, "description": m.get("description"), "path": f"{folder}\\{exe}",
                     "type": "stdio", **allowed}:
                fail(f"{name}.{kind}.json is {m}")
        # The program the manifest names, spoken to as a browser does.
        path = os.path.join(where, m["path"][len(folder) + 1:])
        request = os.path.join(work, "request")
        with open(request, "w") as f:
            f.write('{"function": "VURO_GetVersion", "params": [], "randomId": "installer-test"}\n')
        talk = subprocess.run([nmclient, "--script", request, "--", WINE, path], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, env=ENV)
        if talk.returncode != 0 or f'"result":"{want}"' not in talk.stdout:
            fail(f"{exe} from its manifest did not answer version {want}: {talk.stdout} {talk.stderr}")
        print(f"{hive}: {exe} from its registered manifest answered {want}")
    for plugin in ("npPellin", "npSarvik"):
        key = f"Software\\MozillaPlugins\\@orvane.org/{plugin}"
        if value(keys, hive, key, "Path") != f"{folder}\\{plugin}.dll" or value(keys, hive, key, "Vendor") != "Orvane":
            fail(f"{plugin} is not registered under {hive}: {keys.get((hive, key.lower()))}")
    entry = keys.get((hive, UNINSTALL.lower()), {})
    if (entry.get("DisplayVersion") != version or entry.get("Publisher") != "Orvane"
            or entry.get("UninstallString") != f'"{folder}\\uninstall.exe"'):
        fail(f"the Uninstall entry under {hive} is {entry}")


def uninstall(hive):
    # The uninstaller copies itself away and returns at once: wait for it.
    wine(os.path.join(unix[hive], "uninstall.exe"), "/S")
    for _ in range(120):
        if not os.path.exists(unix[hive]) and not ours(registry(), hive):
            return
        time.sleep(0.5)
    fail(f"the {hive} uninstaller did not finish within a minute")


def run_mode(hive, *options):
    before = registry()
    if ours(before, "HKCU") or ours(before, "HKLM") or os.path.exists(unix[hive]):
        fail(f"an earlier install is left: {ours(before, 'HKCU') + ours(before, 'HKLM')}")
    r = subprocess.run([WINE, setup, "/S", *options], stdin=subprocess.DEVNULL, capture_output=True, env=ENV)
    if r.returncode != 0:
        fail(f"the {hive} install ended with {r.returncode}")
    try:
        check_installed(hive)
        if hive == "HKLM":
            for thumbprint in roots:
                key = f"HKLM\\Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\{thumbprint}"
                if subprocess.run([WINE, "reg", "query", key], stdin=subprocess.DEVNULL,
                                  capture_output=True).returncode != 0:
                    fail(f"NP_Install did not put root {thumbprint} into the machine's root store")
            print(f"HKLM: NP_Install put the {len(roots)} roots into the machine's root store")
    finally:
        if os.path.exists(os.path.join(unix[hive], "uninstall.exe")):
            uninstall(hive)
    after = registry()
    if sorted(after) != sorted(before):
        fail(f"the {hive} uninstaller left keys: {sorted(set(after) - set(before))}, "
             f"removed: {sorted(set(before) - set(after))}")
    print(f"{hive}: nothing left after the uninstaller")


os.makedirs(work, exist_ok=True)
wine("reg", "add", SHELL_FOLDERS, "/v", "Local AppData", "/t", "REG_SZ", "/d", local_appdata, "/f")
try:
    run_mode("HKCU")
finally:
    wine("reg", "add", SHELL_FOLDERS, "/v", "Local AppData", "/t", "REG_EXPAND_SZ", "/d",
         "%USERPROFILE%\\AppData\\Local", "/f")
# The roots an earlier run put in (an uninstaller leaves the machine's trust
# as it is) go first, so that finding them proves this install.
for thumbprint in roots:
    subprocess.run([WINE, "reg", "delete", f"HKLM\\Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\{thumbprint}",
                    "/f"], stdin=subprocess.DEVNULL, capture_output=True)
run_mode("HKLM", "/AllUsers")
print("windows installer: ok")
