#!/usr/bin/env bash
# install-host.sh at user level in a scratch home: manifests for every
# browser name the installed binary and the allowed callers, refusals write
# nothing, and --uninstall takes everything away again.
#   install_host_test.sh SCRIPT TANDRY
set -euo pipefail
script="$1" tandry="$2"
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config"
fail() { echo "FAIL: $*" >&2; exit 1; }

ext=abcdefghijklmnopabcdefghijklmnop
"$script" --tandry "$tandry" --chrome-extension "$ext" --firefox-addon enrol@orvane.test >/dev/null

bin="$home/.local/lib/orvane/Tandry"
[[ -x $bin ]] || fail "binary not installed"
cmp -s "$bin" "$tandry" || fail "installed binary differs"
for f in "$home/.config/chromium/NativeMessagingHosts/com.orvane.tandry.json" \
  "$home/.config/google-chrome/NativeMessagingHosts/com.orvane.tandry.json" \
  "$home/.mozilla/native-messaging-hosts/com.orvane.tandry.json"; do
  [[ -f $f ]] || fail "missing $f"
  python3 - "$f" "$bin" "$ext" <<'PY' || fail "bad manifest $f"
import json, sys
m = json.load(open(sys.argv[1]))
assert m["name"] == "com.orvane.tandry", m
assert m["type"] == "stdio", m
assert m["path"] == sys.argv[2], m
if "mozilla" in sys.argv[1]:
    assert m["allowed_extensions"] == ["enrol@orvane.test"], m
    assert "allowed_origins" not in m
else:
    assert m["allowed_origins"] == ["chrome-extension://%s/" % sys.argv[3]], m
PY
done

# Bad ids are refused before anything is written.
rm -rf "$home/.config" "$home/.mozilla"
if "$script" --tandry "$tandry" --chrome-extension NOT-AN-ID >/dev/null 2>&1; then
  fail "a bad extension id was accepted"
fi
[[ ! -e $home/.config/chromium ]] || fail "a refused install wrote a manifest"
if "$script" --tandry "$tandry" >/dev/null 2>&1; then fail "no caller named, yet accepted"; fi

"$script" --tandry "$tandry" --firefox-addon enrol@orvane.test >/dev/null
"$script" --uninstall >/dev/null
[[ ! -e $home/.mozilla/native-messaging-hosts/com.orvane.tandry.json ]] || fail "manifest left"
[[ ! -e $bin ]] || fail "binary left"
echo "install-host: ok"
