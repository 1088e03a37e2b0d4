#!/usr/bin/env bash
# Builds a release into dist/ from the linux and windows presets:
#   orvane_<version>_amd64.deb                   the Debian package
#   OrvaneSetup-<version>.exe                    the Windows installer (NSIS)
#   orvane-extension-<ext>-chromium.zip          the extension for the Chromium stores
#   orvane-extension-<ext>-firefox.xpi           the extension for Firefox
#   SHA256SUMS                                   their checksums
# <version> is packaging/version.sh's: the enrolment, signing and extension
# versions joined by "+" (3.2.0.1+3.4.0.3+1.0.0). Installs what it needs
# first, as the other scripts do, builds only the targets the packages hold,
# and says how long each step took.
#   scripts/package.sh
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

started=$(date +%s%N)
mark=$started
took() { # what was done: prints the time since the last mark
  local now
  now=$(date +%s%N)
  printf 'package: %-40s %6.1f s\n' "$1" "$(((now - mark) / 1000000))e-3"
  mark=$now
}

bash scripts/bootstrap.sh >/dev/null
took "bootstrap"

build() { # preset, targets...
  local preset="$1" dir="$repo_root/build/$1"
  shift
  cmake --preset "$preset" >/dev/null
  # orvane-verify goes into the packages where this tree builds it.
  if cmake --build "$dir" --target help | grep -q '^orvane-verify:'; then
    set -- "$@" orvane-verify
  fi
  cmake --build "$dir" --target "$@" >/dev/null
}
build linux Tandry Sarvik npPellin npSarvik chaindoc npshell
took "build (linux preset)"
build windows Tandry Sarvik npPellin npSarvik
took "build (windows preset)"

version="$(packaging/version.sh build/linux)"
windows_version="$(packaging/version.sh build/windows)"
if [[ $version != "$windows_version" ]]; then
  echo "package: the linux build is $version but the windows build is $windows_version" >&2
  exit 1
fi

# Everything is made in dist.tmp and replaces dist/ only when complete.
rm -rf dist.tmp
mkdir dist.tmp
trap 'rm -rf "$repo_root/dist.tmp"' EXIT
packaging/debian/build-deb.sh build/linux dist.tmp >/dev/null
took "Debian package"
python3 packaging/extension/build-archives.py web/extension dist.tmp >/dev/null
took "extension archives"
packaging/windows/build-installer.sh build/windows dist.tmp >/dev/null
took "Windows installer"
(cd dist.tmp && sha256sum -- * >SHA256SUMS)
rm -rf dist
mv dist.tmp dist
trap - EXIT
now=$(date +%s%N)
printf 'package: %-40s %6.1f s\n' "total" "$(((now - started) / 1000000))e-3"
echo "package: version $version in dist/:"
(cd dist && ls -l --time-style=+ -- * | awk '{ printf "  %10d  %s\n", $5, $NF }')
