#!/usr/bin/env bash
# Installs the NPAPI plug-ins (npPellin, and npSarvik once it is built) for
# the browsers that still load them and, with --system, runs their
# NP_Install: it removes the authority's withdrawn CA certificates and
# installs its roots and intermediates into the machine's stores.
#
#   scripts/install-plugins.sh [--system] [--plugin FILE]... [--npshell FILE] [--dest DIR]
#   scripts/install-plugins.sh [--system] [--dest DIR] --uninstall
#
#   --system        for every user, and the machine's certificate stores (needs
#                   root on Linux, an administrator's shell on Windows)
#   --plugin FILE   a plug-in library to install (repeatable; default: the
#                   build's npPellin and npSarvik, built first on Linux)
#   --npshell FILE  the npshell that calls NP_Install (default: the build's)
#   --dest DIR      install into DIR instead of the browsers' plug-in folder
#   --uninstall     remove the installed plug-ins (the certificates stay)
#
# Linux: ~/.mozilla/plugins, or /usr/lib/mozilla/plugins with --system.
# Windows (Git Bash or MSYS2): %LOCALAPPDATA%\Orvane\plugins registered under
# HKCU\Software\MozillaPlugins, or %ProgramFiles%\Orvane\plugins under HKLM with
# --system. Without --system nothing touches the certificate stores: the
# machine's stores are an administrator's to change.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage() {
  sed -n '2,23p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
  exit "${1:-2}"
}

system=0 uninstall=0 npshell="" dest=""
plugins=()
while (($#)); do
  case "$1" in
  --system) system=1 ;;
  --uninstall) uninstall=1 ;;
  --plugin) plugins+=("${2:?--plugin needs a file}"); shift ;;
  --npshell) npshell="${2:?--npshell needs a file}"; shift ;;
  --dest) dest="${2:?--dest needs a folder}"; shift ;;
  -h | --help) usage 0 ;;
  *) echo "install-plugins: unknown argument: $1" >&2; usage ;;
  esac
  shift
done

case "$(uname -s)" in
MINGW* | MSYS* | CYGWIN*) windows=1 ext=dll preset=windows exe=.exe ;;
*) windows=0 ext=so preset=linux exe="" ;;
esac
build="$repo_root/build/$preset"

if ((windows)); then
  if ((system)); then
    base="${PROGRAMFILES:-C:\\Program Files}" hive=HKLM
    if ! net session >/dev/null 2>&1; then
      echo "install-plugins: --system needs an administrator's shell" >&2
      exit 1
    fi
  else
    base="${LOCALAPPDATA:?LOCALAPPDATA is not set}" hive=HKCU
  fi
  plugin_dir="${dest:-$(cygpath -u "$base")/Orvane/plugins}"
else
  if ((system)) && ((EUID != 0)); then
    echo "install-plugins: --system needs root (run it with sudo)" >&2
    exit 1
  fi
  if ((system)); then
    plugin_dir="${dest:-/usr/lib/mozilla/plugins}"
  else
    plugin_dir="${dest:-$HOME/.mozilla/plugins}"
  fi
fi

# register NAME PATH / unregister NAME: the browsers' plug-in registry on Windows.
reg_key() { echo "$hive\\Software\\MozillaPlugins\\@orvane.org/$1"; }
register() {
  ((windows)) || return 0
  MSYS2_ARG_CONV_EXCL='*' reg add "$(reg_key "$1")" /v Path /t REG_SZ /d "$(cygpath -w "$2")" /f >/dev/null
  MSYS2_ARG_CONV_EXCL='*' reg add "$(reg_key "$1")" /v Vendor /t REG_SZ /d Orvane /f >/dev/null
}
unregister() {
  ((windows)) || return 0
  MSYS2_ARG_CONV_EXCL='*' reg delete "$(reg_key "$1")" /f >/dev/null 2>&1 || true
}

if ((uninstall)); then
  for name in npPellin npSarvik; do
    if [[ -f $plugin_dir/$name.$ext ]]; then
      rm -f "$plugin_dir/$name.$ext"
      echo "removed $plugin_dir/$name.$ext"
    fi
    unregister "$name"
  done
  exit 0
fi

if ((${#plugins[@]} == 0)); then
  if ((!windows)); then
    "$repo_root/scripts/bootstrap.sh"
    cmake -S "$repo_root" --preset linux >/dev/null
    targets=(npPellin npshell)
    if cmake --build "$build" --target help | grep -q '^npSarvik:'; then
      targets+=(npSarvik)
    fi
    cmake --build "$build" --target "${targets[@]}" >/dev/null
  fi
  # Each plug-in is built in its deliverable's folder; a copy elsewhere in an
  # older build tree is a stale output, never what was just built.
  for f in "$build/apps/nppellin/npPellin.$ext" "$build/apps/npsarvik/npSarvik.$ext"; do
    [[ -f $f ]] && plugins+=("$f")
  done
  if ((${#plugins[@]} == 0)); then
    echo "install-plugins: no plug-in built in $build (build the $preset preset first)" >&2
    exit 1
  fi
fi
npshell="${npshell:-$build/tools/npshell/npshell$exe}"

install -d -m 0755 "$plugin_dir"
installed=()
for plugin in "${plugins[@]}"; do
  name="$(basename "$plugin")"
  if [[ ! $name =~ ^np(Pellin|Sarvik)\.$ext$ ]]; then
    echo "install-plugins: not one of the plug-ins: $plugin" >&2
    exit 2
  fi
  install -m 0755 "$plugin" "$plugin_dir/$name"
  register "${name%.*}" "$plugin_dir/$name"
  installed+=("$plugin_dir/$name")
  echo "installed $plugin_dir/$name"
done

if ((!system)); then
  echo "install-plugins: the authority's certificates go into the machine's stores;" \
    "run again with --system to install them"
  exit 0
fi
if [[ ! -x $npshell ]]; then
  echo "install-plugins: no npshell at $npshell (--npshell FILE)" >&2
  exit 1
fi
# Every plug-in carries the same chain; each one's NP_Install runs, as an
# installer of that plug-in alone would run it.
for plugin in "${installed[@]}"; do
  "$npshell" --install "$plugin" >/dev/null
  echo "NP_Install of $plugin done"
done
