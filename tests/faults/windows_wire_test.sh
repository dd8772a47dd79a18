#!/usr/bin/env bash
# Writes are never cut short, under Wine (issue 20, item 1): brae-update.exe (console presentation) against the
# simulated indicator on COM1 of the test prefix, with the test library's UART model (BRAE_PTY_UART=1,
# tests/support/pty_modem.c): a write on the port completes only as a 16-byte FIFO at the line's rate lets its
# bytes go, so Wine's overlapped WriteFile stays pending for the line time, as on a built-in COM port (1000
# bytes: 260 ms at 38400, 1042 ms at 9600).
#  - a whole update at 38400 and one at 9600 (the /b path) arrive byte for byte, and the log says that nothing
#    was cut before the port closed (Wine does not cut a begun write on CancelIoEx, so the image alone would
#    not show a cut: the Win32 layer counts them);
#  - the indicator holds the loader with XOFF for 3 s, then XON: the loader arrives whole, uploaded once;
#  - Exit during a block's write at 9600 ends the program within a second, the log written.
# The model's limit: each wait for room in the FIFO is a sleep in Wine's process, so on a busy machine the
# loader's one-byte writes go slower than the line (a few hundred bytes a second); blocks keep their pace.
#   windows_wire_test.sh WINE_RUN UPDATE_EXE SIM MAKE_PAYLOADS PORT_DIR WORK_DIR
set -uo pipefail
export LC_ALL=C.UTF-8
wine_run=$1 update=$2 sim=$3 make_payloads=$4 ports=$5 work=$6
rm -rf "$work"
mkdir -p "$work/logs"
"$make_payloads" "$work" 5002 >/dev/null || exit 1
"$make_payloads" "$work/big" 49152 >/dev/null || exit 1
nothing_cut='Serial transfers cut short: 0 on a time-out, 0 by closing the port'
status=0
sim_pid=
stop_sim() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  sim_pid=
}
trap stop_sim EXIT

start_sim() {  # start_sim NAME OPTIONS...
  local name=$1
  shift
  rm -f "$work/received.bin"
  "$sim" --link "$ports/com1" --image-out "$work/received.bin" --exit-after-update --timeout 150000 \
    --transcript "$work/indicator-$name.txt" "$@" >"$work/sim-$name.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do [ -L "$ports/com1" ] && break; sleep 0.05; done
}

fail() {  # fail NAME WHY
  echo "$1: FAILED: $2"
  tail -20 "$work/update-$1.out"
  status=1
}

# update NAME LIMIT_S [expect-log TEXT]... -- ARGS...: one whole update that must confirm demo.bin exactly.
update() {
  local name=$1 limit=$2
  shift 2
  local expect=()
  while [ "$1" != -- ]; do expect+=("$1"); shift; done
  shift
  rm -f "$work/logs/"*
  local code=0 t0 t1
  t0=$(date +%s)
  (cd "$work" && BRAE_PTY_UART=1 BRAE_CONSOLE=1 BRAE_LOG_DIR="Z:$work/logs" timeout 180 "$wine_run" "$update" "$@" \
    >"$work/update-$name.out" 2>&1) || code=$?
  t1=$(date +%s)
  stop_sim
  local log="$work/logs/VeltronaUpdateBraeError.TXT"
  if [ "$code" -ne 0 ]; then fail "$name" "exit code $code"; return; fi
  if ! cmp -s "$work/demo.bin" "$work/received.bin"; then fail "$name" "the confirmed image differs"; return; fi
  local cut=${expect_cut:-$nothing_cut}
  if ! grep -qF "$cut" "$log"; then
    fail "$name" "the log lacks \"$cut\" ($(grep -a 'cut short' "$log" | tr -d '\r'))"
    return
  fi
  for line in "${expect[@]}"; do
    grep -qF "$line" "$log" || { fail "$name" "the log lacks \"$line\""; return; }
  done
  if [ $((t1 - t0)) -gt "$limit" ]; then fail "$name" "took $((t1 - t0)) s, more than $limit s"; return; fi
  echo "$name: the indicator confirmed demo.bin byte for byte, nothing cut ($((t1 - t0)) s)"
}

# A whole update at 38400: loader and blocks on the UART model, the indicator paced at the line rate.
start_sim uart38400 --pace
update uart38400 60 "at 38400 baud" -- /i demo.bin demo.s19

# The /b path: the indicator already in its boot loader, the image at 9600 (each block's write ~1 s).
start_sim uart9600 --pace --boot
update uart9600 60 "Sending U at 9600 baud" -- /i demo.bin demo.s19 /b

# The indicator holds the loader with XOFF for 3 s after 3000 bytes, then XON. Before the mend the bytes held
# were dropped after a second each: the loader was rejected and uploaded again 30 s later.
start_sim xoff --stuck-xoff 3000:3000
update xoff 40 "Actually send out s19 file size is  $(wc -c <"$work/demo.s19")" -- /i demo.bin demo.s19
transcript="$work/indicator-xoff.txt"
if ! grep -q "fault: XON sent" "$transcript" || grep -q -e "loader rejected" -e "bad record" "$transcript"; then
  echo "xoff: FAILED: the loader did not arrive whole after the XON"
  grep -a -e fault -e loader "$transcript" | head
  status=1
elif [ "$(grep -c "Actually send out s19" "$work/logs/VeltronaUpdateBraeError.TXT")" != 1 ]; then
  echo "xoff: FAILED: the loader was uploaded more than once"
  status=1
else
  echo "xoff: the loader held by XOFF for 3 s arrived whole, uploaded once"
fi

# COM1's device holds the line with XOFF before any indicator answered there; the indicator is on COM2. The
# held bytes are dropped after their time (counted as a time-out's cut), and the scan goes on to COM2.
"$sim" --link "$ports/com1" --silent --stuck-xoff 1 --timeout 150000 --transcript "$work/indicator-stuck.txt" \
  >"$work/sim-stuck.out" 2>&1 &
stuck_pid=$!
rm -f "$work/received.bin"
"$sim" --link "$ports/com2" --image-out "$work/received.bin" --exit-after-update --timeout 150000 \
  --transcript "$work/indicator-held.txt" >"$work/sim-held.out" 2>&1 &
sim_pid=$!
for _ in $(seq 200); do [ -L "$ports/com1" ] && [ -L "$ports/com2" ] && break; sleep 0.05; done
expect_cut=" on a time-out, 0 by closing the port"  # each command held there, dropped
update held 90 "holds the line (XOFF) and no indicator has answered there" -- /p COM1 /p COM2 /i demo.bin demo.s19
expect_cut=
kill "$stuck_pid" 2>/dev/null && wait "$stuck_pid" 2>/dev/null

# Exit while a block's write is pending at 9600: the window's close (taskkill without /f posts WM_CLOSE, as
# the Exit button and the close box end the program; Wine gives no Ctrl-C to a program without a console)
# ends the program within a second, the log written.
# A copy of its own name, so that its process ID is found without doubt.
rm -f "$work/logs/"*
cp "$update" "$work/wire-exit.exe"
start_sim exit --pace --boot
(cd "$work" && BRAE_PTY_UART=1 BRAE_CONSOLE= BRAE_LOG_DIR="Z:$work/logs" exec "$wine_run" "$work/wire-exit.exe" \
  /i big/demo.bin big/demo.s19 /b >"$work/update-exit.out" 2>&1) &
exe_pid=$!
transcript="$work/indicator-exit.txt"
for _ in $(seq 600); do grep -q -- "-> W" "$transcript" 2>/dev/null && break; sleep 0.05; done
sleep 2.5  # inside the image's third block, whose write takes a second at 9600
# The close goes to the process this test started, by its Windows process ID (the copy's name is its own).
win_pid=$("$wine_run" wmic process get name,processid 2>/dev/null | iconv -f UTF-16 -t UTF-8 |
  awk '$1 == "wire-exit.exe" { print $2; exit }')
if [ -n "$win_pid" ]; then
  "$wine_run" taskkill /pid "$win_pid" >"$work/taskkill.out" 2>&1
else
  echo "no Windows process ID for wire-exit.exe" >"$work/taskkill.out"
fi
t0=$(date +%s%N)
ended=
for _ in $(seq 150); do
  if ! kill -0 "$exe_pid" 2>/dev/null; then ended=$(date +%s%N); break; fi
  sleep 0.02
done
code=0
if [ -n "$ended" ]; then wait "$exe_pid" || code=$?; else kill -KILL "$exe_pid" 2>/dev/null; wait "$exe_pid" 2>/dev/null; fi
stop_sim
blocks=$(grep -c "block .* -> Z" "$transcript")
# The program's own end is its log file, written last: within a second of the close on Windows, whose
# close cuts the pending write. Wine does not stop a begun write, so here the close may also wait out the
# rest of the block on the line model (1000 bytes: 1042 ms at 9600): the bound is a second past that.
# Wine's teardown of the process comes after the log and varies with load: the process gets the loop's 3 s.
exit_log="$work/logs/VeltronaUpdateBraeError.TXT"
logged=$(date -r "$exit_log" +%s%N 2>/dev/null || echo 0)
if [ -z "$ended" ]; then
  fail exit "still running 3 s after Exit ($(cat "$work/taskkill.out"))"
elif [ "$blocks" -lt 1 ] || [ "$blocks" -ge 49 ] || [ ! -s "$exit_log" ]; then
  fail exit "not in the image when stopped ($blocks blocks), or no log written (exit code $code)"
elif [ $(((logged - t0) / 1000000)) -gt $((1042 + 1000)) ]; then
  fail exit "wrote its log $(((logged - t0) / 1000000)) ms after Exit, more than a block's line time and 1 s"
else
  echo "exit: Exit during a block's write: log written $(((logged - t0) / 1000000)) ms after it, process" \
    "gone after $(((ended - t0) / 1000000)) ms (exit code $code)"
fi
exit $status
