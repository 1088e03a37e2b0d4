#!/bin/sh
# The fake PKCS#11 module as OpenSC's pkcs11-tool sees it, with OpenSSL
# checking its signatures: the PIN flow tests are only as good as the module
# they drive.   fake_module_check.sh MODULE
set -u
module=$1
if ! command -v pkcs11-tool >/dev/null || ! command -v openssl >/dev/null; then
    echo "SKIP: pkcs11-tool (opensc) or openssl is missing; scripts/bootstrap.sh installs them"
    exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
check() { # what, then the command; its output is kept in $scratch/out
    what=$1
    shift
    if ! "$@" >"$scratch/out" 2>&1; then
        echo "FAIL: $what"
        cat "$scratch/out"
        failures=$((failures + 1))
    fi
}
contains() { grep -q -- "$1" "$scratch/out" || { echo "FAIL: no '$1' in:"; cat "$scratch/out"; failures=$((failures + 1)); }; }

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$scratch/key.pem" 2>/dev/null
printf 'to be signed' >"$scratch/data"
export ORVANE_FAKE_P11_KEY="$scratch/key.pem" ORVANE_FAKE_P11_LOG="$scratch/log"
export ORVANE_FAKE_P11_LABEL="Check Token" ORVANE_FAKE_P11_SERIAL=C0FFEE ORVANE_FAKE_P11_PIN=2468

check "list the token" pkcs11-tool --module "$module" -L
contains "token label        : Check Token"
contains "serial num         : C0FFEE"
check "public objects without a login" pkcs11-tool --module "$module" -O
contains "Public Key Object; RSA 2048 bits"
contains "Certificate Object"
if grep -q "Private Key Object" "$scratch/out"; then
    echo "FAIL: the private key is listed without a login"
    failures=$((failures + 1))
fi

# A signature with the PIN, for a key that wants it once and for one that
# wants it for each signature; OpenSSL checks both with the key's public half.
for always in 0 1; do
    rm -f "$scratch/sig"
    check "sign (always authenticate $always)" env ORVANE_FAKE_P11_ALWAYS_AUTH=$always \
        pkcs11-tool --module "$module" --login --pin 2468 --sign -m RSA-PKCS --id 0f4e11 \
        -i "$scratch/data" -o "$scratch/sig"
    check "verify (always authenticate $always)" openssl pkeyutl -verifyrecover \
        -inkey "$scratch/key.pem" -in "$scratch/sig"
    contains "to be signed"
done
check "log of the signatures" cat "$scratch/log"
[ "$(grep -c 'C_Login context ok' "$scratch/log")" = 1 ] || { echo "FAIL: context logins"; cat "$scratch/log"; failures=$((failures + 1)); }
[ "$(grep -c 'C_Sign ok' "$scratch/log")" = 2 ] || { echo "FAIL: signatures"; failures=$((failures + 1)); }

# A wrong PIN is refused; PIN pad and removal show in the token's flags.
if pkcs11-tool --module "$module" --login --pin 1111 --sign -m RSA-PKCS --id 0f4e11 \
    -i "$scratch/data" -o "$scratch/sig" >"$scratch/out" 2>&1; then
    echo "FAIL: a wrong PIN signed"
    failures=$((failures + 1))
fi
contains "CKR_PIN_INCORRECT"
check "PIN pad" env ORVANE_FAKE_P11_PINPAD=1 pkcs11-tool --module "$module" -L
contains "PIN pad"
check "token taken away" env ORVANE_FAKE_P11_PRESENT_FILE="$scratch/absent" \
    pkcs11-tool --module "$module" -L
contains "(empty)"
if ORVANE_FAKE_P11_INIT=fail pkcs11-tool --module "$module" -L >"$scratch/out" 2>&1; then
    echo "FAIL: a failing start was not reported"
    failures=$((failures + 1))
fi
[ $failures -eq 0 ] && echo "fake module: all checks passed"
exit $((failures != 0))
