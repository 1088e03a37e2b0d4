#!/usr/bin/env bash
# The extension's store archives: two builds from copies of the folder with
# different file times give the same bytes; unzip (not Python, which wrote
# them) finds them whole, with every file of the folder in sorted order; the
# XPI carries the folder's manifest as it is (the fixed gecko id), the
# Chromium zip the same manifest without "key", which the stores refuse.
#   extension_archives_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src="$1" work="$2"
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
pack="$src/packaging/extension/build-archives.py"

cp -r "$src/web/extension" "$work/a"
cp -r "$src/web/extension" "$work/b"
find "$work/a" -exec touch -d '2001-02-03 04:05:06' {} +
find "$work/b" -exec touch -d '2030-01-01 12:00:00' {} +
python3 "$pack" "$work/a" "$work/out-a" >/dev/null
python3 "$pack" "$work/b" "$work/out-b" >/dev/null
version="$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["version"])' "$src/web/extension/manifest.json")"
zip_name="orvane-extension-$version-chromium.zip" xpi_name="orvane-extension-$version-firefox.xpi"
for f in "$zip_name" "$xpi_name"; do
  [[ -f $work/out-a/$f ]] || fail "no $f"
  cmp "$work/out-a/$f" "$work/out-b/$f" || fail "$f differs between two builds of the same folder"
  unzip -tq "$work/out-a/$f" >/dev/null || fail "$f does not test whole"
  (cd "$src/web/extension" && find . -type f ! -name '.*' | sed 's|^\./||' | LC_ALL=C sort) >"$work/files"
  unzip -Z1 "$work/out-a/$f" | diff -u "$work/files" - || fail "$f does not hold the folder's files in order"
done

cmp <(unzip -p "$work/out-a/$xpi_name" manifest.json) "$src/web/extension/manifest.json" ||
  fail "the XPI's manifest is not the folder's"
for name in $(cat "$work/files"); do
  [[ $name == manifest.json ]] && continue
  cmp -s <(unzip -p "$work/out-a/$zip_name" "$name") "$src/web/extension/$name" || fail "zip's $name differs"
done
python3 - "$src/web/extension/manifest.json" <(unzip -p "$work/out-a/$zip_name" manifest.json) <<'PY' ||
import json, sys
folder, store = (json.load(open(p)) for p in sys.argv[1:])
assert "key" in folder and "key" not in store, "the store manifest keeps its key"
folder.pop("key")
assert folder == store, "the store manifest differs beyond its key"
assert store["browser_specific_settings"]["gecko"]["id"] == "extension@orvane.example"
PY
  fail "the store manifest is not the folder's without its key"
echo "extension archives: ok"
