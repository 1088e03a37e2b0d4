#!/usr/bin/env bash
# Configures and builds the given presets (default: linux).
#   scripts/build.sh [linux|windows|asan|fuzz]...
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

presets=("$@")
((${#presets[@]})) || presets=(linux)
for preset in "${presets[@]}"; do
  extra=()
  # The Linux end-to-end tests also drive the Windows host under Wine when
  # that build exists or is being made in the same call.
  # Otherwise those tests are registered as skipped, not left to fail on a
  # missing Tandry.exe (an empty value clears one cached by an earlier call).
  if [[ $preset == linux ]]; then
    if [[ " ${presets[*]} " == *" windows "* || -f $repo_root/build/windows/apps/tandry/Tandry.exe ]]; then
      extra+=("-DORVANE_WINDOWS_BUILD_DIR=$repo_root/build/windows")
    else
      extra+=("-DORVANE_WINDOWS_BUILD_DIR=")
    fi
  fi
  echo "build: configuring $preset"
  cmake --preset "$preset" "${extra[@]}" >/dev/null
  echo "build: building $preset"
  cmake --build --preset "$preset"
done
