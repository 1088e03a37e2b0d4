#!/usr/bin/env bash
# Renders the dialog's pictures from their SVG sources. The PNGs and the icon
# are committed; run this again after changing an SVG.
#   resources/images/render.sh
# Needs rsvg-convert (librsvg2-bin, installed by scripts/bootstrap.sh) and python3.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

render() { # svg png size
  rsvg-convert --width "$3" --height "$3" --keep-aspect-ratio "$1" --output "$2"
}

render cert_software.svg cert_software.png 128 # resource PNG 105
render cert_hardware.svg cert_hardware.png 128 # resource PNG 106
render cert_frame.svg cert_frame.png 62        # resource PNG 107

# Icon 102, the window icon on both targets: the usual sizes, each drawn
# from the SVG rather than scaled from a larger picture.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
sizes=(16 20 24 32 40 48 64 256)
for s in "${sizes[@]}"; do
  render signing_icon.svg "$work/$s.png" "$s"
done
pngs=()
for s in "${sizes[@]}"; do pngs+=("$work/$s.png"); done
python3 make_ico.py signing_icon.ico "${pngs[@]}"
