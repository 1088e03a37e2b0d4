#!/usr/bin/env bash
# npSarvik end to end under Wine on Xvfb (sarvik_wine_e2e_test.cpp), then the
# messages it wrote checked by OpenSSL here: the text's and the file's
# signatures verify, carry the signed bytes, and name the certificate the
# test picked in the dialog.
#   sarvik_wine_e2e.sh TEST_EXE OUT_DIR
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
exe="$1" out="$2"
rm -rf "$out"
mkdir -p "$out"
ORVANE_SIGN_E2E_OUT="$out" xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  "$here/../../scripts/wine-run.sh" "$exe"

fail() {
  echo "sarvik_wine_e2e: $1" >&2
  exit 1
}
base64 -d "$out/text.b64" >"$out/text.p7s"
openssl cms -verify -binary -noverify -inform DER -in "$out/text.p7s" -out "$out/text.out" ||
  fail "OpenSSL does not verify the text's signature"
cmp -s "$out/text.out" "$out/text.txt" || fail "the text's signature holds other bytes"
openssl cms -verify -binary -noverify -inform DER -in "$out/document.txt.p7s" \
  -out "$out/document.out" || fail "OpenSSL does not verify the file's signature"
cmp -s "$out/document.out" "$out/document.txt" || fail "the file's signature holds other bytes"
for msg in text.p7s document.txt.p7s; do
  openssl pkcs7 -inform DER -in "$out/$msg" -print_certs |
    openssl x509 -outform DER -out "$out/$msg.signer.der"
  cmp -s "$out/$msg.signer.der" "$out/signer.der" ||
    fail "$msg is not signed with the certificate picked in the dialog"
done
echo "sarvik_wine_e2e: the messages verify and name the picked certificate"
