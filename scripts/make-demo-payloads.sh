#!/usr/bin/env bash
# Makes a demo payload pair in DIR: demo.s19, a loader of valid S-records (S0 header, S1 data records of 32
# bytes, S9 end, every checksum right), and demo.bin, a firmware image of SIZE bytes (default 49152) whose last
# byte is not 0xFF, so the updater announces exactly SIZE bytes when SIZE is even and no multiple of 1000.
# Usage: scripts/make-demo-payloads.sh DIR [SIZE]
set -euo pipefail
dir=${1:?usage: make-demo-payloads.sh DIR [SIZE]}
size=${2:-49152}
mkdir -p "$dir"

awk -v records=128 'BEGIN {
  srand(7)
  # S0: the header record, its data an ASCII name.
  name = "brae demo loader"
  data = ""; sum = 0
  for (i = 1; i <= length(name); i++) { b = index(" abcdefghijklmnopqrstuvwxyz", substr(name, i, 1)); b = (b == 1 ? 32 : b + 95); data = data sprintf("%02X", b); sum += b }
  count = length(name) + 3
  sum += count
  printf "S0%02X0000%s%02X\r\n", count, data, 255 - sum % 256
  for (r = 0; r < records; r++) {
    addr = r * 32
    line = ""; sum = 35 + int(addr / 256) + addr % 256
    for (i = 0; i < 32; i++) { b = int(rand() * 256); sum += b; line = line sprintf("%02X", b) }
    printf "S123%04X%s%02X\r\n", addr, line, 255 - sum % 256
  }
  printf "S9030000FC\r\n"
}' >"$dir/demo.s19"

head -c $((size - 1)) /dev/urandom >"$dir/demo.bin"
printf '\001' >>"$dir/demo.bin"
echo "made $dir/demo.s19 ($(wc -c <"$dir/demo.s19") bytes of S-records) and $dir/demo.bin ($size bytes)"
