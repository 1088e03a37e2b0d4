#!/usr/bin/env bash
# Builds the Windows installer from a windows-preset build tree with NSIS
# (makensis, Debian's nsis package): the programs stripped of their debugging
# information into a staging folder, then orvane.nsi compiled with every
# warning an error (a text missing in English or Chinese among them).
#   packaging/windows/build-installer.sh BUILD_DIR OUT_DIR
# Prints the installer's path. orvane-verify.exe is shipped when built.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=packaging/builder-args.sh
source "$here/../builder-args.sh" "$@"
IFS=+ read -r enrolment signing _ <<<"$version"
# The file version has four numbers: the newer of the two deliverable pairs'.
file_version="$(printf '%s\n' "$enrolment" "$signing" | sort -V | tail -n1)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
stage="$work/stage"
mkdir -p "$stage" "$out"
files=(apps/tandry/Tandry.exe apps/sarvik/Sarvik.exe apps/nppellin/npPellin.dll apps/npsarvik/npSarvik.dll)
defines=()
if [[ -f $build/apps/orvane-verify/orvane-verify.exe ]]; then
  files+=(apps/orvane-verify/orvane-verify.exe)
  defines+=(-DWITH_VERIFY)
fi
for f in "${files[@]}"; do
  [[ -f $build/$f ]] || { echo "build-installer: $build/$f is not built (cmake --build --preset windows)" >&2; exit 1; }
  x86_64-w64-mingw32-strip --strip-debug -o "$stage/$(basename "$f")" "$build/$f"
done

chrome_id="$(python3 - "$repo_root/web/extension/manifest.json" <<'PY'
import base64, hashlib, json, sys
digest = hashlib.sha256(base64.b64decode(json.load(open(sys.argv[1]))["key"])).hexdigest()[:32]
print("".join("abcdefghijklmnop"[int(c, 16)] for c in digest))
PY
)"
gecko_id="$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["browser_specific_settings"]["gecko"]["id"])' \
  "$repo_root/web/extension/manifest.json")"

setup="$out/OrvaneSetup-$version.exe"
makensis -V2 -WX -INPUTCHARSET UTF8 -DVERSION="$version" -DFILE_VERSION="$file_version" \
  -DSTAGE="$stage" -DOUTFILE="$setup.tmp" -DCHROME_ID="$chrome_id" -DGECKO_ID="$gecko_id" \
  "${defines[@]}" "$here/orvane.nsi" >&2
mv -f "$setup.tmp" "$setup"
echo "$setup"
