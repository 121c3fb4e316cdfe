#!/usr/bin/env bash
# Installs the Debian packages the project needs that are missing, with sudo
# when not run as root. Safe to run again: it installs nothing when all are
# there. "tools/deps.sh package" adds the tools that make and check the
# Debian package.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkgconf
    qt6-base-dev libzip-dev zlib1g-dev libdeflate-dev
    libgtest-dev
    zip unzip 7zip libarchive-tools python3
    fonts-comic-neue
    xvfb xauth imagemagick
    clang libclang-rt-14-dev clang-format
    g++-mingw-w64-x86-64 libz-mingw-w64-dev wine64 xdotool
)
if [[ "${1:-}" == package ]]; then
    packages+=(dpkg-dev file fakeroot lintian desktop-file-utils appstream)
fi

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
