#!/usr/bin/env bash
# Sets up, builds (release) and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
echo
echo "== Port names on this machine (brae-ports) =="
build/bin/brae-ports
