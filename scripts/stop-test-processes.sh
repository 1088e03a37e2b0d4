#!/usr/bin/env bash
# Stops what test runs leave running, and only that: the Wine servers of the
# prefixes the tests used (each stays up between tests so that a program's
# start-up is short, and would otherwise stay up for good), every Wine
# process of those prefixes, and whatever else a test of the given build
# trees started and left behind (an Xvfb, a browser's helper). CTest runs it
# as the cleanup test of the tests that start such programs; scripts/test.sh
# runs it again when it ends, however it ends.
#   stop-test-processes.sh [--check] [--tree BUILD_DIR]... [WINEPREFIX]...
# --tree   processes whose environment holds ORVANE_TEST_TREE=BUILD_DIR (the
#          mark CTest gives those tests) are ours
# --check  stop nothing: list what is still running, fail when anything is
# Processes are ours when they belong to this user and carry our mark, or are
# Wine's (loader or server) for one of the given prefixes (their WINEPREFIX,
# or a server's folder for it); other users' and other checkouts' Wine
# servers are never touched. Exit status 1
# when something is still running afterwards (with --check: at all).
set -euo pipefail

check=0
trees=()
prefixes=()
while (($#)); do
  case $1 in
    --check) check=1 ;;
    --tree)
      (($# >= 2)) || { echo "usage: ${0##*/} [--check] [--tree DIR]... [PREFIX]..." >&2; exit 2; }
      trees+=("$(realpath -m -- "$2")")
      shift
      ;;
    *) prefixes+=("$(realpath -m -- "$1")") ;;
  esac
  shift
done
# Run from a marked test, our own helpers would carry the mark too.
unset ORVANE_TEST_TREE

# Wine names a prefix's server folder after the prefix's device and inode
# ("server-fe00-52a830") and its server runs inside that folder; this finds a
# server even when it was started with another spelling of the prefix.
server_dirs=()
for p in "${prefixes[@]}"; do
  if devino=$(stat -c '%d %i' -- "$p" 2>/dev/null); then
    read -r dev ino <<<"$devino"
    server_dirs+=("$(printf 'server-%x-%x' "$dev" "$ino")")
  fi
done

# This script and the processes it runs under are never candidates.
declare -A spared=()
pid=$$
while ((pid > 1)); do
  spared[$pid]=1
  read -r stat_line 2>/dev/null <"/proc/$pid/stat" || break
  rest=${stat_line##*) }
  read -r _ pid _ <<<"$rest"
done

in_list() {
  local want=$1 item
  shift
  for item; do [[ $item == "$want" ]] && return 0; done
  return 1
}

# Wine's loader or server: a shell or editor that only has our WINEPREFIX in
# its environment is someone's, not a leftover.
is_wine() {
  local exe
  exe=$(readlink "/proc/$1/exe" 2>/dev/null) || return 1
  [[ ${exe##*/} == wine* ]]
}

# Fills `found` with "pid comm: why" for every running process of ours.
found=()
scan() {
  found=()
  local dir pid stat_line rest state comm why var value cwd
  local -a env
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [[ -O $dir && -z ${spared[$pid]:-} ]] || continue
    read -r stat_line 2>/dev/null <"$dir/stat" || continue
    rest=${stat_line##*) }
    state=${rest%% *}
    [[ $state != Z && $state != X ]] || continue # gone already, only not yet reaped
    mapfile -d '' env 2>/dev/null <"$dir/environ" || continue
    read -r comm 2>/dev/null <"$dir/comm" || continue
    why=""
    for var in "${env[@]}"; do
      case $var in
        ORVANE_TEST_TREE=* | WINEPREFIX=*)
          value=$(realpath -m -- "${var#*=}")
          if [[ $var == ORVANE_TEST_TREE=* ]] && in_list "$value" "${trees[@]}"; then
            why="started by a test of $value"
          elif [[ $var == WINEPREFIX=* ]] && in_list "$value" "${prefixes[@]}" && is_wine "$pid"; then
            why="Wine prefix $value"
          fi
          ;;
      esac
      [[ -z $why ]] || break
    done
    if [[ -z $why && $comm == wineserver* ]] &&
      cwd=$(readlink "$dir/cwd" 2>/dev/null) && in_list "${cwd##*/}" "${server_dirs[@]}"; then
      why="Wine server in $cwd"
    fi
    [[ -z $why ]] || found+=("$pid $comm: $why")
  done
}

report() {
  local line
  for line in "${found[@]}"; do echo "  $line" >&2; done
}

scan
if ((check)); then
  if ((${#found[@]})); then
    echo "${0##*/}: still running:" >&2
    report
    exit 1
  fi
  exit 0
fi
((${#found[@]})) || exit 0

# First the orderly way: each server found ends every program of its prefix,
# then itself; asked with the binary and prefix it runs with.
for line in "${found[@]}"; do
  pid=${line%% *}
  comm=${line#* }
  [[ $comm == wineserver* ]] || continue
  server=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
  mapfile -d '' env 2>/dev/null <"/proc/$pid/environ" || continue
  prefix=""
  for var in "${env[@]}"; do
    [[ $var == WINEPREFIX=* ]] && prefix=${var#WINEPREFIX=}
  done
  [[ -n $prefix && -d $prefix ]] || continue
  echo "${0##*/}: stopping the Wine server of $prefix" >&2
  WINEPREFIX=$prefix timeout 30 "$server" -k </dev/null >/dev/null 2>&1 || true
  WINEPREFIX=$prefix timeout 30 "$server" -w </dev/null >/dev/null 2>&1 || true
done

# Running and not merely waiting to be reaped.
running() {
  local stat_line
  read -r stat_line 2>/dev/null <"/proc/$1/stat" || return 1
  stat_line=${stat_line##*) }
  [[ ${stat_line%% *} != [ZX] ]]
}

# Then whatever is left: asked to end, and after a grace period made to.
for signal in TERM KILL; do
  scan
  ((${#found[@]})) || exit 0
  echo "${0##*/}: sending SIG$signal to what is left:" >&2
  report
  pids=()
  for line in "${found[@]}"; do pids+=("${line%% *}"); done
  kill "-$signal" "${pids[@]}" 2>/dev/null || true
  for _ in $(seq 50); do
    left=0
    for pid in "${pids[@]}"; do running "$pid" && left=1 && break; done
    ((left)) || break
    sleep 0.1
  done
done
scan
((${#found[@]})) || exit 0
echo "${0##*/}: still running after SIGKILL:" >&2
report
exit 1
