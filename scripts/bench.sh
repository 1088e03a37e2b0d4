#!/usr/bin/env bash
# Builds and runs the benchmarks; each reports its ratio to the anchor it is
# measured against in the same run.
#   scripts/bench.sh [benchmark...]
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

"$repo_root/scripts/bootstrap.sh"
cmake --preset linux >/dev/null
cmake --build --preset linux
benches=("$@")
if ((${#benches[@]} == 0)); then
  mapfile -t benches < <(find build/linux/bench -maxdepth 1 -type f -name 'bench_*' -perm -u+x -printf '%f\n' | sort)
fi
for b in "${benches[@]}"; do
  echo "bench: $b"
  "build/linux/bench/$b"
done
