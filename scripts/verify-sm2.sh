#!/usr/bin/env bash
# Verifies an SM2 signed-data message (DER, as npSarvik writes it) with
# OpenSSL: the signer's certificate and signature are cut out of the message,
# and the signature is checked over the content with SM3 and the identity
# 1234567812345678.
#   scripts/verify-sm2.sh MESSAGE.p7s [CONTENT]
# CONTENT is the signed file for a detached message; an attached message
# carries its own. Prints "Verification successful" and exits 0, or fails.
set -euo pipefail
msg="$1"
content="${2:-}"
work="$(mktemp -d "${TMPDIR:-/tmp}/orvane-sm2.XXXXXX")"
trap 'rm -rf "$work"' EXIT

parsed="$work/parsed"
openssl asn1parse -inform DER -in "$msg" -i >"$parsed"

# cut OFFSET LENGTH OUT: LENGTH bytes of the message from OFFSET.
cut_bytes() { tail -c +"$(($1 + 1))" "$msg" | head -c "$2" >"$3"; }
# field N LINE: offset, header and content lengths of an asn1parse line.
offset_of() { sed -E 's/^ *([0-9]+):.*/\1/' <<<"$1"; }
header_of() { sed -E 's/.*hl= *([0-9]+).*/\1/' <<<"$1"; }
length_of() { sed -E 's/.* l= *([0-9]+).*/\1/' <<<"$1"; }

# The certificates field: the [0] right inside SignedData; its first element.
cert_line="$(grep -A1 -E 'd=3 .*cont \[ 0 \]' "$parsed" | sed -n 2p)"
[[ -n $cert_line ]] || { echo "verify-sm2: no certificate in $msg" >&2; exit 1; }
cut_bytes "$(offset_of "$cert_line")" \
  "$(($(header_of "$cert_line") + $(length_of "$cert_line")))" "$work/signer.der"

# The signature: the SignerInfo's last field, an OCTET STRING holding
# SEQUENCE { r, s }.
sig_line="$(grep -E 'd=5 .*OCTET STRING' "$parsed" | tail -n 1)"
cut_bytes "$(($(offset_of "$sig_line") + $(header_of "$sig_line")))" \
  "$(length_of "$sig_line")" "$work/signature.der"

# The content: the inner content's OCTET STRING, unless given.
if [[ -z $content ]]; then
  content_line="$(grep -A1 -E 'd=4 .*cont \[ 0 \]' "$parsed" | sed -n 2p)"
  [[ $content_line == *"OCTET STRING"* ]] || {
    echo "verify-sm2: a detached message; name the signed file" >&2
    exit 1
  }
  cut_bytes "$(($(offset_of "$content_line") + $(header_of "$content_line")))" \
    "$(length_of "$content_line")" "$work/content"
  content="$work/content"
fi

openssl x509 -inform DER -in "$work/signer.der" -noout -pubkey >"$work/signer.pem"
openssl pkeyutl -verify -pubin -inkey "$work/signer.pem" -rawin -digest sm3 \
  -pkeyopt distid:1234567812345678 -in "$content" -sigfile "$work/signature.der"
