#!/usr/bin/env bash
# Builds the Debian package from a linux-preset build tree: lays the files out
# in a staging tree as they will sit on the machine, declares the
# dependencies dpkg-shlibdeps finds in the programs actually linked, and packs
# it with dpkg-deb (owner root for every file, without fakeroot).
#   packaging/debian/build-deb.sh BUILD_DIR OUT_DIR
# Prints the package's path. orvane-verify is shipped when the build has it.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=packaging/builder-args.sh
source "$here/../builder-args.sh" "$@"
arch="$(dpkg --print-architecture)"

# Every file gets the last commit's time, so two builds of one commit differ
# only where the compiler's output does.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$repo_root" log -1 --format=%ct 2>/dev/null || date +%s)}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
root="$work/root"
lib="$root/usr/lib/orvane"
install -d -m 0755 "$lib" "$root/usr/lib/mozilla/plugins" \
  "$root/usr/lib/mozilla/native-messaging-hosts" "$root/etc/chromium/native-messaging-hosts" \
  "$root/usr/share/orvane/extension" "$root/usr/share/doc/orvane" "$root/DEBIAN"

need() { [[ -f $1 ]] || { echo "build-deb: $1 is not built (cmake --build --preset linux)" >&2; exit 1; }; }
# orvane-pin, the PIN window of the tokens' provider, sits beside the hosts:
# the provider looks for it in the folder of the program it runs in.
programs=(apps/tandry/Tandry apps/sarvik/Sarvik tools/chaindoc/chaindoc tools/npshell/npshell
  platform/pinprompt/orvane-pin)
[[ -f $build/apps/orvane-verify/orvane-verify ]] && programs+=(apps/orvane-verify/orvane-verify)
plugins=(apps/nppellin/npPellin.so apps/npsarvik/npSarvik.so)
for f in "${programs[@]}" "${plugins[@]}"; do need "$build/$f"; done
# What dh_strip does: the build keeps its debugging information, the
# package does not.
for f in "${programs[@]}"; do
  install -m 0755 "$build/$f" "$lib/"
done
for f in "${plugins[@]}"; do
  install -m 0644 "$build/$f" "$lib/"
  # The plug-ins live with the programs; browsers find them by a link.
  ln -s "../../orvane/$(basename "$f")" "$root/usr/lib/mozilla/plugins/$(basename "$f")"
done
for f in "$lib"/*; do
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$f"
done

# The extension, as the folder unpacked and policy installs load.
(cd "$repo_root/web/extension" && find . -type f ! -name '.*' -print0 | sort -z |
  xargs -0 -I{} install -D -m 0644 {} "$root/usr/share/orvane/extension/{}")

# Host manifests: the Chromium family allows the extension's origin (its id
# follows from the key in its manifest), Firefox its gecko id.
python3 - "$repo_root/web/extension/manifest.json" "$root" <<'PY'
import base64, hashlib, json, sys
manifest = json.load(open(sys.argv[1]))
root = sys.argv[2]
digest = hashlib.sha256(base64.b64decode(manifest["key"])).hexdigest()[:32]
chrome_id = "".join(chr(ord("a") + int(c, 16)) for c in digest)
gecko_id = manifest["browser_specific_settings"]["gecko"]["id"]
hosts = {"com.orvane.tandry": ("Tandry", "Orvane certificate enrolment host"),
         "com.orvane.sarvik": ("Sarvik", "Orvane signing host")}
for name, (program, text) in hosts.items():
    common = {"name": name, "description": text, "path": f"/usr/lib/orvane/{program}", "type": "stdio"}
    for folder, extra in (("etc/chromium/native-messaging-hosts",
                           {"allowed_origins": [f"chrome-extension://{chrome_id}/"]}),
                          ("usr/lib/mozilla/native-messaging-hosts",
                           {"allowed_extensions": [gecko_id]})):
        with open(f"{root}/{folder}/{name}.json", "w") as f:
            json.dump({**common, **extra}, f, indent=2)
            f.write("\n")
PY
chmod 0644 "$root"/etc/chromium/native-messaging-hosts/*.json "$root"/usr/lib/mozilla/native-messaging-hosts/*.json

# Documentation: the copyright file and, for a package native to this
# project, changelog.gz with one entry per release.
install -m 0644 "$here/copyright" "$root/usr/share/doc/orvane/copyright"
IFS=+ read -r enrolment signing extension <<<"$version"
{
  echo "orvane ($version) stable; urgency=medium"
  echo
  echo "  * Tandry and npPellin $enrolment, Sarvik and npSarvik $signing, the browser"
  echo "    extension $extension."
  echo
  echo " -- Orvane Packaging <packages@orvane.example>  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$root/usr/share/doc/orvane/changelog.gz"
chmod 0644 "$root/usr/share/doc/orvane/changelog.gz"

# Dependencies of the ELF files as linked (dpkg-shlibdeps wants a
# debian/control to read the package's name from).
mkdir -p "$work/src/debian"
printf 'Source: orvane\n\nPackage: orvane\nArchitecture: any\n' >"$work/src/debian/control"
elves=()
for f in "$lib"/*; do elves+=("-e$f"); done
depends="$(cd "$work/src" && dpkg-shlibdeps -O "${elves[@]}" 2>"$work/shlibdeps.log" |
  sed -n 's/^shlibs:Depends=//p')" || { cat "$work/shlibdeps.log" >&2; exit 1; }
[[ -n $depends ]] || { echo "build-deb: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

installed_size="$(du -sk --exclude=DEBIAN "$root" | cut -f1)"
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" \
  -e "s/@SIZE@/$installed_size/" "$here/control.in" >"$root/DEBIAN/control"
(cd "$root" && find etc -type f | sort | sed 's|^|/|') >"$root/DEBIAN/conffiles"
install -m 0755 "$here/postinst" "$here/postrm" "$root/DEBIAN/"
(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root"/DEBIAN/{control,conffiles,md5sums}

find "$root" -newermt "@$SOURCE_DATE_EPOCH" -print0 | xargs -0 touch -h -d "@$SOURCE_DATE_EPOCH"
mkdir -p "$out"
deb="$out/orvane_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb.tmp" >/dev/null
mv -f "$deb.tmp" "$deb"
echo "$deb"
