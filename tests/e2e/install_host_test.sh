#!/usr/bin/env bash
# install-host.sh at user level in a scratch home: manifests of both hosts for
# every browser name the installed binaries and the allowed callers (the
# Orvane extension always, others when named), refusals write nothing, and
# --uninstall takes everything away again.
#   install_host_test.sh SCRIPT TANDRY SARVIK
set -euo pipefail
script="$1" tandry="$2" sarvik="$3"
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config"
fail() { echo "FAIL: $*" >&2; exit 1; }
# The Orvane extension's ids, fixed by its manifest.
orvane_chrome=jcjfcdppajmfofajkccdgggpinipmncn orvane_firefox=extension@orvane.example

ext=abcdefghijklmnopabcdefghijklmnop
"$script" --tandry "$tandry" --sarvik "$sarvik" --chrome-extension "$ext" \
  --firefox-addon enrol@orvane.test >/dev/null

for pair in "Tandry:$tandry:com.orvane.tandry" "Sarvik:$sarvik:com.orvane.sarvik"; do
  IFS=: read -r name source host <<<"$pair"
  bin="$home/.local/lib/orvane/$name"
  [[ -x $bin ]] || fail "$name not installed"
  cmp -s "$bin" "$source" || fail "installed $name differs"
  for f in "$home/.config/chromium/NativeMessagingHosts/$host.json" \
    "$home/.config/google-chrome/NativeMessagingHosts/$host.json" \
    "$home/.mozilla/native-messaging-hosts/$host.json"; do
    [[ -f $f ]] || fail "missing $f"
    python3 - "$f" "$bin" "$host" "$ext" "$orvane_chrome" "$orvane_firefox" <<'PY' || fail "bad manifest $f"
import json, sys
f, path, host, ext, chrome, firefox = sys.argv[1:]
m = json.load(open(f))
assert m["name"] == host, m
assert m["type"] == "stdio", m
assert m["path"] == path, m
if "mozilla" in f:
    assert m["allowed_extensions"] == [firefox, "enrol@orvane.test"], m
    assert "allowed_origins" not in m
else:
    assert m["allowed_origins"] == ["chrome-extension://%s/" % i for i in (chrome, ext)], m
PY
  done
done

# Bad ids are refused before anything is written.
rm -rf "$home/.config" "$home/.mozilla" "$home/.local"
if "$script" --tandry "$tandry" --sarvik "$sarvik" --chrome-extension NOT-AN-ID >/dev/null 2>&1; then
  fail "a bad extension id was accepted"
fi
[[ ! -e $home/.config/chromium && ! -e $home/.local ]] || fail "a refused install wrote something"

# The PIN prompt goes beside the hosts, where they look for it, and leaves
# with them. (Any executable stands in for it here.)
"$script" --tandry "$tandry" --sarvik "$sarvik" --pin-prompt "$sarvik" >/dev/null
cmp -s "$home/.local/lib/orvane/orvane-pin" "$sarvik" && [[ -x $home/.local/lib/orvane/orvane-pin ]] ||
  fail "orvane-pin not installed beside the hosts"
"$script" --uninstall >/dev/null
for host in com.orvane.tandry com.orvane.sarvik; do
  [[ ! -e $home/.mozilla/native-messaging-hosts/$host.json ]] || fail "$host manifest left"
done
[[ ! -e $home/.local/lib/orvane ]] || fail "binaries left"
echo "install-host: ok"
