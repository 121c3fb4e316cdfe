#!/usr/bin/env bash
# Renders the icon's PNG sizes from assets/icons/org.example.marrowfen.plovern.svg
# (run after changing the drawing; the PNGs are kept in the repository so
# that building the package needs no renderer).
set -euo pipefail
cd "$(dirname "$0")/../assets/icons"
if ! command -v rsvg-convert >/dev/null; then
    sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends librsvg2-bin
fi
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" org.example.marrowfen.plovern.svg -o "plovern-$size.png"
done
