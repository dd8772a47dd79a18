#!/usr/bin/env bash
# The page's serial layer (serial/web) under Node against the simulated indicator: tests/web's wasm program
# through the Web Serial stand-in and the bridge to the simulator's pseudo-terminal, as the release build's
# test web_serial_check runs it. Needs the release build's simulator (build/bin/brae-indicator-sim) and
# tools/web-bridge's npm package (ws, from `npm ci` there, which scripts/setup.sh runs); builds the web preset's
# check program. Ends with the checks' "N of M failed"; the exit code is N.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x build/bin/brae-indicator-sim ]; then
  echo "build/bin/brae-indicator-sim is missing: cmake --preset release && cmake --build build -j2" >&2
  exit 2
fi
if [ ! -f tools/web-bridge/node_modules/ws/package.json ]; then
  echo "tools/web-bridge/node_modules is missing: (cd tools/web-bridge && npm ci)" >&2
  exit 2
fi
cmake --preset web >/dev/null
cmake --build --preset web -j2 --target web-serial-check >/dev/null
BRAE_SIM=build/bin/brae-indicator-sim node tests/web/run_serial_check.mjs build-web/bin/web-serial-check.js
