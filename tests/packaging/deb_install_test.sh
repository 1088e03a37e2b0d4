#!/usr/bin/env bash
# The Debian package installed into this machine, as a user installs it
# (apt-get install ./orvane_<version>_amd64.deb): every file in place, Google
# Chrome's manifests written by postinst, the authority's roots in the
# machine's root store (postinst's NP_Install), and headless Chromium and
# Firefox reaching both installed hosts through the extension folder alone;
# then dpkg -r leaves only the configuration (the manifests and the machine
# hive) and dpkg --purge leaves nothing at all, and no user's hive is made;
# a machine hive made before the package survives its purge.
# Needs root; skipped otherwise, and skipped when a package named orvane is
# already installed (it is not this test's to replace).
#   deb_install_test.sh SOURCE_DIR BUILD_DIR WORK_DIR CHAIN_DIR DIST_DIR
# DIST_DIR holds the package deb_test.sh built from BUILD_DIR.
set -euo pipefail
src="$1" build="$2" work="$3" chain="$4" dist="$5"
fail() { echo "FAIL: $*" >&2; exit 1; }
if ((EUID != 0)); then
  echo "skipped: installs the package into this machine, which needs root (CI runs as root)"
  exit 0
fi
if dpkg-query -W -f='${db:Status-Abbrev}' orvane 2>/dev/null | grep -q '^[ic]'; then
  echo "skipped: a package named orvane is already on this machine; this test installs and purges its own"
  exit 0
fi
rm -rf "$work"
mkdir -p "$work"

version="$(bash "$src/packaging/version.sh" "$build")"
deb="$dist/orvane_${version}_$(dpkg --print-architecture).deb"
[[ -f $deb ]] || fail "no $deb (package_deb builds it)"
IFS=+ read -r enrolment signing _ <<<"$version"

# Everything the package or its scripts could touch, and root's own hive.
watched=(/etc/chromium /etc/opt /usr/lib/orvane /usr/lib/mozilla /usr/share/orvane
  /usr/share/doc/orvane /var/lib/orvane "$HOME/.local/share/orvane")
snapshot() {
  local p
  for p in "${watched[@]}"; do
    if [[ -e $p ]]; then find "$p" -printf '%M %u %p %l\n'; fi
  done | sort
}
snapshot >"$work/before"

dpkg_retry() { # dpkg has no lock timeout of its own; apt-get below has one
  local i
  for i in $(seq 60); do
    dpkg "$@" 2>"$work/dpkg.err" && return 0
    grep -q 'lock' "$work/dpkg.err" || { cat "$work/dpkg.err" >&2; return 1; }
    sleep 2
  done
  return 1
}
cleanup() { dpkg_retry --purge orvane >/dev/null 2>&1 || true; }
trap cleanup EXIT

apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=120 "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install of the package failed"; }
[[ $(dpkg-query -W -f='${Status} ${Version}' orvane) == "install ok installed $version" ]] ||
  fail "orvane $version is not installed"
while read -r f; do
  [[ -e $f || -L $f ]] || fail "installed file missing: $f"
done < <(dpkg -L orvane)
for host in com.orvane.tandry com.orvane.sarvik; do
  cmp -s "/etc/chromium/native-messaging-hosts/$host.json" "/etc/opt/chrome/native-messaging-hosts/$host.json" ||
    fail "Google Chrome's $host manifest is not Chromium's"
done

# NP_Install: every root of the build's chain document is in the machine's
# root store, under its thumbprint.
python3 - /var/lib/orvane/machine.db "$chain/production-chain.xml" <<'PY' || fail "the roots are not in the machine's store"
import re, sqlite3, sys
wanted = set(re.findall(r"<EntryPoint>([0-9A-F]{40})</EntryPoint>", open(sys.argv[2]).read()))
assert wanted, "no roots in the chain document"
db = sqlite3.connect(f"file:{sys.argv[1]}?mode=ro", uri=True)
key = 1
for part in r"SOFTWARE\Microsoft\SystemCertificates\ROOT\Certificates".split("\\"):
    key = db.execute("SELECT id FROM keys WHERE parent = ? AND lower(name) = lower(?)", (key, part)).fetchone()[0]
have = {n.upper() for (n,) in db.execute("SELECT name FROM keys WHERE parent = ?", (key,))}
assert wanted <= have, (wanted - have)
print(f"machine root store: {len(wanted)} roots of the chain document present")
PY

for browser in chromium firefox; do
  python3 "$src/tests/packaging/installed_browser_test.py" --browser "$browser" \
    --extension /usr/share/orvane/extension --tandry "$enrolment" --sarvik "$signing" ||
    fail "$browser did not reach the installed hosts"
done

# Removal keeps the configuration: the conffiles, Chrome's copies of them
# and the machine's hive. Nothing else may stay.
dpkg_retry -r orvane >/dev/null
snapshot >"$work/removed"
comm -13 "$work/before" "$work/removed" | awk '{ print $3 }' >"$work/kept"
grep -v -x -E '/etc/(chromium|opt/chrome)/native-messaging-hosts/com\.orvane\.(tandry|sarvik)\.json|/etc/opt(/chrome(/native-messaging-hosts)?)?|/etc/chromium(/native-messaging-hosts)?|/var/lib/orvane(/machine\.db(-wal|-shm)?|/made-by-package)?' \
  "$work/kept" && fail "dpkg -r left the files above"
dpkg_retry --purge orvane >/dev/null
snapshot >"$work/after"
diff -u "$work/before" "$work/after" || fail "dpkg --purge did not restore the machine (- before, + after)"

# A machine hive that was there before the package (an administrator's
# install-plugins.sh --system) is not the package's to purge. Tried only
# where the machine had none, so that the test removes what it made.
if [[ ! -e /var/lib/orvane ]]; then
  cleanup() { dpkg_retry --purge orvane >/dev/null 2>&1 || true; rm -rf /var/lib/orvane; }
  env -u ORVANE_MACHINE_HIVE ORVANE_USER_HIVE="$work/user.db" \
    "$build/tools/npshell/npshell" --install "$build/apps/nppellin/npPellin.so" >/dev/null
  [[ -f /var/lib/orvane/machine.db ]] || fail "npshell --install made no machine hive"
  apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=120 "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get install of the package failed"; }
  dpkg_retry --purge orvane >/dev/null
  [[ -f /var/lib/orvane/machine.db ]] || fail "dpkg --purge removed a machine hive the package had not made"
  rm -rf /var/lib/orvane
fi
trap - EXIT
echo "installed package: ok"
