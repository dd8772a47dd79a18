#!/usr/bin/env bash
# The main job, with no hardware: a whole firmware update of a simulated indicator.
#  1. installs what is missing of what it needs, and builds the two programs it runs (the demo preset:
#     build-demo/, no tests);
#  2. makes a demo loader (S-records) and a demo firmware image;
#  3. builds a demo updater that carries both: brae-update /u Demo demo.bin /l demo.s19 -> Demo.exe;
#  4. starts the simulated indicator on a pseudo-terminal, linked as Com1 in a private port directory, paced
#     at the real line rate;
#  5. runs Demo.exe with no arguments (its embedded payloads) in the console presentation, showing progress;
#  6. compares the image the indicator received with demo.bin.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh --demo
cmake --preset demo >/dev/null
cmake --build --preset demo
bin=$root/build-demo/bin

work=$root/build-demo/demo
rm -rf "$work"
mkdir -p "$work/ports" "$work/logs"
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT
. scripts/demo-common.sh

echo
echo "== 1. Demo payloads =="
scripts/make-demo-payloads.sh "$work"

echo
echo "== 2. A demo updater that carries them: brae-update /u Demo demo.bin /l demo.s19 =="
(cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="$work/logs" "$bin/brae-update" /u Demo demo.bin /l demo.s19)
ls -l "$work/Demo.exe"

echo
echo "== 3. The simulated indicator on Com1 (BRAE_PORT_DIR=$work/ports), paced at the line rate =="
start_indicator "$bin/brae-indicator-sim" "$work/ports/com1"

echo
echo "== 4. Demo.exe with no arguments: the update from its embedded payloads =="
status=0
(cd "$work" && BRAE_PORT_DIR="$work/ports" BRAE_CONSOLE=1 BRAE_LOG_DIR="$work/logs" ./Demo.exe) || status=$?
demo_result "$status"
