#!/usr/bin/env bash
# Fails when a tracked C++ file is not laid out as .clang-format says; prints
# what clang-format would change. Fix with:
#   git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
echo "format: every C++ file is formatted"
