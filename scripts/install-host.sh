#!/usr/bin/env bash
# Installs the Orvane native-messaging hosts, Tandry (enrolment,
# com.orvane.tandry) and Sarvik (signing, com.orvane.sarvik), for Chromium,
# Google Chrome and Firefox on Linux: copies the binaries to a fixed place and
# writes each browser's host manifests naming them and the extensions allowed
# to call them. The Orvane extension of web/extension is always allowed (its
# Chromium id follows from the key in its manifest, its Firefox id is fixed
# there); more extensions can be named. orvane-pin, the window that asks for a
# token's PIN, is copied beside them: the hosts look for it there.
#
#   scripts/install-host.sh [--system] [--tandry FILE] [--sarvik FILE] [--pin-prompt FILE]
#                           [--chrome-extension ID]... [--firefox-addon ID]...
#   scripts/install-host.sh [--system] --uninstall
#
#   --chrome-extension ID  another Chromium/Chrome extension id (32 letters
#                          a-p); may be given more than once
#   --firefox-addon ID     another Firefox add-on id (e.g. enrol@example.org)
#   --system               for every user (needs root) instead of this user
#   --tandry FILE          the Tandry binary to install (default: build it)
#   --sarvik FILE          the Sarvik binary to install (default: build it)
#   --pin-prompt FILE      the orvane-pin to install (default: build it with
#                          the hosts; none when both hosts are given)
#   --uninstall            remove the manifests and the installed binaries
#   --lib-dir DIR, --chrome-dir DIR, --firefox-dir DIR
#                          install into these folders instead (one manifest
#                          folder each; for test profiles and packaging)
#
# User level:   binaries in ~/.local/lib/orvane, manifests below ~/.config and
#               ~/.mozilla. System level: binaries in /usr/local/lib/orvane,
#               manifests below /etc/chromium, /etc/opt/chrome and
#               /usr/lib/mozilla. Windows: scripts/install-host.cmd.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
hosts=(Tandry Sarvik)
declare -A host_name=([Tandry]=com.orvane.tandry [Sarvik]=com.orvane.sarvik)
declare -A host_text=([Tandry]="Orvane certificate enrolment host" [Sarvik]="Orvane signing host")
declare -A host_file=([Tandry]="" [Sarvik]="")

usage() {
  sed -n '2,31p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
  exit "${1:-2}"
}

# The Orvane extension's ids: Chromium's is the first 128 bits of the SHA-256
# of the manifest's public key, written with the letters a-p for 0-f.
extension_manifest="$repo_root/web/extension/manifest.json"
orvane_chrome_id() {
  sed -n 's/^ *"key": *"\([^"]*\)".*/\1/p' "$extension_manifest" | base64 -d |
    sha256sum | cut -c1-32 | tr 0-9a-f a-p
}
orvane_firefox_id() {
  sed -n 's/^ *"id": *"\([^"]*\)".*/\1/p' "$extension_manifest" | head -n1
}

system=0 uninstall=0 lib_dir="" pin_prompt="" chrome_dirs=() firefox_dirs=() custom_dirs=0
chrome_ids=() firefox_ids=()
while (($#)); do
  case "$1" in
  --system) system=1 ;;
  --uninstall) uninstall=1 ;;
  --tandry) host_file[Tandry]="${2:?--tandry needs a file}"; shift ;;
  --sarvik) host_file[Sarvik]="${2:?--sarvik needs a file}"; shift ;;
  --pin-prompt) pin_prompt="${2:?--pin-prompt needs a file}"; shift ;;
  --chrome-extension) chrome_ids+=("${2:?--chrome-extension needs an id}"); shift ;;
  --firefox-addon) firefox_ids+=("${2:?--firefox-addon needs an id}"); shift ;;
  --lib-dir) lib_dir="${2:?--lib-dir needs a folder}"; shift ;;
  --chrome-dir) chrome_dirs+=("${2:?--chrome-dir needs a folder}"); custom_dirs=1; shift ;;
  --firefox-dir) firefox_dirs+=("${2:?--firefox-dir needs a folder}"); custom_dirs=1; shift ;;
  -h | --help) usage 0 ;;
  *) echo "install-host: unknown argument: $1" >&2; usage ;;
  esac
  shift
done

if ((system)); then
  if ((EUID != 0)); then
    echo "install-host: --system needs root (run it with sudo)" >&2
    exit 1
  fi
  : "${lib_dir:=/usr/local/lib/orvane}"
  if ((!custom_dirs)); then
    chrome_dirs=(/etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts)
    firefox_dirs=(/usr/lib/mozilla/native-messaging-hosts)
  fi
else
  : "${lib_dir:=$HOME/.local/lib/orvane}"
  if ((!custom_dirs)); then
    config="${XDG_CONFIG_HOME:-$HOME/.config}"
    chrome_dirs=("$config/chromium/NativeMessagingHosts" "$config/google-chrome/NativeMessagingHosts")
    firefox_dirs=("$HOME/.mozilla/native-messaging-hosts")
  fi
fi

if ((uninstall)); then
  for h in "${hosts[@]}"; do
    for d in "${chrome_dirs[@]}" "${firefox_dirs[@]}"; do
      if [[ -f $d/${host_name[$h]}.json ]]; then
        rm -f "$d/${host_name[$h]}.json"
        echo "removed $d/${host_name[$h]}.json"
      fi
    done
  done
  for f in "${hosts[@]}" orvane-pin; do
    if [[ -f $lib_dir/$f ]]; then
      rm -f "$lib_dir/$f"
      echo "removed $lib_dir/$f"
    fi
  done
  rmdir "$lib_dir" 2>/dev/null || true
  exit 0
fi

chrome_ids=("$(orvane_chrome_id)" "${chrome_ids[@]}")
firefox_ids=("$(orvane_firefox_id)" "${firefox_ids[@]}")
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

if [[ -z ${host_file[Tandry]} || -z ${host_file[Sarvik]} ]]; then
  "$repo_root/scripts/bootstrap.sh"
  cmake -S "$repo_root" --preset linux >/dev/null
  cmake --build "$repo_root/build/linux" --target Tandry Sarvik orvane-pin >/dev/null
  : "${host_file[Tandry]:=$repo_root/build/linux/apps/tandry/Tandry}"
  : "${host_file[Sarvik]:=$repo_root/build/linux/apps/sarvik/Sarvik}"
  : "${pin_prompt:=$repo_root/build/linux/platform/pinprompt/orvane-pin}"
fi
if [[ -n $pin_prompt && ! -x $pin_prompt ]]; then
  echo "install-host: no executable orvane-pin at $pin_prompt" >&2
  exit 1
fi
for h in "${hosts[@]}"; do
  if [[ ! -x ${host_file[$h]} ]]; then
    echo "install-host: no executable $h at ${host_file[$h]}" >&2
    exit 1
  fi
done

install -d -m 0755 "$lib_dir"
lib_dir="$(cd "$lib_dir" && pwd)" # browsers want an absolute path
for h in "${hosts[@]}"; do
  install -m 0755 "${host_file[$h]}" "$lib_dir/$h"
  echo "installed $lib_dir/$h"
done
if [[ -n $pin_prompt ]]; then
  install -m 0755 "$pin_prompt" "$lib_dir/orvane-pin"
  echo "installed $lib_dir/orvane-pin"
fi

# json_list: the arguments as a JSON array of strings (ids are checked above
# to need no escaping).
json_list() {
  local out="" item
  for item in "$@"; do
    out+="${out:+, }\"$item\""
  done
  printf '[%s]' "$out"
}

# json_text: a path as a JSON string.
json_text() {
  local s="${1//\\/\\\\}"
  printf '"%s"' "${s//\"/\\\"}"
}

write_manifest() { # dir, host, allowed-key, allowed-list
  install -d -m 0755 "$1"
  local name="${host_name[$2]}"
  local file="$1/$name.json" tmp
  tmp="$(mktemp "$1/.$name.XXXXXX")"
  cat >"$tmp" <<EOF
{
  "name": "$name",
  "description": "${host_text[$2]}",
  "path": $(json_text "$lib_dir/$2"),
  "type": "stdio",
  "$3": $4
}
EOF
  chmod 0644 "$tmp"
  mv -f "$tmp" "$file"
  echo "wrote $file"
}

origins=()
for id in "${chrome_ids[@]}"; do origins+=("chrome-extension://$id/"); done
for h in "${hosts[@]}"; do
  for d in "${chrome_dirs[@]}"; do
    write_manifest "$d" "$h" allowed_origins "$(json_list "${origins[@]}")"
  done
  for d in "${firefox_dirs[@]}"; do
    write_manifest "$d" "$h" allowed_extensions "$(json_list "${firefox_ids[@]}")"
  done
done
