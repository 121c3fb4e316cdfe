#!/usr/bin/env bash
# Builds Marrowfen Plovern and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake --preset default -DPLOVERN_BUILD_TESTS=ON >/dev/null
cmake --build --preset default
ctest --preset default "$@"
