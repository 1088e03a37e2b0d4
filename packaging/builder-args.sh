# shellcheck shell=bash disable=SC2034 # its variables are for the builder that sources it
# The package builders' shared start, sourced with the builder's own
# arguments (BUILD_DIR OUT_DIR): sets repo_root, build and out as absolute
# paths (creating out) and version, packaging/version.sh's for the build.
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage="usage: ${0##*/} BUILD_DIR OUT_DIR"
build="$(cd "${1:?$usage}" && pwd)"
out="${2:?$usage}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
version="$("$repo_root/packaging/version.sh" "$build")"
