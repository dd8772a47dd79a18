#!/usr/bin/env bash
# Makes the pictures in docs/ from the real window and dialog: the engine updates a simulated indicator from
# files while brae-update-shots photographs the window during the firmware transfer, with the diagnostic log
# open, and the error dialog with codes 1 and 2; with nothing plugged in, the window and error 3; then the
# batch window (/all) with four ports: one updating, one without the space, one of the wrong flash size
# (error 4) and one that never answers. Renders offscreen; no display needed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if [ "$build" = build ]; then
  cmake --preset release >/dev/null
else
  cmake -S . -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target brae-update-shots brae-indicator-sim
work=$(mktemp -d)
sims=()
# The batch's ports in a folder of a fixed name: the picture shows their paths.
batch_ports=${TMPDIR:-/tmp}/brae-batch-ports
trap 'kill "$sim" "${sims[@]}" 2>/dev/null || true; rm -rf "$work" "$batch_ports"' EXIT
mkdir "$work/ports"
# A firmware image large enough that the transfer is still running when its picture is taken.
head -c 120000 /dev/urandom >"$work/fw.bin"
printf 'S1130000000102030405060708090A0B0C0D0E0F74\r\nS9030000FC\r\n' >"$work/b.s19"
"$build/bin/brae-indicator-sim" --link "$work/ports/com4" --pace --quiet --timeout 180000 &
sim=$!
while [ ! -L "$work/ports/com4" ]; do sleep 0.05; done
BRAE_PORT_DIR="$work/ports" BRAE_LOG_DIR="$work/log" QT_QPA_PLATFORM=offscreen \
  "$build/bin/brae-update-shots" docs /i "$work/fw.bin" "$work/b.s19" 2> >(grep -v 'plugin does not support' >&2)

# Nothing plugged in: no port at all, the window and error 3.
mkdir "$work/none"
BRAE_PORT_DIR="$work/none" BRAE_LOG_DIR="$work/none-log" QT_QPA_PLATFORM=offscreen \
  "$build/bin/brae-update-shots" docs /i "$work/fw.bin" "$work/b.s19" 2> >(grep -v 'plugin does not support' >&2)

rm -rf "$batch_ports"
mkdir "$batch_ports"
for n in 1 2 3 4; do
  case $n in
    1) fault=() ;;
    2) fault=(--ft 9300) ;;
    3) fault=(--flash-size 1024) ;;
    4) fault=(--silent) ;;
  esac
  "$build/bin/brae-indicator-sim" --link "$batch_ports/com$n" --pace --quiet --timeout 180000 "${fault[@]}" &
  sims+=($!)
done
for n in 1 2 3 4; do
  while [ ! -L "$batch_ports/com$n" ]; do sleep 0.05; done
done
BRAE_PORT_DIR="$batch_ports" BRAE_LOG_DIR="$work/batch-log" QT_QPA_PLATFORM=offscreen \
  "$build/bin/brae-update-shots" docs /all /p Com1 /p Com2 /p Com3 /p Com4 /i "$work/fw.bin" "$work/b.s19" \
  2> >(grep -v 'plugin does not support' >&2)
