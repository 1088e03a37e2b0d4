#!/usr/bin/env bash
# Runs one Windows executable under Wine as if it were native: CMake uses this
# as the cross-compiling emulator, so CTest and the host's child-process tests
# see the program's own stdin/stdout/stderr bytes and its own exit code.
#   scripts/wine-run.sh program.exe [args...]
# ORVANE_WINEPREFIX   prefix to use (default: <repo>/build/wineprefix)
# ORVANE_WINE_TIMEOUT seconds before the program is killed (default: 300)
# ORVANE_WINE_GUI     keep DISPLAY (dialog tests under xvfb-run)
# ORVANE_WINE_DPI     logical DPI of a prefix this run creates
set -euo pipefail

if (($# < 1)); then
  echo "usage: ${0##*/} program.exe [args...]" >&2
  exit 2
fi

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${ORVANE_WINEPREFIX:-$repo_root/build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
# No .NET or HTML engine install prompts, no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Call the 64-bit loader and server directly: Debian's /usr/bin wrappers look
# for the 32-bit loader first and force the server to quit as soon as the last
# program ends, which would make every test pay the server's start-up again.
wine=/usr/lib/wine/wine64
export WINELOADER="$wine"
export WINESERVER=/usr/lib/wine/wineserver64
# Console programs never reach for an X server; dialog tests (ORVANE_WINE_GUI=1,
# run under xvfb-run) keep the one they were given.
[[ -n ${ORVANE_WINE_GUI:-} ]] || unset DISPLAY

# Prefix creation and server start are serialised: CTest starts tests in
# parallel, and creating a prefix takes seconds. Nothing Wine starts may keep
# fd 9 open, or the lock would be held for as long as Wine's helpers live.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [[ ! -f $WINEPREFIX/.orvane-ready ]]; then
  echo "wine-run: creating prefix $WINEPREFIX" >&2
  "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&-
  # Chinese in dialogs: without a linked CJK font Wine draws empty boxes.
  link='Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
  for face in Tahoma "Microsoft Sans Serif" "MS Shell Dlg" "Microsoft YaHei" Arial; do
    "$wine" reg add "HKLM\\$link" /v "$face" /t REG_MULTI_SZ \
      /d 'wqy-zenhei.ttc,WenQuanYi Zen Hei' /f </dev/null >/dev/null 2>&1 9>&- || true
  done
  # A prefix for another DPI (dialog tests): the desktop's logical DPI.
  if [[ -n ${ORVANE_WINE_DPI:-} ]]; then
    "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
      /d "$ORVANE_WINE_DPI" /f </dev/null >/dev/null 2>&1 9>&- || true
  fi
  "$WINESERVER" -w 9>&- # registry is on disk once the boot's server is gone
  touch "$WINEPREFIX/.orvane-ready"
fi
# One server that stays up keeps each program's start-up short (the test
# suite's cleanup test, scripts/stop-test-processes.sh, ends it). It answers
# 0 only when it is the new server (2: one already runs for this prefix). The
# first program under a new server also starts Wine's helper processes
# (services, devices, ...), which inherit that program's stdio and outlive it;
# had they got the caller's pipes, CTest would wait for an EOF that never
# comes. So an empty program starts them first, with /dev/null for stdio.
if "$WINESERVER" -p </dev/null >/dev/null 2>&1 9>&-; then
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-

# timeout runs the program in its own process group unless told otherwise;
# keep it in the foreground group when attached to a terminal so it may read.
fg=()
[[ -t 0 ]] && fg=(--foreground)
status=0
timeout "${fg[@]}" --kill-after=10 "${ORVANE_WINE_TIMEOUT:-300}" "$wine" "$@" || status=$?
if ((status == 124 || status == 137)); then
  echo "wine-run: $1 timed out after ${ORVANE_WINE_TIMEOUT:-300} s" >&2
fi
exit "$status"
