#!/usr/bin/env bash
# The main job: a real enrolment round trip. Builds what it needs, starts the
# real Tandry and talks to it through frames as a browser extension does:
# lists the CSPs, chooses a provider and algorithm, requests a signing plus
# encryption certificate, has the test issuer answer, imports both
# certificates and lists the personal certificates; once with RSA in the
# software provider, once with SM2 in the SM2 token.
#   scripts/run.sh                 the enrolment round trips
#   scripts/run.sh FILE            a conversation of your own, one JSON
#                                  request per line (see scripts/conversations)
# Keys and certificates go to a throw-away registry hive, unless
# ORVANE_USER_HIVE (and ORVANE_MACHINE_HIVE) name hives of your own.
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

"$repo_root/scripts/bootstrap.sh"
cmake --preset linux >/dev/null
cmake --build --preset linux --target Tandry nmclient enrol npshell npSarvik orvane-verify >/dev/null
tandry="$repo_root/build/linux/apps/tandry/Tandry"

if (($# > 0)); then
  echo "run: talking to build/linux/apps/tandry/Tandry as a browser extension would"
  exec "$repo_root/build/linux/tools/nmclient/nmclient" --script "$1" "$tandry"
fi

if [[ -z ${ORVANE_USER_HIVE:-} ]]; then
  state="$(mktemp -d "${TMPDIR:-/tmp}/orvane-demo.XXXXXX")"
  export ORVANE_USER_HIVE="$state/user.db" ORVANE_MACHINE_HIVE="$state/machine.db"
else
  state="$(dirname "$ORVANE_USER_HIVE")"
fi
ca_dir="${ORVANE_DEMO_CA:-$state/ca}"

enrol() {
  echo
  echo "run: $1"
  shift
  "$repo_root/build/linux/tools/enrol/enrol" --host "$tandry" --ca-dir "$ca_dir" "$@"
}
# Subjects of this run's own, so that signing finds exactly these.
run_id="$(date +%Y%m%d%H%M%S)-$$"
rsa_cn="Alice Example RSA $run_id"
sm2_cn="Alice Example SM2 $run_id"
enrol "RSA-2048 signing and encryption certificates, software provider" \
  --provider "Microsoft Enhanced Cryptographic Provider v1.0" --algorithm RSA --bits 2048 \
  --subject "CN=$rsa_cn,OU=Retail,O=Orvane Demo,C=CN"
enrol "SM2 signing and encryption certificates, SM2 token" \
  --provider "Orvane Soft SM2 Token CSP v1.0" --algorithm SM2 \
  --subject "CN=$sm2_cn,OU=Retail,O=Orvane Demo,C=CN"

# ---- signing through npSarvik ------------------------------------------------------
sign() {
  "$repo_root/scripts/sign-roundtrip.sh" --npshell "$repo_root/build/linux/tools/npshell/npshell" \
    --plugin "$repo_root/build/linux/apps/npsarvik/npSarvik.so" --out "$state/signed" \
    --ca-dir "$ca_dir" --verifier "$repo_root/build/linux/apps/orvane-verify/orvane-verify" "$@"
}
sign RSA "$rsa_cn" ""
sign SM2 "$sm2_cn" "Orvane Soft SM2 Token CSP v1.0"

echo
echo "run: done. Keys and certificates are in the registry hive $ORVANE_USER_HIVE"
echo "     (the test issuer's authorities in $ca_dir); signed messages in $state/signed."
