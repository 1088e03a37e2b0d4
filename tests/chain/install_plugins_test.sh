#!/usr/bin/env bash
# install-plugins.sh in a scratch home: the plug-in lands in the user's
# plug-in folder without touching the machine's stores; refusals install
# nothing; with --system (as root) NP_Install fills the machine's root store;
# --uninstall takes the plug-in away again.
#   install_plugins_test.sh SCRIPT NPSHELL NPPELLIN
set -euo pipefail
script="$1" npshell="$2" pellin="$3"
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
export HOME="$home" ORVANE_USER_HIVE="$home/user.db" ORVANE_MACHINE_HIVE="$home/machine.db"
fail() { echo "FAIL: $*" >&2; exit 1; }

"$script" --plugin "$pellin" --npshell "$npshell" >/dev/null
cmp -s "$home/.mozilla/plugins/npPellin.so" "$pellin" || fail "plug-in not installed for the user"
[[ ! -e $home/machine.db ]] || fail "a user install touched the machine's stores"

# Invalid: a library that is not one of the plug-ins.
cp "$pellin" "$home/npOther.so"
if "$script" --plugin "$home/npOther.so" --dest "$home/other" >/dev/null 2>&1; then
  fail "another library was installed"
fi
[[ ! -e $home/other/npOther.so ]] || fail "a refused plug-in was copied"

if ((EUID == 0)); then
  "$script" --system --dest "$home/system" --plugin "$pellin" --npshell "$npshell" >/dev/null
  [[ -f $home/system/npPellin.so ]] || fail "plug-in not installed with --system"
  roots=$(python3 - "$home/machine.db" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
key = 1
for part in r"SOFTWARE\Microsoft\SystemCertificates\ROOT\Certificates".split("\\"):
    row = db.execute("SELECT id FROM keys WHERE parent = ? AND lower(name) = lower(?)",
                     (key, part)).fetchone()
    key = row[0] if row else None
    if key is None:
        break
print(0 if key is None else
      db.execute("SELECT count(*) FROM keys WHERE parent = ?", (key,)).fetchone()[0])
PY
)
  ((roots > 0)) || fail "NP_Install wrote no root-store entry"
  "$script" --system --dest "$home/system" --uninstall >/dev/null
  [[ ! -e $home/system/npPellin.so ]] || fail "plug-in left after --uninstall"
fi
"$script" --uninstall >/dev/null
[[ ! -e $home/.mozilla/plugins/npPellin.so ]] || fail "plug-in left after --uninstall"
echo "install-plugins: ok"
