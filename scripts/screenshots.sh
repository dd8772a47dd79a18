#!/usr/bin/env bash
# Makes the pictures in docs/ from the real window and dialog: the engine updates a simulated indicator from
# files while brae-update-shots photographs the window during the firmware transfer, with the diagnostic log
# open, and the error dialog with codes 1 and 2. Renders offscreen; no display needed.
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
trap 'kill "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir "$work/ports"
# A firmware image large enough that the transfer is still running when its picture is taken.
head -c 120000 /dev/urandom >"$work/fw.bin"
printf 'S1130000000102030405060708090A0B0C0D0E0F74\r\nS9030000FC\r\n' >"$work/b.s19"
"$build/bin/brae-indicator-sim" --link "$work/ports/com4" --pace --quiet --timeout 180000 &
sim=$!
while [ ! -L "$work/ports/com4" ]; do sleep 0.05; done
BRAE_PORT_DIR="$work/ports" BRAE_LOG_DIR="$work/log" QT_QPA_PLATFORM=offscreen \
  "$build/bin/brae-update-shots" docs /i "$work/fw.bin" "$work/b.s19" 2> >(grep -v 'plugin does not support' >&2)
