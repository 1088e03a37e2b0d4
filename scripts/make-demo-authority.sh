#!/usr/bin/env bash
# Makes the demo authority the plug-ins carry by default (resources/chain/demo):
#   production-chain.xml  resource 104: RSA roots G1 and G2 and an SM2 root,
#                         with eight intermediates
#   test-chain.xml        resource 105: an RSA and an SM2 test root with their
#                         intermediates, one root and one intermediate expired
#   withdrawn-rsa.inc     9 rows, withdrawn-sm2.inc 8 rows: a "withdrawn"
#                         hierarchy that the tests install before NP_Install
#   certs/                every certificate above as PEM, end-entity
#                         certificates for chain checks, and the variants the
#                         withdrawn-removal tests need
# The private keys live in a temporary folder and are gone when this ends;
# running it again makes a new authority (new keys, serials, thumbprints).
#
#   scripts/make-demo-authority.sh [--chaindoc PATH] [--out DIR]
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$repo_root/resources/chain/demo"
chaindoc=""
while (($#)); do
  case "$1" in
    --chaindoc) chaindoc="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) echo "usage: ${0##*/} [--chaindoc PATH] [--out DIR]" >&2; exit 2 ;;
  esac
done
if [[ -z $chaindoc ]]; then
  chaindoc="$repo_root/build/linux/tools/chaindoc/chaindoc"
  if [[ ! -x $chaindoc ]]; then
    cmake --preset linux >/dev/null
    cmake --build --preset linux --target chaindoc >/dev/null
  fi
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out/certs"
rm -f "$out"/certs/*.pem

# The SM2 signer identity every party assumes when none is named.
sm2_id="distid:1234567812345678"
long_start=20240101000000Z
long_end=20491231235959Z

cat >"$work/ca.cnf" <<'EOF'
[ca]
default_ca = demo
[demo]
dir = .
database = index.txt
new_certs_dir = issued
serial = serial
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
[ca_ext]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ee_ext]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
(cd "$work" && : >index.txt && mkdir issued)

# serial BYTES: a random positive serial of that many bytes, in hexadecimal.
serial() {
  local first rest
  first=$(printf '%02X' $((0x10 + 0x$(openssl rand -hex 1) % 0x70)))
  rest=$(openssl rand -hex $(($1 - 1)) | tr a-f A-F)
  echo "$first$rest"
}

# issue NAME ALG SUBJECT ISSUER START END EXT [SERIAL_BYTES]
#   ALG rsa|sm2; ISSUER is the NAME of an earlier certificate, or "self".
#   Writes $work/NAME.key and $out/certs/NAME.pem.
issue() {
  local name=$1 alg=$2 subject=$3 issuer=$4 start=$5 end=$6 ext=$7 bytes=${8:-4}
  local md=(-md sha256) req_opts=() ca_opts=()
  if [[ $alg == sm2 ]]; then
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out "$work/$name.key" 2>/dev/null
    md=(-md sm3)
    req_opts=(-sm3 -sigopt "$sm2_id")
    ca_opts=(-sigopt "$sm2_id" -vfyopt "$sm2_id")
  else
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$name.key" 2>/dev/null
  fi
  openssl req -new -key "$work/$name.key" -subj "$subject" "${req_opts[@]}" \
    -out "$work/$name.csr"
  serial "$bytes" >"$work/serial"
  local signer=()
  if [[ $issuer == self ]]; then
    signer=(-selfsign -keyfile "$work/$name.key")
  else
    signer=(-cert "$out/certs/$issuer.pem" -keyfile "$work/$issuer.key")
  fi
  (cd "$work" && openssl ca -config ca.cnf -batch -notext -preserveDN "${signer[@]}" \
    -in "$name.csr" -out "$out/certs/$name.pem" -startdate "$start" -enddate "$end" \
    -extensions "$ext" "${md[@]}" "${ca_opts[@]}" 2>/dev/null)
}

ca() { issue "$1" "$2" "$3" "$4" "${5:-$long_start}" "${6:-$long_end}" ca_ext "${7:-4}"; }
ee() { issue "$1" "$2" "$3" "$4" "$long_start" "$long_end" ee_ext; }

org="/C=CN/O=Orvane Demo"
# Production hierarchy (resource 104).
ca rsa-root-g1 rsa "$org/CN=Orvane Demo RSA Root CA G1" self
ca rsa-root-g2 rsa "$org/CN=Orvane Demo RSA Root CA G2" self
ca sm2-root sm2 "$org/CN=Orvane Demo SM2 Root CA" self
ca rsa-ca-1 rsa "$org/CN=Orvane Demo RSA Issuing CA 1" rsa-root-g1
ca rsa-ca-2 rsa "$org/CN=Orvane Demo RSA Issuing CA 2" rsa-root-g1
ca rsa-ca-3 rsa "$org/CN=Orvane Demo RSA Issuing CA 3" rsa-root-g1
ca rsa-g2-ca-1 rsa "$org/CN=Orvane Demo RSA G2 Issuing CA 1" rsa-root-g2
ca rsa-g2-ca-2 rsa "$org/CN=Orvane Demo RSA G2 Issuing CA 2" rsa-root-g2
ca sm2-ca-1 sm2 "$org/CN=Orvane Demo SM2 Issuing CA 1" sm2-root
ca sm2-ca-2 sm2 "$org/CN=Orvane Demo SM2 Issuing CA 2" sm2-root
ca sm2-ca-3 sm2 "$org/CN=Orvane Demo SM2 Issuing CA 3" sm2-root
ee rsa-user rsa "$org/CN=Orvane Demo RSA User" rsa-ca-1
ee sm2-user sm2 "$org/CN=Orvane Demo SM2 User" sm2-ca-1

# Test hierarchy (resource 105): one root and one intermediate long expired.
test_org="/C=CN/O=Orvane Demo Test"
ca test-rsa-root rsa "$test_org/CN=Orvane Demo RSA Test Root CA" self
ca test-sm2-root sm2 "$test_org/CN=Orvane Demo SM2 Test Root CA" self
ca test-expired-root rsa "$test_org/CN=Orvane Demo Expired Test Root CA" self \
  20100101000000Z 20151231235959Z
ca test-rsa-ca-1 rsa "$test_org/CN=Orvane Demo RSA Test CA 1" test-rsa-root
ca test-rsa-ca-2 rsa "$test_org/CN=Orvane Demo RSA Test CA 2" test-rsa-root
ca test-rsa-ca-3 rsa "$test_org/CN=Orvane Demo RSA Test CA 3" test-rsa-root
ca test-rsa-expired-ca rsa "$test_org/CN=Orvane Demo Expired RSA Test CA" test-rsa-root \
  20240101000000Z 20240630235959Z
ca test-sm2-ca-1 sm2 "$test_org/CN=Orvane Demo SM2 Test CA 1" test-sm2-root
ca test-sm2-ca-2 sm2 "$test_org/CN=Orvane Demo SM2 Test CA 2" test-sm2-root
ca test-sm2-ca-3 sm2 "$test_org/CN=Orvane Demo SM2 Test CA 3" test-sm2-root

# Withdrawn hierarchy: names of two and three parts, serials of 4 and 5 bytes.
w_org="/C=CN/O=Orvane Demo Withdrawn"
ca w-rsa-root-1 rsa "$w_org/CN=Orvane Withdrawn RSA Root 1" self
ca w-rsa-root-2 rsa "$w_org/CN=Orvane Withdrawn RSA Root 2" self "" "" 5
ca w-rsa-root-3 rsa "/O=Orvane Demo Withdrawn/CN=Orvane Withdrawn RSA Root 3" self
ca w-rsa-root-4 rsa "$w_org/CN=Orvane Withdrawn RSA Root 4" self
ca w-rsa-ca-1 rsa "$w_org/CN=Orvane Withdrawn RSA CA 1" w-rsa-root-1
ca w-rsa-ca-2 rsa "$w_org/CN=Orvane Withdrawn RSA CA 2" w-rsa-root-2 "" "" 5
ca w-rsa-ca-3 rsa "/O=Orvane Demo Withdrawn/CN=Orvane Withdrawn RSA CA 3" w-rsa-root-3
ca w-rsa-ca-4 rsa "$w_org/CN=Orvane Withdrawn RSA CA 4" w-rsa-root-4
ca w-rsa-ca-5 rsa "$w_org/CN=Orvane Withdrawn RSA CA 5" w-rsa-root-1
ca w-sm2-root-1 sm2 "$w_org/CN=Orvane Withdrawn SM2 Root 1" self
ca w-sm2-root-2 sm2 "$w_org/CN=Orvane Withdrawn SM2 Root 2" self "" "" 5
ca w-sm2-root-3 sm2 "/O=Orvane Demo Withdrawn/CN=Orvane Withdrawn SM2 Root 3" self
ca w-sm2-ca-1 sm2 "$w_org/CN=Orvane Withdrawn SM2 CA 1" w-sm2-root-1
ca w-sm2-ca-2 sm2 "$w_org/CN=Orvane Withdrawn SM2 CA 2" w-sm2-root-1
ca w-sm2-ca-3 sm2 "$w_org/CN=Orvane Withdrawn SM2 CA 3" w-sm2-root-2 "" "" 5
ca w-sm2-ca-4 sm2 "/O=Orvane Demo Withdrawn/CN=Orvane Withdrawn SM2 CA 4" w-sm2-root-3
ca w-sm2-ca-5 sm2 "$w_org/CN=Orvane Withdrawn SM2 CA 5" w-sm2-root-3

# Variants of withdrawn CA 1 for the removal tests: a longer subject that
# contains the row's name, with the same issuer and serial (removed with it);
# and the same names under another serial (kept).
# Each gets a database of its own: one database never issues a serial twice.
variant() {
  local name=$1 subject=$2 serial_hex=$3 dir="$work/$1"
  mkdir -p "$dir/issued" && : >"$dir/index.txt" && cp "$work/ca.cnf" "$dir/"
  openssl req -new -key "$work/w-rsa-ca-1.key" -subj "$subject" -out "$dir/$name.csr"
  echo "$serial_hex" >"$dir/serial"
  (cd "$dir" && openssl ca -config ca.cnf -batch -notext -preserveDN \
    -cert "$out/certs/w-rsa-root-1.pem" -keyfile "$work/w-rsa-root-1.key" -in "$name.csr" \
    -out "$out/certs/$name.pem" -startdate "$long_start" -enddate "$long_end" \
    -extensions ca_ext -md sha256 2>/dev/null)
}
ca1_serial=$(openssl x509 -in "$out/certs/w-rsa-ca-1.pem" -noout -serial | cut -d= -f2)
variant w-rsa-ca-1-longer-subject \
  "$w_org/CN=Orvane Withdrawn RSA CA 1/CN=Orvane Withdrawn Cross" "$ca1_serial"
variant w-rsa-ca-1-other-serial "$w_org/CN=Orvane Withdrawn RSA CA 1" "$(serial 4)"

c="$out/certs"
"$chaindoc" make \
  --roots "$c/rsa-root-g1.pem" "$c/rsa-root-g2.pem" "$c/sm2-root.pem" \
  --chain "$c/rsa-ca-1.pem" "$c/rsa-ca-2.pem" "$c/rsa-ca-3.pem" "$c/rsa-root-g1.pem" \
          "$c/rsa-g2-ca-1.pem" "$c/rsa-g2-ca-2.pem" "$c/rsa-root-g2.pem" \
          "$c/sm2-ca-1.pem" "$c/sm2-ca-2.pem" "$c/sm2-ca-3.pem" "$c/sm2-root.pem" \
  --comment "Orvane demo authority: production hierarchy (RSA G1, RSA G2, SM2)" \
  --out "$out/production-chain.xml"
"$chaindoc" make \
  --roots "$c/test-rsa-root.pem" "$c/test-sm2-root.pem" "$c/test-expired-root.pem" \
  --chain "$c/test-rsa-ca-1.pem" "$c/test-rsa-ca-2.pem" "$c/test-rsa-ca-3.pem" \
          "$c/test-rsa-expired-ca.pem" "$c/test-rsa-root.pem" \
          "$c/test-sm2-ca-1.pem" "$c/test-sm2-ca-2.pem" "$c/test-sm2-ca-3.pem" \
          "$c/test-sm2-root.pem" "$c/test-expired-root.pem" \
  --comment "Orvane demo authority: test hierarchy (one root and one CA expired)" \
  --out "$out/test-chain.xml"

table() {
  local file=$1 title=$2
  shift 2
  {
    echo "// Withdrawn $title certificates of the Orvane demo authority, in the order"
    echo "// they are removed. Made by scripts/make-demo-authority.sh."
    "$chaindoc" row "$@"
  } >"$file"
}
table "$out/withdrawn-rsa.inc" RSA "$c/w-rsa-ca-1.pem" "$c/w-rsa-root-1.pem" \
  "$c/w-rsa-ca-2.pem" "$c/w-rsa-root-2.pem" "$c/w-rsa-ca-3.pem" "$c/w-rsa-root-3.pem" \
  "$c/w-rsa-ca-4.pem" "$c/w-rsa-ca-5.pem" "$c/w-rsa-root-4.pem"
table "$out/withdrawn-sm2.inc" SM2 "$c/w-sm2-ca-1.pem" "$c/w-sm2-ca-2.pem" \
  "$c/w-sm2-root-1.pem" "$c/w-sm2-ca-3.pem" "$c/w-sm2-root-2.pem" "$c/w-sm2-ca-4.pem" \
  "$c/w-sm2-ca-5.pem" "$c/w-sm2-root-3.pem"

"$chaindoc" check "$out/production-chain.xml" >/dev/null
"$chaindoc" check "$out/test-chain.xml" >/dev/null
echo "demo authority written to $out"
