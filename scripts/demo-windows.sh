#!/usr/bin/env bash
# The main job with the Windows program, under Wine on this machine: a whole firmware update of the simulated
# indicator by brae-update.exe.
#  1. installs what is missing and cross-builds (the windows preset; it also builds the simulator for Linux);
#  2. makes a demo loader (S-records) and a demo firmware image;
#  3. the Windows program builds a copy that carries both: brae-update.exe /u Demo demo.bin /l demo.s19;
#  4. starts the simulated indicator on a pseudo-terminal linked as COM1 of the build's Wine prefix (its
#     ports are pinned to build-windows/wine-ports), paced at the real line rate;
#  5. runs Demo.exe with no arguments (its embedded payloads) in the console presentation (BRAE_CONSOLE=1);
#  6. compares the image the indicator received with demo.bin.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows

bin=$root/build-windows/bin
wine_run=$root/build-windows/wine-run
ports=$root/build-windows/wine-ports
work=$root/build-windows/demo
rm -rf "$work"
mkdir -p "$work/logs"
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT
. scripts/demo-common.sh
# The prefix and a lingering Wine server first, so that the program's output is all that shows below.
"$wine_run" --start
# Wine sees this machine's files under Z:.
winpath() { echo "Z:$1"; }

echo
echo "== 1. Demo payloads =="
scripts/make-demo-payloads.sh "$work"

echo
echo "== 2. A demo updater that carries them: brae-update.exe /u Demo demo.bin /l demo.s19 =="
(cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="$(winpath "$work/logs")" "$wine_run" "$bin/brae-update.exe" \
  /u Demo demo.bin /l demo.s19)
ls -l "$work/Demo.exe"

echo
echo "== 3. The simulated indicator on COM1 of the Wine prefix ($ports/com1), paced at the line rate =="
start_indicator build-windows/host/brae-indicator-sim "$ports/com1"

echo
echo "== 4. Demo.exe with no arguments: the update from its embedded payloads =="
status=0
(cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="$(winpath "$work/logs")" "$wine_run" ./Demo.exe) || status=$?
demo_result "$status"
