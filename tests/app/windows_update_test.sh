#!/usr/bin/env bash
# Whole updates by brae-update.exe (its console presentation, BRAE_CONSOLE=1) under Wine against the
# simulated indicator on COM1 of the test prefix: from payload files, and from a built Demo.exe with no
# arguments. Each time the image the indicator confirmed must be the firmware file byte for byte, and the
# diagnostic log must be written.
#   windows_update_test.sh WINE_RUN UPDATE_EXE SIM MAKE_PAYLOADS PORT_DIR WORK_DIR
set -uo pipefail
wine_run=$1 update=$2 sim=$3 make_payloads=$4 ports=$5 work=$6
rm -rf "$work"
mkdir -p "$work/logs"
"$make_payloads" "$work" >/dev/null || exit 1
status=0
sim_pid=
stop_sim() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  sim_pid=
}
trap stop_sim EXIT

# update NAME ARGS...: one run of brae-update.exe (or a copy) against a fresh simulated indicator.
update() {
  local name=$1
  shift
  rm -f "$work/received.bin" "$work/logs/"*
  "$sim" --link "$ports/com1" --image-out "$work/received.bin" --exit-after-update \
    --transcript "$work/indicator-$name.txt" >"$work/sim-$name.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do [ -L "$ports/com1" ] && break; sleep 0.05; done
  local code=0
  (cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="Z:$work/logs" timeout 180 "$wine_run" "$@" >"$work/update-$name.out" 2>&1) ||
    code=$?
  stop_sim
  if [ "$code" -ne 0 ] || ! cmp -s "$work/demo.bin" "$work/received.bin" ||
    [ ! -s "$work/logs/VeltronaUpdateBraeError.TXT" ]; then
    echo "$name: FAILED (exit code $code)"
    tail -20 "$work/update-$name.out"
    status=1
  else
    echo "$name: the indicator confirmed demo.bin byte for byte ($(wc -c <"$work/received.bin") bytes)"
  fi
}

update files "$update" /i demo.bin demo.s19
# A copy carrying both payloads, built by the Windows program itself, needs no files beside it.
(cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="Z:$work/logs" "$wine_run" "$update" /u Demo demo.bin /l demo.s19 \
  >"$work/build.out" 2>&1) || { echo "building Demo.exe failed"; cat "$work/build.out"; exit 1; }
mkdir -p "$work/copy" && mv "$work/Demo.exe" "$work/copy/"
update copy "$work/copy/Demo.exe"
exit $status
