#!/usr/bin/env bash
# Installs Tandry as a native-messaging host for Chromium, Google Chrome and
# Firefox on Linux: copies the binary to a fixed place and writes each
# browser's host manifest naming it and the extensions allowed to call it.
#
#   scripts/install-host.sh [--system] [--tandry FILE]
#                           [--chrome-extension ID]... [--firefox-addon ID]...
#   scripts/install-host.sh [--system] --uninstall
#
#   --chrome-extension ID  a Chromium/Chrome extension id (32 letters a-p);
#                          may be given more than once
#   --firefox-addon ID     a Firefox add-on id (e.g. enrol@example.org)
#   --system               for every user (needs root) instead of this user
#   --tandry FILE          the Tandry binary to install (default: build it)
#   --uninstall            remove the manifests and the installed binary
#
# User level:   binary in ~/.local/lib/orvane, manifests below ~/.config and
#               ~/.mozilla. System level: binary in /usr/local/lib/orvane,
#               manifests below /etc/chromium, /etc/opt/chrome and
#               /usr/lib/mozilla.
set -euo pipefail

host_name="com.orvane.tandry"
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

usage() {
  sed -n '2,21p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
  exit "${1:-2}"
}

system=0 uninstall=0 tandry=""
chrome_ids=() firefox_ids=()
while (($#)); do
  case "$1" in
  --system) system=1 ;;
  --uninstall) uninstall=1 ;;
  --tandry) tandry="${2:?--tandry needs a file}"; shift ;;
  --chrome-extension) chrome_ids+=("${2:?--chrome-extension needs an id}"); shift ;;
  --firefox-addon) firefox_ids+=("${2:?--firefox-addon needs an id}"); shift ;;
  -h | --help) usage 0 ;;
  *) echo "install-host: unknown argument: $1" >&2; usage ;;
  esac
  shift
done

if ((system)); then
  lib_dir=/usr/local/lib/orvane
  chrome_dirs=(/etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts)
  firefox_dirs=(/usr/lib/mozilla/native-messaging-hosts)
  if ((EUID != 0)); then
    echo "install-host: --system needs root (run it with sudo)" >&2
    exit 1
  fi
else
  lib_dir="$HOME/.local/lib/orvane"
  config="${XDG_CONFIG_HOME:-$HOME/.config}"
  chrome_dirs=("$config/chromium/NativeMessagingHosts" "$config/google-chrome/NativeMessagingHosts")
  firefox_dirs=("$HOME/.mozilla/native-messaging-hosts")
fi

if ((uninstall)); then
  for d in "${chrome_dirs[@]}" "${firefox_dirs[@]}"; do
    if [[ -f $d/$host_name.json ]]; then
      rm -f "$d/$host_name.json"
      echo "removed $d/$host_name.json"
    fi
  done
  if [[ -f $lib_dir/Tandry ]]; then
    rm -f "$lib_dir/Tandry"
    rmdir "$lib_dir" 2>/dev/null || true
    echo "removed $lib_dir/Tandry"
  fi
  exit 0
fi

if ((${#chrome_ids[@]} == 0 && ${#firefox_ids[@]} == 0)); then
  echo "install-host: name at least one --chrome-extension or --firefox-addon" >&2
  usage
fi
for id in "${chrome_ids[@]}"; do
  if [[ ! $id =~ ^[a-p]{32}$ ]]; then
    echo "install-host: not a Chromium extension id (32 letters a-p): $id" >&2
    exit 2
  fi
done
for id in "${firefox_ids[@]}"; do
  if [[ ! $id =~ ^[A-Za-z0-9._@{}-]+$ ]]; then
    echo "install-host: not a Firefox add-on id: $id" >&2
    exit 2
  fi
done

if [[ -z $tandry ]]; then
  "$repo_root/scripts/bootstrap.sh"
  cmake -S "$repo_root" --preset linux >/dev/null
  cmake --build "$repo_root/build/linux" --target Tandry >/dev/null
  tandry="$repo_root/build/linux/host/Tandry"
fi
if [[ ! -x $tandry ]]; then
  echo "install-host: no executable Tandry at $tandry" >&2
  exit 1
fi

install -d -m 0755 "$lib_dir"
install -m 0755 "$tandry" "$lib_dir/Tandry"
echo "installed $lib_dir/Tandry"

# json_list: the arguments as a JSON array of strings (ids are checked above
# to need no escaping).
json_list() {
  local out="" item
  for item in "$@"; do
    out+="${out:+, }\"$item\""
  done
  printf '[%s]' "$out"
}

write_manifest() { # dir, allowed-key, allowed-list
  install -d -m 0755 "$1"
  local file="$1/$host_name.json" tmp
  tmp="$(mktemp "$1/.$host_name.XXXXXX")"
  cat >"$tmp" <<EOF
{
  "name": "$host_name",
  "description": "Orvane certificate enrolment host",
  "path": "$lib_dir/Tandry",
  "type": "stdio",
  "$2": $3
}
EOF
  chmod 0644 "$tmp"
  mv -f "$tmp" "$file"
  echo "wrote $file"
}

if ((${#chrome_ids[@]})); then
  origins=()
  for id in "${chrome_ids[@]}"; do origins+=("chrome-extension://$id/"); done
  for d in "${chrome_dirs[@]}"; do
    write_manifest "$d" allowed_origins "$(json_list "${origins[@]}")"
  done
fi
if ((${#firefox_ids[@]})); then
  for d in "${firefox_dirs[@]}"; do
    write_manifest "$d" allowed_extensions "$(json_list "${firefox_ids[@]}")"
  done
fi
