#!/usr/bin/env bash
# The demo page on http://127.0.0.1:PORT/ (default 8731): enrol for an RSA or
# SM2 certificate and sign a text from your own browser, with the test issuer
# as the authority and orvane-verify checking the signature.
#
#   scripts/demo-web.sh [--port N] [--install] [--ca-dir DIR]
#
#   --install   first install both hosts for this user (scripts/install-host.sh)
#   --ca-dir    the demo authority's folder (default build/demo-ca)
#
# The browser needs the Orvane extension (web/extension; see the README) and
# the hosts installed. The hosts keep keys and certificates in your registry
# hives unless ORVANE_USER_HIVE and ORVANE_MACHINE_HIVE name others: set them
# before your browser starts, since the browser starts the hosts.
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
port=8731 install=0 ca_dir="$repo_root/build/demo-ca"
while (($#)); do
  case "$1" in
  --port) port="${2:?--port needs a number}"; shift ;;
  --install) install=1 ;;
  --ca-dir) ca_dir="${2:?--ca-dir needs a folder}"; shift ;;
  -h | --help) sed -n '2,15p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "demo-web: unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done

build="$repo_root/build/linux"
verifier="$build/apps/orvane-verify/orvane-verify"
pin_prompt="$build/platform/pinprompt/orvane-pin" # a token's PIN window, beside the hosts
if [[ ! -x $build/tools/testca/testca || ! -x $build/apps/tandry/Tandry || ! -x $build/apps/sarvik/Sarvik ||
  ! -x $verifier || ! -x $pin_prompt ]]; then
  "$repo_root/scripts/bootstrap.sh"
  cmake -S "$repo_root" --preset linux >/dev/null
  cmake --build "$build" --target testca Tandry Sarvik orvane-verify orvane-pin >/dev/null
fi
if ((install)); then
  "$repo_root/scripts/install-host.sh" --tandry "$build/apps/tandry/Tandry" --sarvik "$build/apps/sarvik/Sarvik" \
    --pin-prompt "$pin_prompt"
fi
mkdir -p "$ca_dir"
exec python3 "$repo_root/web/demo/server.py" --testca "$build/tools/testca/testca" \
  --ca-dir "$ca_dir" --port "$port" --verifier "$verifier"
