#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is missing,
# builds and runs the Linux suite, the same suite under ASan and UBSan, and
# the Windows build's suite under Wine (whose host the Linux end-to-end tests
# also drive). Ends with one line: "tests: N passed, N failed" (and ", N
# skipped" when a test could not run, such as a Wine run without its build).
#   scripts/test.sh            everything
#   ORVANE_TEST_PRESETS="linux" scripts/test.sh   a subset
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

"$repo_root/scripts/bootstrap.sh"

read -r -a presets <<<"${ORVANE_TEST_PRESETS:-windows linux asan}"

# What the suites' tests started and left running: Wine servers of this
# checkout's prefixes (build/wineprefix, and those inside a build tree) and
# whatever carries the mark of one of our build trees. Each suite's cleanup
# test stops them; this stops them again however the script ends (a ctest
# interrupted or killed runs no cleanup), and never touches another
# checkout's or another user's Wine.
leftovers() {
  local args=() preset prefix
  for preset in "${presets[@]}"; do args+=(--tree "$repo_root/build/$preset"); done
  for prefix in "$repo_root"/build/wineprefix "$repo_root"/build/*/wineprefix*; do
    [[ -d $prefix ]] && args+=("$prefix")
  done
  "$repo_root/scripts/stop-test-processes.sh" "$@" "${args[@]}"
}
trap 'leftovers || true' EXIT
# The Windows build comes first: the Linux end-to-end tests use its host.
"$repo_root/scripts/build.sh" "${presets[@]}"

passed=0
failed=0
skipped=0
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
    # Skipped tests count as passed in CTest's summary; count them apart.
    s=$(grep -c '(Skipped)$' "$log" || true)
    # Wine now and then ends a program at start-up with no word on a busy
    # machine (seen once in CI, never reproduced here in hundreds of runs).
    # A failed Wine test runs once more; one that fails again is a failure,
    # and one that passes the second time is named, so a real fault still
    # shows and a flake leaves a trace.
    if ((f > 0)); then
      mapfile -t wine_tests < <(ctest --preset "$preset" -N -L '^wine$' |
        sed -n 's/^ *Test *#[0-9]*: \(.*\)$/\1/p')
      mapfile -t again < <(awk '/The following tests FAILED:/ { on = 1; next }
        on && /^[[:space:]]+[0-9]+ - / { print $3; next } on { on = 0 }' "$log" |
        grep -Fx -f <(printf '%s\n' "${wine_tests[@]}" "") || true)
      if ((${#again[@]} > 0)); then
        rerun=$(mktemp)
        pattern="^($(IFS='|'; echo "${again[*]}"))\$"
        if ctest --preset "$preset" -R "$pattern" --output-on-failure 2>&1 | tee "$rerun"; then :; fi
        for name in "${again[@]}"; do
          if grep -Eq "Test +#[0-9]+: $name \.+ +Passed" "$rerun"; then
            echo "test: $name failed under Wine, then passed when run again" >&2
            f=$((f - 1))
          fi
        done
        rm -f "$rerun"
      fi
    fi
    passed=$((passed + t - f - s))
    failed=$((failed + f))
    skipped=$((skipped + s))
  fi
  rm -f "$log"
done
# A check of the cleanup itself: after the suites' cleanup tests nothing
# they started may still run (a Wine test added without its label would
# start a server after the cleanup and leave it running).
if ! leftovers --check; then
  echo "test: processes started by the tests still run after the suites (listed above)" >&2
  failed=$((failed + 1))
fi
((failed == 0)) || status=1
if ((skipped > 0)); then
  echo "tests: $passed passed, $failed failed, $skipped skipped"
else
  echo "tests: $passed passed, $failed failed"
fi
exit "$status"
