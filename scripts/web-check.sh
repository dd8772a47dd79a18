#!/usr/bin/env bash
# The page's serial layer (serial/web) under Node against the simulated indicator: tests/web's wasm program
# through a stand-in SerialPort on the simulator's pseudo-terminal. Needs the release build's simulator
# (build/bin/brae-indicator-sim); builds the web preset's check program. The stand-in reaches the device
# through npm's @serialport/bindings-cpp (a prebuilt linux-x64 binding, nothing compiled), installed once
# into build-web/node. Ends with the checks' "N of M failed"; the exit code is N.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x build/bin/brae-indicator-sim ]; then
  echo "build/bin/brae-indicator-sim is missing: cmake --preset release && cmake --build build -j2" >&2
  exit 2
fi
cmake --preset web >/dev/null
cmake --build --preset web -j2 --target web-serial-check >/dev/null
modules=$PWD/build-web/node/node_modules
if [ ! -d "$modules/@serialport/bindings-cpp" ]; then
  mkdir -p build-web/node
  npm install --prefix build-web/node --no-audit --no-fund --no-save @serialport/bindings-cpp@13.0.1 >/dev/null
fi
NODE_PATH=$modules node tests/web/run_serial_check.mjs build-web/bin/web-serial-check.js build/bin/brae-indicator-sim
