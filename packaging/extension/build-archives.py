#!/usr/bin/env python3
"""Packs the browser extension for the stores, the same bytes every time.

    build-archives.py EXTENSION_DIR OUT_DIR

Writes OUT_DIR/orvane-extension-<version>-chromium.zip (for the Chrome Web
Store and Edge Add-ons) and OUT_DIR/orvane-extension-<version>-firefox.xpi
(for addons.mozilla.org or a signed self-distribution), <version> being the
manifest's. Entries are sorted, dated 2000-01-01 00:00, marked as Unix files
of mode 0644 and deflated at level 9, so the same folder always gives the
same archives (the checksums in SHA256SUMS can be rebuilt and compared).

The Chromium stores refuse a manifest that carries "key": the store gives
the extension its id from its own signing key. The zip's manifest therefore
goes without it; the folder keeps it, since unpacked and policy installs of
the folder get their fixed id from it. Firefox takes the folder's manifest as
it is, and its id is the fixed gecko id.
"""
import json
import os
import sys
import zipfile

STAMP = (2000, 1, 1, 0, 0, 0)


def files_of(folder):
    names = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for f in files:
            if f.startswith(".") or f.endswith("~"):
                continue
            names.append(os.path.relpath(os.path.join(root, f), folder).replace(os.sep, "/"))
    return sorted(names)


def write(path, entries):
    """entries: (name, bytes) pairs, already sorted. Written beside the target
    and renamed, so a failure never leaves a partial archive under its name."""
    tmp = path + ".tmp"
    with zipfile.ZipFile(tmp, "w") as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, STAMP)
            info.create_system = 3
            info.external_attr = 0o100644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data, compresslevel=9)
    os.replace(tmp, path)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    folder, out = sys.argv[1:]
    with open(os.path.join(folder, "manifest.json"), "rb") as f:
        manifest_bytes = f.read()
    manifest = json.loads(manifest_bytes)
    version = manifest["version"]
    gecko = manifest.get("browser_specific_settings", {}).get("gecko", {}).get("id")
    if not gecko:
        sys.exit("build-archives: the manifest has no gecko id; Firefox would give each install its own")
    names = files_of(folder)
    contents = {}
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            contents[name] = f.read()
    store = dict(manifest)
    store.pop("key", None)
    store_manifest = (json.dumps(store, indent=2, ensure_ascii=False) + "\n").encode()
    os.makedirs(out, exist_ok=True)
    zip_path = os.path.join(out, f"orvane-extension-{version}-chromium.zip")
    xpi_path = os.path.join(out, f"orvane-extension-{version}-firefox.xpi")
    write(zip_path, [(n, store_manifest if n == "manifest.json" else contents[n]) for n in names])
    write(xpi_path, [(n, contents[n]) for n in names])
    print(zip_path)
    print(xpi_path)


if __name__ == "__main__":
    main()
