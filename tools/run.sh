#!/usr/bin/env bash
# Builds Marrowfen Plovern and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh run
# The program and what it needs beside it alone: the tests, benchmarks and
# fuzzers are left to tools/test.sh.
cmake --preset default -DPLOVERN_BUILD_TESTS=OFF >/dev/null
cmake --build --preset default --target plovern-program
exec build/plovern "$@"
