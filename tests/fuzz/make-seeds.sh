#!/usr/bin/env bash
# Writes the fuzz targets' seed corpora (tests/fuzz/seeds/<program>/), each in its target's input format, from
# real inputs: the simulated indicator's replies, real command lines, the demo payloads, edits of the
# locator's well-formed executable, and a device server's telnet greeting and com-port answers. The seeds are
# kept in the tree; run this again only when a target's input format changes.
set -euo pipefail
cd "$(dirname "$0")"
rm -rf seeds
mkdir -p seeds/fuzz_parse_reply seeds/fuzz_command_line seeds/fuzz_payload_locator seeds/fuzz_payload_sizes \
  seeds/fuzz_telnet

# fuzz_parse_reply: a state byte (the engine's TUpdateState), then chunks of a length byte and the bytes, as
# the simulated indicator answers in that state (its default configuration).
reply() {  # NAME STATE CHUNK...
  local name=$1 state=$2
  shift 2
  {
    printf "\\x$(printf %02x "$state")"
    for chunk in "$@"; do
      printf "\\x$(printf %02x "${#chunk}")%s" "$chunk"
    done
  } >"seeds/fuzz_parse_reply/$name"
}
reply za96-ack 1 '^'
reply check-flash 3 '[512]'
reply scp-version 4 '[0]'
reply version 5 '[1.20]' '[1.07]'
reply heap 7 '[424000]'
reply heap-fd 7 '[FD]'
reply send-u 8 'T'
reply sebx-ack 13 '^'
reply erase-done 16 'V'
reply ft 17 '[1200]'
reply ft-too-big 18 '[9251]'
reply size-accepted 20 'W'
reply blocks 21 'Z' 'Z' 'Z'
reply block-then-q 21 'Q'
reply image-complete 22 'X'
reply crc-accepted 23 'Y'
reply upload 25 'B' 'D'
reply loader-accepted 26 'Q'
reply check-port 28 '[0]'
reply echo-and-answer 5 '{VC}[1.20]'

# fuzz_command_line: the arguments, argument 0 first, separated by NUL bytes.
line() {  # NAME ARG...
  local name=$1
  shift
  local first=1
  for arg in "$@"; do
    [ "$first" = 1 ] || printf '\0'
    printf %s "$arg"
    first=0
  done >"seeds/fuzz_command_line/$name"
}
line none brae-update
line firmware brae-update /i b.bin
line both brae-update /i b.bin b.s19
line build brae-update /u Name b.bin /l b.s19
line loader-copy brae-update /l b.s19
line boot-loader brae-update /b /i b.bin b.s19
line exit-after 'C:\brae-update.exe' '\I' b.bin /X
line ports brae-update /p COM37 --port /dev/ttyUSB0 /i b.bin
line remote brae-update /p rfc2217://scale-7.plant:2001 /i fw.bin ld.s19
line help brae-update --help
line help-windows brae-update.exe '/?'
line version brae-update --version

# fuzz_payload_locator: a flag byte (bit 0: cut the file at the little-endian length that follows), then
# (offset low, offset high, value) edits of the target's well-formed 64-bit executable's first 4096 bytes.
printf '\x00' >seeds/fuzz_payload_locator/well-formed
printf '\x01\x64\x10\x00\x00' >seeds/fuzz_payload_locator/cut-in-payload
printf '\x01\xc0\x08\x00\x00' >seeds/fuzz_payload_locator/cut-in-section-table
printf '\x00\x3c\x00\x09' >seeds/fuzz_payload_locator/more-sections-than-there-are
printf '\x00\x3e\x00\x07' >seeds/fuzz_payload_locator/name-table-out-of-range
printf '\x00\x29\x00\xff' >seeds/fuzz_payload_locator/section-table-far-away
printf '\x00\xc0\x08\x07' >seeds/fuzz_payload_locator/payload-section-misnamed
printf '\x00\xd9\x08\x20' >seeds/fuzz_payload_locator/payload-section-moved

# fuzz_payload_sizes: a control byte (bit 0: firmware and loader files), the firmware's length (2 bytes,
# little-endian), the firmware, the loader: the demo's firmware head with its 0xFF tail, and loader records.
fw=$(mktemp)
trap 'rm -f "$fw"' EXIT
for i in $(seq 0 95); do printf "\\x$(printf %02x $((i * 37 % 251)))"; done >"$fw"
printf '\xff\xff\xff\xff\xff\xff\xff\xff' >>"$fw"
loader='S1130000000102030405060708090A0B0C0D0E0F74\r\nS9030000FC\r\n'
{ printf '\x00\x68\x00'; cat "$fw"; } >seeds/fuzz_payload_sizes/firmware-file
{ printf '\x01\x68\x00'; cat "$fw"; printf "$loader"; } >seeds/fuzz_payload_sizes/both-files
{ printf '\x01\x04\x00\x55\x55\x55\x55'; printf "$loader"; } >seeds/fuzz_payload_sizes/empty-buffer-marker
{ printf '\x00\x08\x00'; printf '\xff%.0s' 1 2 3 4 5 6 7 8; } >seeds/fuzz_payload_sizes/all-erased

# fuzz_telnet: a byte that cuts the stream into reads, then what a device server sends: its greeting, the
# com-port option's answers, and line data with a doubled 0xFF.
printf '\x07\xff\xfb\x03\xff\xfb\x01\xff\xfd\x00\xff\xfb\x00\xff\xfd\x2c' >seeds/fuzz_telnet/greeting
printf '\x03\xff\xfa\x2c\x65\x00\x00\x96\x00\xff\xf0\xff\xfa\x2c\x66\x08\xff\xf0\xff\xfa\x2c\x67\x01\xff\xf0' \
  >seeds/fuzz_telnet/settings-answered
printf '\x05\xff\xfa\x2c\x69\x02\xff\xf0\xff\xfa\x2c\x6b\x20\xff\xf0' >seeds/fuzz_telnet/control-and-modem-state
printf '\x0bT^[512]\xff\xffZZ\xa5\xff\xff\xff\xf1W' >seeds/fuzz_telnet/data-with-doubled-iac
printf '\x02\xff\xfa\x2c\x65\x00\x00' >seeds/fuzz_telnet/cut-subnegotiation
