#!/usr/bin/env bash
# Installs the Debian packages the project needs that are missing, with sudo
# when not run as root. Safe to run again: it installs nothing when all are
# there. "tools/deps.sh run" installs only what building and running the
# program needs; "tools/deps.sh" (or "test") adds what the tests need, and
# "tools/deps.sh package" the tools that make and check the Debian package.
set -euo pipefail

# What building and running the program needs: the program, its skin font
# and both self-extractor runtimes (the Windows one cross-compiled).
packages=(
    cmake ninja-build g++ pkgconf
    qt6-base-dev zlib1g-dev libdeflate-dev libbz2-dev liblzma-dev libzstd-dev nettle-dev
    fonts-comic-neue
    g++-mingw-w64-x86-64 libz-mingw-w64-dev
)
case "${1:-test}" in
run) ;;
# The tests, the peer tools they compare with, the window tests' display,
# the sanitizer and fuzzing compilers, the layout check and Wine for the
# Windows runtime.
test)
    packages+=(
        libgtest-dev
        zip unzip 7zip libarchive-tools python3
        xvfb xauth imagemagick
        clang libclang-rt-14-dev clang-format
        wine64 xdotool
    ) ;;
package) packages+=(dpkg-dev file fakeroot lintian desktop-file-utils appstream) ;;
*) echo "usage: tools/deps.sh [run|test|package]" >&2; exit 2 ;;
esac

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
