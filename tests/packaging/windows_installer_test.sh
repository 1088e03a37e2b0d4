#!/usr/bin/env bash
# The Windows installer under Wine, in both modes. Each installs silently
# (/S), then every file and registry value is looked for with Wine's own
# reg.exe, Tandry and Sarvik are started from the paths their registered
# manifests name and asked for their versions over a native-messaging frame
# (nmclient), and the silent uninstaller must leave none of it. The per-user
# mode must not touch HKLM; the machine-wide mode (/AllUsers; Wine runs
# everything as an administrator) must also have run NP_Install, putting
# every root of the build's chain document into the machine's root store.
#   windows_installer_test.sh SOURCE_DIR WINDOWS_BUILD_DIR NMCLIENT CHAIN_DIR WORK_DIR
set -euo pipefail
src="$1" build="$2" nmclient="$3" chain="$4" work="$5"
fail() { echo "FAIL: $*" >&2; exit 1; }
wine="$src/scripts/wine-run.sh"
rm -rf "$work"
mkdir -p "$work"

setup="$(bash "$src/packaging/windows/build-installer.sh" "$build" "$work/dist" 2>"$work/makensis.log")" ||
  { cat "$work/makensis.log"; fail "makensis failed"; }
version="$(bash "$src/packaging/version.sh" "$build")"
IFS=+ read -r enrolment signing _ <<<"$version"
[[ $(basename "$setup") == "OrvaneSetup-$version.exe" ]] || fail "installer named $(basename "$setup")"
echo "installer: $(du -k "$setup" | cut -f1) KiB"

win() { "$wine" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
unix_path() { win winepath -u "$1"; }
# value KEY [NAME]: a REG_SZ or REG_DWORD's data, or nothing (status 1).
value() {
  local out
  if (($# == 2)); then out="$(win reg query "$1" /v "$2")" || return 1
  else out="$(win reg query "$1" /ve)" || return 1; fi
  sed -n 's/^ *[^ ].* *REG_\(SZ\|DWORD\) *//p' <<<"$out" | head -n1 | grep . || return 1
}
key_exists() { win reg query "$1" >/dev/null; }

hosts=(com.orvane.tandry:Tandry.exe:"$enrolment" com.orvane.sarvik:Sarvik.exe:"$signing")
browsers=("Software\\Google\\Chrome" "Software\\Chromium" "Software\\Microsoft\\Edge" "Software\\Mozilla")
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvane'
expected_files=(Sarvik.exe Tandry.exe com.orvane.sarvik.chrome.json com.orvane.sarvik.firefox.json
  com.orvane.tandry.chrome.json com.orvane.tandry.firefox.json npPellin.dll npSarvik.dll uninstall.exe)
[[ -f $build/apps/orvane-verify/orvane-verify.exe ]] && expected_files+=(orvane-verify.exe)

# installed HIVE DIR: everything one install put down, checked.
installed() {
  local hive="$1" dir="$2" udir entry name exe want k manifest path
  udir="$(unix_path "$dir")"
  [[ -d $udir ]] || fail "no folder $dir"
  diff <(printf '%s\n' "${expected_files[@]}" | LC_ALL=C sort) <(cd "$udir" && ls | LC_ALL=C sort) ||
    fail "$dir does not hold the expected files (< expected, > found)"
  for f in Tandry.exe Sarvik.exe npPellin.dll npSarvik.dll; do
    [[ $(stat -c %s "$udir/$f") -gt 0 ]] || fail "$f is empty"
  done
  for entry in "${hosts[@]}"; do
    IFS=: read -r name exe want <<<"$entry"
    for k in "${browsers[@]}"; do
      manifest="$(value "$hive\\$k\\NativeMessagingHosts\\$name")" || fail "$hive\\$k\\NativeMessagingHosts\\$name missing"
      if [[ $k == *Mozilla ]]; then
        [[ $manifest == "$dir\\$name.firefox.json" ]] || fail "$k names $manifest"
      else
        [[ $manifest == "$dir\\$name.chrome.json" ]] || fail "$k names $manifest"
      fi
    done
    for kind in chrome firefox; do
      path="$(python3 - "$udir/$name.$kind.json" "$name" "$dir\\$exe" <<'PY'
import json, sys
f, name, path = sys.argv[1:]
m = json.load(open(f, encoding="ascii"))
assert m["name"] == name and m["type"] == "stdio" and m["path"] == path, m
if f.endswith(".chrome.json"):
    assert m["allowed_origins"] == ["chrome-extension://jcjfcdppajmfofajkccdgggpinipmncn/"], m
else:
    assert m["allowed_extensions"] == ["extension@orvane.example"], m
print(m["path"])
PY
)" || fail "bad manifest $name.$kind.json"
    done
    # The host the manifest names, spoken to as a browser does.
    echo '{"function": "VURO_GetVersion", "params": [], "randomId": "installer-test"}' >"$work/request"
    "$nmclient" --script "$work/request" -- "$wine" "$(unix_path "$path")" >"$work/conversation" 2>&1 ||
      { cat "$work/conversation"; fail "$exe did not answer through its manifest's path"; }
    grep -q "\"result\":\"$want\"" "$work/conversation" ||
      { cat "$work/conversation"; fail "$exe did not answer version $want"; }
    echo "$hive: $exe from its manifest answered $want"
  done
  for plugin in npPellin npSarvik; do
    [[ $(value "$hive\\Software\\MozillaPlugins\\@orvane.org/$plugin" Path) == "$dir\\$plugin.dll" ]] ||
      fail "$plugin is not registered under $hive"
    [[ $(value "$hive\\Software\\MozillaPlugins\\@orvane.org/$plugin" Vendor) == Orvane ]] ||
      fail "$plugin has no vendor under $hive"
  done
  [[ $(value "$hive\\$uninstall_key" DisplayVersion) == "$version" ]] || fail "no DisplayVersion $version under $hive"
  [[ $(value "$hive\\$uninstall_key" Publisher) == Orvane ]] || fail "no Publisher under $hive"
  [[ $(value "$hive\\$uninstall_key" UninstallString) == "\"$dir\\uninstall.exe\"" ]] ||
    fail "UninstallString under $hive is not the installed uninstaller"
}

# gone HIVE DIR: nothing of an install is left.
gone() {
  local hive="$1" dir="$2" udir entry name k
  udir="$(unix_path "$dir")"
  [[ ! -e $udir ]] || fail "$dir is left: $(ls "$udir")"
  for entry in "${hosts[@]}"; do
    name="${entry%%:*}"
    for k in "${browsers[@]}"; do
      ! key_exists "$hive\\$k\\NativeMessagingHosts\\$name" || fail "$hive\\$k\\NativeMessagingHosts\\$name is left"
    done
  done
  for plugin in npPellin npSarvik; do
    ! key_exists "$hive\\Software\\MozillaPlugins\\@orvane.org/$plugin" || fail "$plugin's registration is left"
  done
  ! key_exists "$hive\\$uninstall_key" || fail "the Uninstall entry is left under $hive"
}

# made_keys HIVE: which of the keys an install may create exist, so that
# after the uninstaller the hive can be compared with before the install.
made_keys() {
  local k
  for k in 'Software\Google\Chrome\NativeMessagingHosts' 'Software\Google\Chrome' 'Software\Google' \
    'Software\Chromium\NativeMessagingHosts' 'Software\Chromium' \
    'Software\Microsoft\Edge\NativeMessagingHosts' 'Software\Microsoft\Edge' \
    'Software\Mozilla\NativeMessagingHosts' 'Software\Mozilla' 'Software\MozillaPlugins'; do
    if key_exists "$1\$k"; then echo "$1\$k"; fi
  done
}

# uninstall DIR HIVE: the uninstaller copies itself away and returns at
# once, so its end is waited for.
uninstall() {
  local udir
  udir="$(unix_path "$1")"
  "$wine" "$udir/uninstall.exe" /S </dev/null >/dev/null 2>&1 || fail "the uninstaller failed"
  for _ in $(seq 120); do
    [[ ! -e $udir ]] && ! key_exists "$2\\$uninstall_key" && return 0
    sleep 0.5
  done
  fail "the uninstaller did not finish within a minute"
}

local_appdata="$(win cmd /c echo %LOCALAPPDATA%)"
program_files="$(win cmd /c echo %ProgramW6432%)"
[[ $local_appdata == [A-Z]:\\* && $program_files == [A-Z]:\\* ]] ||
  fail "no folders from Wine: '$local_appdata' '$program_files'"
user_dir="$local_appdata\\Orvane" machine_dir="$program_files\\Orvane"
gone HKCU "$user_dir"
gone HKLM "$machine_dir"
made_keys HKCU >"$work/hkcu-before"
made_keys HKLM >"$work/hklm-before"

# Per user.
cleanup() {
  for d in "$user_dir" "$machine_dir"; do
    u="$(unix_path "$d")"
    [[ -x $u/uninstall.exe ]] && "$wine" "$u/uninstall.exe" /S </dev/null >/dev/null 2>&1 || true
  done
}
trap cleanup EXIT
"$wine" "$setup" /S </dev/null >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "the per-user install failed"; }
installed HKCU "$user_dir"
! key_exists "HKLM\\$uninstall_key" || fail "the per-user install wrote to HKLM"
! key_exists 'HKLM\Software\MozillaPlugins\@orvane.org/npPellin' || fail "the per-user install registered a plug-in in HKLM"
uninstall "$user_dir" HKCU
gone HKCU "$user_dir"
made_keys HKCU | diff -u "$work/hkcu-before" - || fail "the uninstaller left keys it made (+)"

# Machine-wide, with NP_Install. The roots an earlier run installed (an
# uninstaller leaves the machine's trust as it is) are taken out first, so
# that finding them proves this install.
roots=$(sed -n 's|.*<EntryPoint>\([0-9A-F]\{40\}\)</EntryPoint>.*|\1|p' "$chain/production-chain.xml")
[[ -n $roots ]] || fail "no roots in $chain/production-chain.xml"
for thumbprint in $roots; do
  win reg delete "HKLM\\Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\$thumbprint" /f >/dev/null || true
done
"$wine" "$setup" /S /AllUsers </dev/null >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "the machine-wide install failed"; }
installed HKLM "$machine_dir"
! key_exists "HKCU\\$uninstall_key" || fail "the machine-wide install wrote the user's Uninstall entry"
for thumbprint in $roots; do
  key_exists "HKLM\\Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\$thumbprint" ||
    fail "NP_Install did not put root $thumbprint into the machine's root store"
done
uninstall "$machine_dir" HKLM
gone HKLM "$machine_dir"
made_keys HKLM | diff -u "$work/hklm-before" - || fail "the uninstaller left keys it made (+)"
trap - EXIT
echo "windows installer: ok"
