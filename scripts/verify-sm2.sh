#!/usr/bin/env bash
# Verifies a signed-data message, SM2 (as npSarvik writes it) or RSA, with
# orvane-verify: signature (SM2 with SM3 and the identity 1234567812345678
# unless --sm2-id says otherwise), content, the signer's chain to the
# anchors given with --ca, its validity and key usage.
#   scripts/verify-sm2.sh [--ca FILE|DIR]... [--sm2-id ID] [--json] MESSAGE.p7s [CONTENT]
# CONTENT is the signed file for a detached message. Prints orvane-verify's
# verdict and exits 0 only when every check passes. ORVANE_VERIFY names
# another orvane-verify than the Linux build's.
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
exec "${ORVANE_VERIFY:-$repo_root/build/linux/apps/orvane-verify/orvane-verify}" "$@"
