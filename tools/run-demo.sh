#!/usr/bin/env bash
# Sets up and builds everything, then runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
echo
echo "Built. The trailsend command and its end-to-end run against the stand-in daemon arrive with the command issue."
