#!/usr/bin/env bash
# Builds Marrowfen Plovern and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec build/plovern "$@"
