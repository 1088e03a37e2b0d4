#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is missing,
# builds and runs the Linux suite, the same suite under ASan and UBSan, and
# the Windows build's suite under Wine (whose host the Linux end-to-end tests
# also drive). Ends with one line: "tests: N passed, N failed".
#   scripts/test.sh            everything
#   ORVANE_TEST_PRESETS="linux" scripts/test.sh   a subset
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

"$repo_root/scripts/bootstrap.sh"

read -r -a presets <<<"${ORVANE_TEST_PRESETS:-windows linux asan}"
# The Windows build comes first: the Linux end-to-end tests use its host.
"$repo_root/scripts/build.sh" "${presets[@]}"

passed=0
failed=0
status=0
for preset in "${presets[@]}"; do
  echo "test: running the $preset suite"
  log=$(mktemp)
  if ctest --preset "$preset" -j2 2>&1 | tee "$log"; then :; fi
  if ! grep -q 'tests passed' "$log"; then
    echo "test: the $preset suite did not report a result" >&2
    status=1
  fi
  # "100% tests passed, 0 tests failed out of 12"
  if line=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1); then
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
  fi
  rm -f "$log"
done
((failed == 0)) || status=1
echo "tests: $passed passed, $failed failed"
exit "$status"
