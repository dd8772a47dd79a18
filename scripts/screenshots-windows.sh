#!/usr/bin/env bash
# Makes the pictures of the Windows window and dialog (windows-window.png, windows-dialog.png) and of the batch
# window with four ports (windows-batch.png) in docs/, or in
# the folder given as its argument (the test command checks them there), from
# the real program under Wine: the engine updates a simulated indicator from files while brae-update-shots.exe
# photographs the window during the firmware transfer and then the error dialog with code 1 (their client
# areas, as the pictures of the Qt window show them). Wine draws on a
# real X display here (xvfb-run, Wine's X11 driver), in a prefix of its own (build-windows/wine-shots): the
# test prefix uses the null graphics driver, which draws nothing. Its COM ports, like the tests', lead only
# to files of a folder of ours (build-windows/wine-shots-ports), never to a port of this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v xvfb-run >/dev/null; then
  echo "screenshots-windows.sh needs xvfb-run: apt-get install xvfb" >&2
  exit 1
fi
root=$PWD
out=$(realpath -m "${1:-docs}")
mkdir -p "$out"
build=$root/build-windows
cmake --preset windows >/dev/null
cmake --build --preset windows --target brae-update-shots brae_host_test_helpers

export WINEPREFIX=$build/wine-shots WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
ports=$build/wine-shots-ports
mkdir -p "$WINEPREFIX" "$ports"
if [ ! -f "$WINEPREFIX/.brae-ready" ]; then
  wine wineboot -i </dev/null >/dev/null 2>&1
  for n in $(seq 25); do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$ports/com$n" /f </dev/null >/dev/null 2>&1
  done
  # The registry reaches the disk, and the port links follow it, once the server has gone.
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.brae-ready"
fi

work=$(mktemp -d)
sim=
sims=()
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
# A firmware image large enough that the transfer is still running when its picture is taken.
head -c 120000 /dev/urandom >"$work/fw.bin"
printf 'S1130000000102030405060708090A0B0C0D0E0F74\r\nS9030000FC\r\n' >"$work/b.s19"
rm -f "$ports/com4"
"$build/host/brae-indicator-sim" --link "$ports/com4" --pace --quiet --timeout 180000 &
sim=$!
for _ in $(seq 100); do [ -L "$ports/com4" ] && break; sleep 0.05; done
# The test-only modem-line library lets Wine see bytes arrive on the pseudo-terminal (see
# tests/support/pty_modem.c); the server starts on the X display, so every Wine process draws there.
xvfb-run -a -s "-screen 0 1280x1024x24" env LD_PRELOAD="$build/host/libbrae-pty-modem.so" \
  BRAE_LOG_DIR="Z:$work/log" sh -c '
    wine "$1" "Z:$2" /i "Z:$3" "Z:$4"
    status=$?
    wineserver -k </dev/null >/dev/null 2>&1 || true
    exit $status' sh "$build/bin/brae-update-shots.exe" "$out" "$work/fw.bin" "$work/b.s19"

kill "$sim" 2>/dev/null || true
sim=

# The batch window: COM1 updating, COM2 without the space, COM3 of the wrong flash size (error 4), COM4 never
# answering.
for n in 1 2 3 4; do
  case $n in
    1) fault=() ;;
    2) fault=(--ft 9300) ;;
    3) fault=(--flash-size 1024) ;;
    4) fault=(--silent) ;;
  esac
  rm -f "$ports/com$n"
  "$build/host/brae-indicator-sim" --link "$ports/com$n" --pace --quiet --timeout 180000 "${fault[@]}" &
  sims+=($!)
done
for n in 1 2 3 4; do
  for _ in $(seq 100); do [ -L "$ports/com$n" ] && break; sleep 0.05; done
done
xvfb-run -a -s "-screen 0 1280x1024x24" env LD_PRELOAD="$build/host/libbrae-pty-modem.so" \
  BRAE_LOG_DIR="Z:$work/batch-log" sh -c '
    wine "$1" "Z:$2" /all /p COM1 /p COM2 /p COM3 /p COM4 /i "Z:$3" "Z:$4"
    status=$?
    wineserver -k </dev/null >/dev/null 2>&1 || true
    exit $status' sh "$build/bin/brae-update-shots.exe" "$out" "$work/fw.bin" "$work/b.s19"
