#!/usr/bin/env bash
# Brings a Debian 12 machine up to everything the linux, windows, asan and fuzz
# presets need, then lays the cJSON sources the Windows cross build compiles
# into .deps/cjson and cross-builds Debian's OpenSSL as a static libcrypto for
# the Windows orvane-verify into .deps/openssl-mingw64 (once: a few minutes).
# Safe to run again: when nothing is missing it only looks.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export DEBIAN_FRONTEND=noninteractive

packages=(
  build-essential cmake ninja-build pkg-config git dpkg-dev
  libssl-dev openssl libsqlite3-dev sqlite3 libcjson-dev libxml2-dev
  googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  g++-mingw-w64-x86-64 mingw-w64-tools wine64 wine xvfb xauth
  libgtk-3-dev libgcr-3-dev fonts-noto-cjk fonts-wqy-zenhei xdotool librsvg2-bin
  chromium firefox-esr python3 nodejs
)
# Packaging (scripts/package.sh) and its checks: the Windows installer's
# compiler, lintian for the Debian package, unzip and file for the tests.
packages+=(nsis lintian unzip file)
# Tokens over PKCS#11: p11-kit lists the installed modules; SoftHSM2 is the
# test token, and OpenSC's pkcs11-tool and GnuTLS's p11tool read it back.
packages+=(libp11-kit-dev p11-kit softhsm2 opensc gnutls-bin)
# The PIN prompt's tests read its window through the accessibility bus (a
# private session bus per run) with Debian's python3 and GObject bindings.
packages+=(dbus-daemon at-spi2-core python3-gi gir1.2-atspi-2.0 gir1.2-gtk-3.0)

say() { printf 'bootstrap: %s\n' "$*"; }

# CI runs as root; a developer runs as themselves and is asked once by sudo.
# sudo drops the environment, so the non-interactive frontend is passed again.
as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo env DEBIAN_FRONTEND=noninteractive "$@"
  else
    say "needs root or sudo for: $*" >&2
    exit 1
  fi
}

# --- what is missing ----------------------------------------------------------
# One dpkg-query for the lot keeps the everything-present case well under a
# second; apt-get is slow even when it has nothing to do.
mapfile -t installed < <(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' \
  "${packages[@]}" 2>/dev/null | awk '$1 == "ii" { print $2 }' || true)
missing=()
for p in "${packages[@]}"; do
  [[ " ${installed[*]} " == *" $p "* ]] || missing+=("$p")
done

# The Windows cross build compiles cJSON from Debian's source package (with
# Debian's patches applied by dpkg-source), so both targets get the same cJSON.
cjson_dir="$repo_root/.deps/cjson"
need_cjson=1
[[ -f $cjson_dir/cJSON.c && -f $cjson_dir/cJSON.h && -f $cjson_dir/LICENSE ]] && need_cjson=0

# Debian images ship binary indexes only. Mirror the stock archive entries as
# deb-src so the source version matches the binaries; done before the update
# below so one update serves both the install and the source fetch.
# orvane-verify.exe links OpenSSL's libcrypto, which Windows does not have:
# Debian's source package (its patches applied), cross-built once.
openssl_dir="$repo_root/.deps/openssl-mingw64"
need_openssl=1
[[ -f $openssl_dir/lib/libcrypto.a && -f $openssl_dir/include/openssl/evp.h ]] && need_openssl=0

need_update=$((${#missing[@]} > 0))
if ((need_cjson || need_openssl)); then
  if ! grep -qsE '^[[:space:]]*(Types:.*deb-src|deb-src[[:space:]])' /etc/apt/sources.list \
    /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; then
    stock=/etc/apt/sources.list.d/debian.sources
    if [[ -f $stock ]]; then
      say "adding deb-src entries (sources.list.d/orvane-src.sources)"
      sed -E 's/^Types:.*/Types: deb-src/' "$stock" |
        as_root tee /etc/apt/sources.list.d/orvane-src.sources >/dev/null
    else # older one-line layout
      say "adding deb-src entries (sources.list.d/orvane-src.list)"
      sed -nE 's/^deb[[:space:]]/deb-src /p' /etc/apt/sources.list |
        as_root tee /etc/apt/sources.list.d/orvane-src.list >/dev/null
    fi
  fi
  [[ -n $(apt-cache showsrc cjson 2>/dev/null) && -n $(apt-cache showsrc openssl 2>/dev/null) ]] ||
    need_update=1
fi

# --- packages -------------------------------------------------------------------
if ((need_update)); then
  say "apt-get update"
  as_root apt-get update -qq
fi
if ((${#missing[@]})); then
  say "installing ${missing[*]}"
  as_root apt-get install -y -qq "${missing[@]}"
else
  say "all ${#packages[@]} packages present"
fi

# --- cJSON sources --------------------------------------------------------------
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# As root, apt downloads through its unprivileged _apt user, which must own
# the folder or apt warns and falls back to downloading as root.
if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then chown _apt "$work"; fi

if ((!need_cjson)); then
  say "cJSON sources present in .deps/cjson"
else
  say "fetching Debian source package cjson"
  (cd "$work" && apt-get source -qq cjson >/dev/null)
  src="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'cjson-*' | head -n1)"
  [[ -n $src && -f $src/cJSON.c ]] || { say "cjson source package has no cJSON.c" >&2; exit 1; }

  mkdir -p "$repo_root/.deps"
  rm -rf "$cjson_dir.tmp"
  mkdir "$cjson_dir.tmp"
  cp "$src/cJSON.c" "$src/cJSON.h" "$src/LICENSE" "$cjson_dir.tmp/"
  basename "$(find "$work" -maxdepth 1 -name '*.dsc' | head -n1)" .dsc >"$cjson_dir.tmp/SOURCE"
  rm -rf "$cjson_dir"
  mv "$cjson_dir.tmp" "$cjson_dir"
  say "cJSON $(cat "$cjson_dir/SOURCE") placed in .deps/cjson"
fi

# --- OpenSSL for the Windows orvane-verify ---------------------------------------
if ((!need_openssl)); then
  say "OpenSSL for mingw64 present in .deps/openssl-mingw64 ($(cat "$openssl_dir/SOURCE"))"
  exit 0
fi
started=$SECONDS
say "fetching Debian source package openssl"
mkdir "$work/openssl"
if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then chown _apt "$work/openssl"; fi
# The newest version first; a mirror that lags its index may only have an
# older one.
for version in "" $(apt-cache showsrc openssl 2>/dev/null | sed -n 's/^Version: //p'); do
  (cd "$work/openssl" && apt-get source -qq "openssl${version:+=$version}" >/dev/null 2>&1) && break
  find "$work/openssl" -mindepth 1 -delete
done
src="$(find "$work/openssl" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n1)"
[[ -n $src && -f $src/Configure ]] || { say "openssl source package has no Configure" >&2; exit 1; }
say "cross-building a static libcrypto for mingw64 (once; log in .deps/openssl-mingw64.log)"
mkdir -p "$repo_root/.deps"
log="$repo_root/.deps/openssl-mingw64.log"
# build_libs builds no documentation (3.0 has no no-docs option).
options=(mingw64 no-shared no-tests --cross-compile-prefix=x86_64-w64-mingw32-)
if ! (cd "$src" && ./Configure "${options[@]}" && make -j"$(nproc)" build_libs) >"$log" 2>&1; then
  say "the OpenSSL cross build failed; see $log" >&2
  exit 1
fi
rm -rf "$openssl_dir.tmp"
mkdir -p "$openssl_dir.tmp/lib"
cp "$src/libcrypto.a" "$openssl_dir.tmp/lib/"
cp -r "$src/include" "$openssl_dir.tmp/include"
cp "$src/LICENSE.txt" "$openssl_dir.tmp/"
basename "$(find "$work/openssl" -maxdepth 1 -name '*.dsc' | head -n1)" .dsc >"$openssl_dir.tmp/SOURCE"
rm -rf "$openssl_dir"
mv "$openssl_dir.tmp" "$openssl_dir"
say "OpenSSL $(cat "$openssl_dir/SOURCE") for mingw64 in .deps/openssl-mingw64 ($((SECONDS - started)) s)"
