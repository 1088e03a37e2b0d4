#!/usr/bin/env bash
# Prints the package version of one build: the enrolment deliverables'
# version (Tandry and npPellin), the signing deliverables' (Sarvik and
# npSarvik) and the extension's, joined by "+", for example
# 3.2.0.1+3.4.0.3+1.0.0. Raising any one of them raises the package's
# version, so apt and the Windows installer always see an upgrade. The
# deliverables' versions are read from the headers CMake generates from each
# one's declaration (orvane_deliverable_identity), the extension's from its
# manifest.
#   packaging/version.sh BUILD_DIR
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:?usage: version.sh BUILD_DIR}"

version_of() { # deliverable name
  local header="$build/generated/version/$1.h" v
  [[ -f $header ]] || { echo "version: no $header (configure $build first)" >&2; exit 1; }
  v="$(sed -n 's/^inline constexpr char k[A-Za-z]*Version\[\] = "\([0-9.]*\)";$/\1/p' "$header")"
  [[ $v =~ ^[0-9]+(\.[0-9]+){3}$ ]] || { echo "version: no version in $header" >&2; exit 1; }
  echo "$v"
}

pair() { # host, plug-in: one release of one method table
  local a b
  a="$(version_of "$1")" b="$(version_of "$2")"
  if [[ $a != "$b" ]]; then
    echo "version: $1 is $a but $2 is $b; a host and its plug-in ship one method table, so they share a version" >&2
    exit 1
  fi
  echo "$a"
}

enrolment="$(pair Tandry npPellin)"
signing="$(pair Sarvik npSarvik)"
extension="$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["version"])' \
  "$repo_root/web/extension/manifest.json")"
[[ $extension =~ ^[0-9]+(\.[0-9]+){0,3}$ ]] || { echo "version: bad extension version $extension" >&2; exit 1; }
echo "$enrolment+$signing+$extension"
