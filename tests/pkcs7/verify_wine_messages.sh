#!/usr/bin/env bash
# Messages the Windows build signed under Wine, verified by OpenSSL on the
# Linux side: attached ones must give back their content, detached ones must
# verify over it.
#   verify_wine_messages.sh FOLDER MINIMUM
set -euo pipefail
dir=$1
want=$2
count=0
shopt -s nullglob
for msg in "$dir"/*.der; do
  base=${msg%.der}
  content=${base%-*}.content # <name>-<text|file>-<attached|detached> -> <name>-<text|file>
  case $msg in
    *-attached.der)
      openssl cms -verify -inform DER -noverify -binary -in "$msg" -out "$base.out" 2>"$base.err" &&
        cmp -s "$base.out" "$content" || { echo "not verified: $msg"; cat "$base.err"; exit 1; } ;;
    *-detached.der)
      openssl cms -verify -inform DER -noverify -binary -in "$msg" -content "$content" \
        -out /dev/null 2>"$base.err" || { echo "not verified: $msg"; cat "$base.err"; exit 1; } ;;
    *) continue ;;
  esac
  count=$((count + 1))
done
if ((count < want)); then
  echo "only $count messages in $dir, expected $want"
  exit 1
fi
echo "OpenSSL verified $count messages"
