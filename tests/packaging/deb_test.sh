#!/usr/bin/env bash
# The Debian package as built from this tree, before anything installs it:
# its contents (modes, owners, links) against deb_contents.txt, the host
# manifests it carries, its dependencies against the libraries its programs
# actually name (found with objdump, ldconfig and dpkg, not with
# dpkg-shlibdeps, which made them), its version against the deliverables',
# and lintian, which may warn but not report an error.
#   deb_test.sh SOURCE_DIR BUILD_DIR WORK_DIR
set -euo pipefail
src="$1" build="$2" work="$3"
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"

deb="$(bash "$src/packaging/debian/build-deb.sh" "$build" "$work/dist")"
version="$(bash "$src/packaging/version.sh" "$build")"
[[ $(basename "$deb") == "orvane_${version}_$(dpkg --print-architecture).deb" ]] ||
  fail "package named $(basename "$deb") for version $version"
[[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "control Version is not $version"

# Contents.
dpkg-deb -c "$deb" | awk '{ line = $1 " " $2 " " $6; if ($7 == "->") line = line " -> " $8; print line }' |
  sort >"$work/actual"
{
  grep -v '^#' "$src/tests/packaging/deb_contents.txt" | grep -v '^@extension$'
  (cd "$src/web/extension" && find . -type f ! -name '.*' | sort |
    sed 's|^\./|-rw-r--r-- root/root ./usr/share/orvane/extension/|')
  if [[ -f $build/apps/orvane-verify/orvane-verify ]]; then
    echo "-rwxr-xr-x root/root ./usr/lib/orvane/orvane-verify"
  fi
} | sort >"$work/expected"
diff -u "$work/expected" "$work/actual" || fail "the package's contents differ from the list (- expected, + found)"

tree="$work/tree"
dpkg-deb -x "$deb" "$tree"
for f in $(cd "$src/web/extension" && find . -type f ! -name '.*'); do
  cmp -s "$src/web/extension/$f" "$tree/usr/share/orvane/extension/$f" || fail "extension file $f differs"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -x -O ./conffiles | sort >"$work/conffiles"
printf '%s\n' /etc/chromium/native-messaging-hosts/com.orvane.sarvik.json \
  /etc/chromium/native-messaging-hosts/com.orvane.tandry.json | diff -u - "$work/conffiles" ||
  fail "conffiles are not the Chromium manifests"

# The host manifests name the installed programs and allow the extension's
# fixed ids, one way per browser family.
python3 - "$tree" "$src/web/extension/manifest.json" <<'PY' || fail "bad host manifest"
import base64, hashlib, json, os, sys
tree, ext = sys.argv[1:]
m = json.load(open(ext))
chrome = "".join("abcdefghijklmnop"[int(c, 16)] for c in hashlib.sha256(base64.b64decode(m["key"])).hexdigest()[:32])
assert chrome == "jcjfcdppajmfofajkccdgggpinipmncn", chrome
gecko = m["browser_specific_settings"]["gecko"]["id"]
for name, program in (("com.orvane.tandry", "Tandry"), ("com.orvane.sarvik", "Sarvik")):
    for folder, key, allowed in (("etc/chromium/native-messaging-hosts", "allowed_origins", [f"chrome-extension://{chrome}/"]),
                                 ("usr/lib/mozilla/native-messaging-hosts", "allowed_extensions", [gecko])):
        h = json.load(open(f"{tree}/{folder}/{name}.json"))
        assert h == {"name": name, "description": h["description"], "path": f"/usr/lib/orvane/{program}",
                     "type": "stdio", key: allowed}, h
        assert os.access(tree + h["path"], os.X_OK), h["path"]
PY

# Dependencies: every library a packaged program or plug-in names must come
# from a package the control file depends on; nothing is left unresolved.
# owner FILE: the package that installed FILE, under any of its names (the
# merged /usr makes /lib and /usr/lib one folder; dpkg knows one of them).
owner() {
  local real p
  real="$(readlink -f "$1")"
  for p in "$1" "$real" "${real#/usr}" "/usr${1}"; do
    dpkg -S "$p" 2>/dev/null | head -n1 | cut -d: -f1 | grep . && return 0
  done
  return 0
}
depends="$(dpkg-deb -f "$deb" Depends)"
ldconfig -p >"$work/ldconfig"
[[ $depends != *'${'* && -n $depends ]] || fail "Depends is \"$depends\""
for f in $(find "$tree/usr/lib/orvane" -type f); do
  file -b "$f" | grep -q '^ELF' || continue
  readelf -d "$f" | grep -q 'RUNPATH\|RPATH' && fail "$f carries a library search path"
  for soname in $(objdump -p "$f" | awk '$1 == "NEEDED" { print $2 }'); do
    lib="$(awk -v n="$soname" '$1 == n && /x86-64/ { print $NF; exit }' "$work/ldconfig")"
    [[ -n $lib ]] || fail "$f needs $soname, which this machine does not have"
    pkg="$(owner "$lib")"
    [[ -n $pkg ]] || fail "no package owns $lib"
    [[ ", $depends," == *", $pkg "* || ", $depends," == *", $pkg,"* ]] ||
      fail "$(basename "$f") needs $soname from $pkg, not in Depends: $depends"
  done
done
echo "depends: $depends"
# The tokens' provider reaches modules through p11-kit, so its library is a
# dependency found in the programs, not one written by hand; the module most
# cards need is only suggested (a vendor's module does as well).
[[ ", $depends," == *", libp11-kit0 "* || ", $depends," == *", libp11-kit0,"* ]] ||
  fail "Depends lacks p11-kit's library: $depends"
[[ $(dpkg-deb -f "$deb" Suggests) == "opensc" ]] || fail "Suggests is \"$(dpkg-deb -f "$deb" Suggests)\""

# lintian: no error; the warnings are printed for the record.
lintian --tag-display-limit 0 --display-info "$deb" >"$work/lintian" 2>&1 || true
cat "$work/lintian"
! grep -q '^E:' "$work/lintian" || fail "lintian reports errors"
echo "package: ok ($(du -k "$deb" | cut -f1) KiB)"
