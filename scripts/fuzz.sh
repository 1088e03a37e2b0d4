#!/usr/bin/env bash
# Builds the libFuzzer targets (ASan + UBSan) and runs each for a number of
# executions (default 1,000,000), from the seeds in tests/fuzz/corpus and
# what earlier runs kept in build/fuzz/corpus, with the target's dictionary.
#   scripts/fuzz.sh [runs] [target...]
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

runs="${1:-1000000}"
shift || true
"$repo_root/scripts/bootstrap.sh"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
targets=("$@")
if ((${#targets[@]} == 0)); then
  mapfile -t targets < <(find build/fuzz/tests/fuzz -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x -printf '%f\n' | sort)
fi
for t in "${targets[@]}"; do
  corpus="build/fuzz/corpus/$t"
  mkdir -p "$corpus"
  opts=(-runs="$runs" -print_final_stats=1)
  [[ -f tests/fuzz/$t.dict ]] && opts+=(-dict="tests/fuzz/$t.dict")
  seeds=()
  [[ -d tests/fuzz/corpus/$t ]] && seeds+=("tests/fuzz/corpus/$t")
  echo "fuzz: $t for $runs runs"
  "build/fuzz/tests/fuzz/$t" "${opts[@]}" "$corpus" "${seeds[@]}" 2>&1 |
    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' || true
  if [[ ${PIPESTATUS[0]} -ne 0 ]]; then
    echo "fuzz: $t found a problem" >&2
    exit 1
  fi
done
