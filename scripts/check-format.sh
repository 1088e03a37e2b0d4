#!/usr/bin/env bash
# Fails when a tracked C or C++ source is not as clang-format, with the
# repository's .clang-format, would write it, and names the files and the
# command that fixes them. CI runs it before the test suite.
#   scripts/check-format.sh
# The reference is the clang-format CI has: Debian 12's, major version 14.
# Other versions lay out some constructs differently, so they are refused
# rather than allowed to report differences CI would not see (or miss some).
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

want=14
fail() {
  echo "check-format: $*" >&2
  exit 1
}

formatter=""
for candidate in "clang-format-$want" clang-format; do
  command -v "$candidate" >/dev/null || continue
  # "Debian clang-format version 14.0.6"
  version=$("$candidate" --version 2>/dev/null | sed -nE 's/.*version ([0-9]+)\..*/\1/p')
  if [[ $version == "$want" ]]; then
    formatter=$candidate
    break
  fi
done
[[ -n $formatter ]] ||
  fail "clang-format $want not found (CI uses Debian 12's; scripts/bootstrap.sh installs it)"
[[ -f .clang-format ]] || fail "no .clang-format in $repo_root"
git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
  fail "not a git checkout: the tracked files are the ones checked"

# Tracked sources only: build trees and fetched third-party code (.deps/) are
# not ours to format.
mapfile -d '' files < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' \
  '*.hpp' '*.hxx' '*.inl' ':!:.deps/**' ':!:build/**')
((${#files[@]})) || fail "no C or C++ sources tracked"

out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
printf '%s\0' "${files[@]}" |
  xargs -0 -n 50 "$formatter" --style=file --dry-run --Werror >"$out" 2>&1 || status=$?
# "path/File.cpp:12:5: error: code should be clang-formatted [-Wclang-format-violations]"
mapfile -t differ < <(sed -nE 's/^(.+):[0-9]+:[0-9]+: error: code should be clang-formatted.*/\1/p' \
  "$out" | sort -u)

if ((${#differ[@]})); then
  echo "check-format: ${#differ[@]} file(s) differ from $formatter's layout:" >&2
  printf '  %s\n' "${differ[@]}" >&2
  echo "check-format: to fix them: $formatter -i ${differ[*]}" >&2
  exit 1
fi
if ((status != 0)); then
  # clang-format failed without naming a difference (bad .clang-format, unreadable file).
  cat "$out" >&2
  fail "$formatter failed (exit $status)"
fi
echo "check-format: ${#files[@]} files formatted as .clang-format says ($formatter)"
