#!/usr/bin/env bash
# Builds Marrowfen Plovern and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
# CI builds with warnings as errors.
cmake --preset default -DPLOVERN_BUILD_TESTS=ON -DPLOVERN_WERROR="${CI:+ON}" >/dev/null
cmake --build --preset default
ctest --preset default "$@"
