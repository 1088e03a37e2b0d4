#!/usr/bin/env bash
# One signing round trip as a page makes it through npSarvik, in the test
# browser npshell: selects the signing certificate whose subject contains CN
# (searching the containers of CSP too, when given), signs a text and a file
# with it, and verifies both messages with orvane-verify against the test
# issuer's authorities in CA_DIR (RSA messages with OpenSSL's cms as well).
#   scripts/sign-roundtrip.sh --npshell PROGRAM --plugin LIBRARY --out DIR --ca-dir CA_DIR
#                             [--verifier PROGRAM] ALGORITHM CN [CSP]
# ALGORITHM is the certificate type the plug-in must report: RSA or SM2.
# Under Wine, give --npshell "scripts/wine-run.sh build/windows/.../npshell.exe".
# The messages and the signed file stay in DIR; exits non-zero on any
# mismatch.
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
npshell=() plugin="" out="" ca_dir=""
verifier="${ORVANE_VERIFY:-$repo_root/build/linux/apps/orvane-verify/orvane-verify}"
while (($# > 0)); do
  case "$1" in
    --npshell) read -r -a npshell <<<"$2"; shift 2 ;;
    --plugin) plugin="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --ca-dir) ca_dir="$2"; shift 2 ;;
    --verifier) verifier="$2"; shift 2 ;;
    *) break ;;
  esac
done
alg="$1" cn="$2" csp="${3:-}"
[[ ${#npshell[@]} -gt 0 && -n $plugin && -n $out && -n $ca_dir ]] || {
  echo "usage: $0 --npshell PROGRAM --plugin LIBRARY --out DIR --ca-dir CA_DIR" \
    "[--verifier PROGRAM] ALGORITHM CN [CSP]" >&2
  exit 2
}
mkdir -p "$out"
fail() {
  echo "sign: $1 (see $out)" >&2
  exit 1
}

tag="$alg-$(date +%s)-$$"
text="Pay 100.00 to Bob Example, order $tag"
file="$out/contract-$tag.txt"
printf 'Contract %s, signed with %s.\n' "$tag" "$alg" >"$file"
# The path as the plug-in sees it (a Windows path under Wine).
file_arg="${ORVANE_SIGN_PATH_PREFIX:-}$file"

echo
echo "sign: with the $alg certificate \"$cn\" through npSarvik in npshell"
cat >"$out/sign-$tag.npsh" <<NPSH
VURO_SelectUserCert("$cn", "", "", "$csp", false) => ok
VURO_GetCertInfo("CertType") => ok "$alg"
VURO_GetCertInfo("ValidToDate") => ok
VURO_SignData("$text", "SHA-1") => ok
VURO_SignFile("$file_arg", "SHA-1") => ok "$file_arg.p7s"
VURO_GetLastErrorDesc() => ok ~"(0x00000000)"
NPSH
"${npshell[@]}" "$plugin" "$out/sign-$tag.npsh" >"$out/npshell-$tag.out" ||
  fail "npshell: a call did not answer as expected"

# result N METHOD: the value of the N-th successful METHOD line of the output.
result() {
  grep -F "$2 -> ok " "$out/npshell-$tag.out" | sed -n "$1p" | sed -E 's/^[^"]*"(.*)"\r?$/\1/'
}
echo "  selected: $(result 1 VURO_SelectUserCert) key, valid to $(result 2 VURO_GetCertInfo)"
result 1 VURO_SignData | base64 -d >"$out/text-$tag.p7s"
printf '%s' "$text" >"$out/text-$tag.txt"

# Every message through orvane-verify: signature, content (the text or file
# named must be what the message carries), the chain to the test issuer's
# authority, validity and key usage. RSA messages through OpenSSL's own
# signed-data check too, and the content it hands back compared with what
# was signed; OpenSSL's cms cannot read the SM2 content types.
anchor="$ca_dir/$(tr '[:upper:]' '[:lower:]' <<<"$alg")-ca.cert.pem"
verify_text=("$verifier" --ca "$anchor" "$out/text-$tag.p7s" "$out/text-$tag.txt")
verify_file=("$verifier" --ca "$anchor" "$file.p7s" "$file")
"${verify_text[@]}" >"$out/verify-text-$tag.out" ||
  fail "orvane-verify does not verify the $alg text signature: $(cat "$out/verify-text-$tag.out")"
"${verify_file[@]}" >"$out/verify-file-$tag.out" ||
  fail "orvane-verify does not verify the $alg file signature: $(cat "$out/verify-file-$tag.out")"
if [[ $alg == RSA ]]; then
  if ! { openssl cms -verify -binary -noverify -inform DER -in "$out/text-$tag.p7s" \
    -out "$out/text-$tag.out" 2>/dev/null && cmp -s "$out/text-$tag.out" "$out/text-$tag.txt"; }; then
    fail "OpenSSL does not verify the $alg text signature"
  fi
  if ! { openssl cms -verify -binary -noverify -inform DER -in "$file.p7s" -out "$file.out" \
    2>/dev/null && cmp -s "$file.out" "$file"; }; then
    fail "OpenSSL does not verify the $alg file signature"
  fi
fi
echo "  text signature: $out/text-$tag.p7s, verified; check it yourself with:"
echo "    ${verify_text[*]}"
echo "  file signature: $file.p7s, verified; check it yourself with:"
echo "    ${verify_file[*]}"
