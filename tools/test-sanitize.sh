#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
ctest --preset sanitize "$@"
