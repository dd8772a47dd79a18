#!/usr/bin/env bash
# Whole updates by brae-update.exe (its console presentation, BRAE_CONSOLE=1) under Wine against the
# simulated indicator on COM1 of the test prefix: from payload files, from a built Demo.exe with no
# arguments (and that copy with one bit of its firmware flipped, which must refuse), with the indicator's line
# pulled in the middle of the firmware and plugged in again, and from files, a copy and a log folder whose names
# hold letters of several scripts. Each time the image the
# indicator confirmed must be the firmware file byte for byte, and the diagnostic log must be written. First,
# --help and --version must answer without touching the indicator. With /p COM37 the update goes to the
# indicator on COM37 and no other port is tried. With /p rfc2217://127.0.0.1:PORT it reaches the indicator through
# a real ser2net on the Linux side, which sets the indicator's line to the rates the program asks for.
#   windows_update_test.sh WINE_RUN UPDATE_EXE SIM MAKE_PAYLOADS PORT_DIR WORK_DIR
set -uo pipefail
# Wine reads arguments and file names in the locale's character set: UTF-8, whatever the caller's locale.
export LC_ALL=C.UTF-8
wine_run=$1 update=$2 sim=$3 make_payloads=$4 ports=$5 work=$6
rm -rf "$work"
mkdir -p "$work/logs"
"$make_payloads" "$work" >/dev/null || exit 1
status=0
sim_pid=
watch_pid=
stop_sim() {
  [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null && wait "$watch_pid" 2>/dev/null
  watch_pid=
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  sim_pid=
}
trap stop_sim EXIT

# watch_link LINK: prints "gone" and "back" as the link disappears and reappears (Wine's COM1 leads there).
watch_link() {
  local was=1 now
  while :; do
    now=0
    [ -L "$1" ] && now=1
    if [ "$now" != "$was" ]; then
      if [ "$now" = 1 ]; then echo back; else echo gone; fi
      was=$now
    fi
    sleep 0.1
  done
}

# Options for the next simulated indicator (faults), and what its run must have logged besides.
sim_options=()
expect_log=()
expect_link=
log_dir=
# The port the indicator is on, and what its run's log must not hold.
sim_port=com1
forbid_log=()
# A folder for a device server in front of the indicator's line; "@URL@" in the arguments becomes its URL.
serve_dir=
ser2net_fixture=$(dirname "$0")/../serial/ser2net_fixture.sh

# update NAME ARGS...: one run of brae-update.exe (or a copy) against a fresh simulated indicator.
update() {
  local name=$1
  shift
  local logs=${log_dir:-$work/logs}
  mkdir -p "$logs"
  rm -rf "$work/received.bin" "$logs/"*
  "$sim" --link "$ports/$sim_port" --image-out "$work/received.bin" --exit-after-update \
    --transcript "$work/indicator-$name.txt" "${sim_options[@]}" >"$work/sim-$name.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do [ -L "$ports/$sim_port" ] && break; sleep 0.05; done
  watch_link "$ports/$sim_port" >"$work/link-$name.txt" &
  watch_pid=$!
  local code=0 args=("$@")
  if [ -n "$serve_dir" ]; then
    mkdir -p "$serve_dir"
    "$ser2net_fixture" start "$serve_dir" "$(readlink -f "$ports/$sim_port")" || code=1
    args=("${args[@]//@URL@/rfc2217://127.0.0.1:$(cat "$serve_dir/ser2net.port" 2>/dev/null)}")
  fi
  [ "$code" -eq 0 ] &&
    { (cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="Z:$logs" timeout 180 "$wine_run" "${args[@]}" >"$work/update-$name.out" 2>&1) ||
      code=$?; }
  [ -n "$serve_dir" ] && "$ser2net_fixture" stop "$serve_dir"
  stop_sim
  local log="$logs/VeltronaUpdateBraeError.TXT" missing=
  for line in "${expect_log[@]}"; do
    grep -qF "$line" "$log" 2>/dev/null || missing="$missing
  the log lacks \"$line\""
  done
  for line in "${forbid_log[@]}"; do
    grep -qF "$line" "$log" 2>/dev/null && missing="$missing
  the log holds \"$line\""
  done
  # The link was away and came back while the update ran.
  if [ -n "$expect_link" ] && [ "$(head -2 "$work/link-$name.txt" | tr '\n' ' ')" != "gone back " ]; then
    missing="$missing
  the link under the port folder did not go and come back ($(tr '\n' ' ' <"$work/link-$name.txt"))"
  fi
  if [ "$code" -ne 0 ] || ! cmp -s "$work/demo.bin" "$work/received.bin" || [ ! -s "$log" ] || [ -n "$missing" ]; then
    echo "$name: FAILED (exit code $code)$missing"
    tail -20 "$work/update-$name.out"
    status=1
  else
    echo "$name: the indicator confirmed demo.bin byte for byte ($(wc -c <"$work/received.bin") bytes)"
  fi
  sim_options=()
  expect_log=()
  expect_link=
  log_dir=
  sim_port=com1
  forbid_log=()
  serve_dir=
}

# --help, -h, /? and --version answer at once, exit 0, in the window and the console presentation, and touch
# no port and no log: the indicator on COM1 hears nothing, not even an open.
"$sim" --link "$ports/com1" --transcript "$work/indicator-info.txt" >"$work/sim-info.out" 2>&1 &
sim_pid=$!
for _ in $(seq 200); do [ -L "$ports/com1" ] && break; sleep 0.05; done
for console in "" 1; do
  for arg in --help -h '/?' --version; do
    code=0
    answer=$(cd "$work" && BRAE_CONSOLE=$console BRAE_LOG_DIR="Z:$work/logs" timeout 60 "$wine_run" "$update" "$arg" \
      2>&1 | tr -d '\r') || code=$?
    expected='^Usage: brae-update\.exe \[options\]$'
    [ "$arg" = --version ] && expected='^brae-update [0-9.]+ \(ver[0-9.]+[a-z]\)$'
    first=$(printf '%s\n' "$answer" | head -1)
    if [ "$code" -ne 0 ] || ! [[ $first =~ $expected ]] ||
      { [ "$arg" != --version ] && ! grep -qF -- '--help, -h, /?' <<<"$answer"; }; then
      echo "info '$arg' (BRAE_CONSOLE=$console): FAILED (exit code $code)"
      printf '%s\n' "$answer" | head -5
      status=1
    fi
  done
done
# Started from a command prompt in a terminal (no redirection): the text reaches that console.
win_update="Z:${update//\//\\}"
answer=$(cd "$work" && BRAE_LOG_DIR="Z:$work/logs" timeout 60 script -qec \
  "$(printf '%q cmd /c %q --version' "$wine_run" "$win_update")" /dev/null 2>&1 | tr -d '\r')
if ! grep -qE 'brae-update [0-9.]+ \(ver[0-9.]+[a-z]\)' <<<"$answer"; then
  echo "info --version in a console: FAILED"
  printf '%s\n' "$answer" | head -5
  status=1
fi
stop_sim
if [ "$(grep -vc -e ' line at ' -e ' stopped by ' "$work/indicator-info.txt")" != 0 ] || [ -n "$(ls -A "$work/logs")" ]; then
  echo "info: FAILED, the indicator heard something or a log was written"
  cat "$work/indicator-info.txt"
  ls -A "$work/logs"
  status=1
else
  echo "info: --help, -h, /? and --version answered in both presentations and in a console; the indicator heard nothing"
fi

update files "$update" /i demo.bin demo.s19
# /p: the port as named, in both spellings; nothing else is tried.
for spelling in COM37 '\\.\com37'; do
  sim_port=com37
  expect_log=("Sending {ZA1} at 9600 baud rate on COM37. Timeout set to 1000")
  forbid_log=("Can not open" "on COM1.")
  update "named-${spelling//[^A-Za-z0-9]/}" "$update" /p "$spelling" /i demo.bin demo.s19
done
# Behind a device server, named by its URL alone: the rate goes up to 38400 through it.
if [ -x /usr/sbin/ser2net ]; then
  sim_port=remote
  serve_dir=$work/ser2net
  expect_log=("at 38400 baud rate on rfc2217://127.0.0.1:")
  forbid_log=("Can not open")
  update remote "$update" /p @URL@ /i demo.bin demo.s19
else
  echo "remote: skipped, ser2net is not installed (scripts/setup.sh installs it)"
fi
# A copy carrying both payloads, built by the Windows program itself, needs no files beside it.
(cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="Z:$work/logs" "$wine_run" "$update" /u Demo demo.bin /l demo.s19 \
  >"$work/build.out" 2>&1) || { echo "building Demo.exe failed"; cat "$work/build.out"; exit 1; }
mkdir -p "$work/copy" && mv "$work/Demo.exe" "$work/copy/"
update copy "$work/copy/Demo.exe"

# Signing: the program signed with a certificate made here; a copy built from it comes unsigned (not with its
# parent's signature, broken), and once signed itself it verifies and updates like any copy.
sign=$(dirname "$0")/../../scripts/sign-windows.sh
if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
  mkdir -p "$work/signed"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/signed/key.pem" -out "$work/signed/cert.pem" -days 2 \
    -subj "/CN=brae-update test signer" -addext extendedKeyUsage=codeSigning >/dev/null 2>&1
  cp "$update" "$work/signed/brae-update.exe"
  "$sign" "$work/signed/cert.pem" "$work/signed/key.pem" "$work/signed/brae-update.exe" >/dev/null ||
    { echo "signed: FAILED to sign the program"; status=1; }
  (cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="Z:$work/logs" "$wine_run" "$work/signed/brae-update.exe" \
    /u 'signed\Field' demo.bin /l demo.s19 >"$work/build-signed.out" 2>&1) || { echo "signed: FAILED to build"; status=1; }
  unsigned=$(osslsigncode verify -CAfile "$work/signed/cert.pem" -in "$work/signed/Field.exe" 2>&1)
  if ! grep -q "No signature found" <<<"$unsigned" || grep -qi "mismatch" <<<"$unsigned"; then
    echo "signed: FAILED, the copy is not plainly unsigned:"
    echo "$unsigned"
    status=1
  elif ! "$sign" "$work/signed/cert.pem" "$work/signed/key.pem" "$work/signed/Field.exe" >/dev/null; then
    echo "signed: FAILED to sign the copy"
    status=1
  else
    echo "signed: a copy of the signed program comes unsigned, and signed it verifies"
    update signed-copy "$work/signed/Field.exe"
  fi
else
  echo "signed: skipped, osslsigncode or openssl is not installed (scripts/setup.sh installs them)"
fi

# One flipped bit in the copy's firmware: the copy refuses with both digests, exit code 2, before it opens a
# port; the indicator hears nothing. The loader buffer begins at the first byte where the copy differs from the
# program it was built from, past the headers (whose checksum differs too); the firmware buffer follows it.
first_difference=$(cmp -l "$update" "$work/copy/Demo.exe" | awk '$1 > 4096 { print $1; exit }')
firmware_at=$((first_difference - 1 + 64000))
cp "$work/copy/Demo.exe" "$work/copy/Damaged.exe"
byte=$(od -An -tu1 -j $((firmware_at + 1000)) -N1 "$work/copy/Damaged.exe" | tr -d ' ')
printf "\\$(printf %03o $((byte ^ 4)))" | dd of="$work/copy/Damaged.exe" bs=1 seek=$((firmware_at + 1000)) conv=notrunc 2>/dev/null
"$sim" --link "$ports/com1" --transcript "$work/indicator-damaged.txt" >"$work/sim-damaged.out" 2>&1 &
sim_pid=$!
for _ in $(seq 200); do [ -L "$ports/com1" ] && break; sleep 0.05; done
rm -rf "$work/logs/"*
code=0
(cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="Z:$work/logs" timeout 60 "$wine_run" "$work/copy/Damaged.exe" \
  >"$work/update-damaged.out" 2>&1) || code=$?
stop_sim
expected_digest=$(sha256sum <"$work/demo.bin" | cut -c1-64)
if [ "$code" -ne 2 ] || ! tr -d '\r' <"$work/update-damaged.out" | grep -qx "Expected: $expected_digest" ||
  ! grep -qF "this copy is damaged; build or download it again." "$work/update-damaged.out" ||
  ! grep -qF "this copy is damaged; build or download it again." "$work/logs/VeltronaUpdateBraeError.TXT" ||
  [ "$(grep -vc -e ' line at ' -e ' stopped by ' "$work/indicator-damaged.txt")" != 0 ]; then
  echo "damaged: FAILED (exit code $code)"
  head -8 "$work/update-damaged.out"
  cat "$work/indicator-damaged.txt"
  status=1
else
  echo "damaged: a copy with one flipped bit in its firmware refused, exit code 2; the indicator heard nothing"
fi

# The line goes (a pulled cable) some 20000 bytes into the firmware, after the loader's text, and comes back
# as a new pseudo-terminal at the same link 1.5 s later: the program opens COM1 again and finishes.
loader_bytes=$(wc -c <"$work/demo.s19")
sim_options=(--vanish-after "$((loader_bytes + 20000)):1500")
expect_log=("Com1 has gone away" "Com1 is back after ")
expect_link=1
update unplugged "$update" /i demo.bin demo.s19
if ! grep -q "fault: line gone" "$work/indicator-unplugged.txt" 2>/dev/null; then
  echo "unplugged: FAILED (the line never went)"
  status=1
fi

# Letters outside any one code page in every path: the payload files, the folder a copy is built into, the
# copy's own name and the log folder, each given as a Windows path.
odd="$work/Prüfung λ"
mkdir -p "$odd"
cp "$work/demo.bin" "$odd/fw ü λ.bin"
cp "$work/demo.s19" "$odd/ld ü λ.s19"
win_odd="Z:${odd//\//\\}"
log_dir="$work/Lögs λ"
update unicode "$update" /i "$win_odd\\fw ü λ.bin" "$win_odd\\ld ü λ.s19"
(cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="Z:$work/logs" "$wine_run" "$update" /u "$win_odd\\Cöpy λ" \
  "$win_odd\\fw ü λ.bin" /l "$win_odd\\ld ü λ.s19" >"$work/build-unicode.out" 2>&1) ||
  { echo "building Cöpy λ.exe failed"; cat "$work/build-unicode.out"; exit 1; }
log_dir="$work/Lögs λ"
update unicode-copy "$odd/Cöpy λ.exe"
# The copy builds from its own file, found under its own name.
if ! (cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="Z:$work/logs" "$wine_run" "$odd/Cöpy λ.exe" /u "$win_odd\\Zwei λ" \
  "$win_odd\\fw ü λ.bin" >"$work/build-unicode-2.out" 2>&1) || [ ! -s "$odd/Zwei λ.exe" ]; then
  echo "building Zwei λ.exe from Cöpy λ.exe failed"
  cat "$work/build-unicode-2.out"
  status=1
fi

# /all: three indicators on COM1-COM3 at once, and COM4 with none behind it; each confirms demo.bin byte for
# byte, each port has its log file, and the summary names the three.
batch_pids=()
for n in 1 2 3; do
  "$sim" --link "$ports/com$n" --image-out "$work/batch-$n.bin" --exit-after-update \
    --transcript "$work/indicator-batch-$n.txt" >"$work/sim-batch-$n.out" 2>&1 &
  batch_pids+=($!)
done
for n in 1 2 3; do
  for _ in $(seq 200); do [ -L "$ports/com$n" ] && break; sleep 0.05; done
done
rm -rf "$work/batch-logs" && mkdir -p "$work/batch-logs"
code=0
(cd "$work" && BRAE_CONSOLE=1 BRAE_LOG_DIR="Z:$work/batch-logs" timeout 180 "$wine_run" "$update" /all \
  /p COM1 /p COM2 /p COM3 /p COM4 /i demo.bin demo.s19 >"$work/update-batch.out" 2>&1) || code=$?
for pid in "${batch_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
missing=
for n in 1 2 3; do
  cmp -s "$work/demo.bin" "$work/batch-$n.bin" || missing="$missing COM$n-image"
  [ -s "$work/batch-logs/VeltronaUpdateBraeError.COM$n.TXT" ] || missing="$missing COM$n-log"
done
# COM4 leads nowhere: skipped, which leaves the batch's exit code at 0.
if [ "$code" -ne 0 ] || [ -n "$missing" ] || ! tr -d '\r' <"$work/update-batch.out" | grep -qx '  Updated: COM1 COM2 COM3'; then
  echo "batch: FAILED (exit code $code;$missing)"
  tail -20 "$work/update-batch.out"
  status=1
else
  echo "batch: three indicators on COM1-COM3 confirmed demo.bin byte for byte at once, COM4 skipped"
fi
exit $status
