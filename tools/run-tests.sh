#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: g++ build, clang with
# AddressSanitizer + UndefinedBehaviorSanitizer (which also builds the fuzz
# harnesses), and the framework's tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

for preset in default asan tsan; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
