#!/usr/bin/env bash
# Enrol, then sign as a page does: RSA in the software provider and in the RSA
# token, SM2 in the SM2 token, each enrolled through the real Tandry with the
# test issuer, then selected through npSarvik in npshell and used to sign a
# text and a file; every message is verified by orvane-verify against the
# test issuer (and the RSA ones by OpenSSL's cms).
#   sign_e2e_test.sh ENROL TANDRY NPSHELL NPSARVIK WORKDIR VERIFIER
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo_root="$(cd "$here/../.." && pwd)"
enrol_tool="$1" tandry="$2" npshell="$3" npsarvik="$4" work="$5" verifier="$6"
rm -rf "$work"
mkdir -p "$work"
: "${ORVANE_USER_HIVE:?the test needs its scratch hives}"
rm -f "$ORVANE_USER_HIVE" "$ORVANE_MACHINE_HIVE"

id="$$"
enrol() {
  "$enrol_tool" --host "$tandry" --ca-dir "$work/ca" --quiet "$@" >>"$work/enrol.out"
}
enrol --provider "Microsoft Enhanced Cryptographic Provider v1.0" --algorithm RSA --bits 2048 \
  --subject "CN=E2E Software RSA $id,O=Orvane Tests,C=CN"
enrol --provider "Orvane Soft RSA Token CSP v1.0" --algorithm RSA --bits 2048 \
  --subject "CN=E2E Token RSA $id,O=Orvane Tests,C=CN"
enrol --provider "Orvane Soft SM2 Token CSP v1.0" --algorithm SM2 \
  --subject "CN=E2E Token SM2 $id,O=Orvane Tests,C=CN"

sign() {
  "$repo_root/scripts/sign-roundtrip.sh" --npshell "$npshell" --plugin "$npsarvik" \
    --ca-dir "$work/ca" --verifier "$verifier" \
    --out "$work/signed" "$@"
}
sign RSA "E2E Software RSA $id"
sign RSA "E2E Token RSA $id"
sign SM2 "E2E Token SM2 $id" "Orvane Soft SM2 Token CSP v1.0"

# The RSA token's certificate is found as a store certificate: the answer
# names the token, not a software provider.
grep -q '^VURO_SelectUserCert -> ok "Orvane Soft RSA Token CSP v1.0"$' "$work"/signed/npshell-*.out ||
  { echo "the RSA token's certificate was not selected from the store" >&2; exit 1; }

# An SM2 certificate is never offered without the page naming its provider.
cat >"$work/no-provider.npsh" <<NPSH
VURO_SelectUserCert("E2E Token SM2 $id", "", "", "", false) => failed null
VURO_GetLastErrorDesc() => ok ~"(0xa0071001)"
NPSH
"$npshell" "$npsarvik" "$work/no-provider.npsh" >"$work/no-provider.out"

# Calls npSarvik refuses before its agent runs: each refusal is the last
# result, and a refused selection leaves nothing to sign with. Every case
# starts from a good selection, which also makes the last result 0.
cn="E2E Software RSA $id"
{
  for refused in \
    "VURO_SelectUserCert(\"$cn\", \"\", \"\", \"\")" \
    "VURO_SelectUserCert(\"$cn\", \"\", \"\", \"\", 0)" \
    "VURO_SelectUserCert(null, \"\", \"\", \"\", false)" \
    "VURO_SelectUserCert(\"$cn\\u0000x\", \"\", \"\", \"\", false)"; do
    echo "VURO_SelectUserCert(\"$cn\", \"\", \"\", \"\", false) => ok"
    echo "$refused => failed null"
    echo 'VURO_GetLastErrorDesc() => ok ~"(0x80070057)"'
    echo 'VURO_SignData("after a refused selection", "SHA-1") => failed null'
    echo 'VURO_GetLastErrorDesc() => ok ~"(0xa0072001)"'
  done
  echo "VURO_SelectUserCert(\"$cn\", \"\", \"\", \"\", false) => ok"
  echo 'VURO_SignData("a\u0000b", "SHA-1") => failed null'
  echo 'VURO_GetLastErrorDesc() => ok ~"(0x80070057)"'
} >"$work/refusals.npsh"
"$npshell" "$npsarvik" "$work/refusals.npsh" >"$work/refusals.out" ||
  { echo "a refused call was not explained (see $work/refusals.out)" >&2; exit 1; }
echo "sign_e2e: all messages verified"
