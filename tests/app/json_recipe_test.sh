#!/usr/bin/env bash
# The script recipe of docs/usage.md, taken from the page as it stands and run by bash with jq against the
# simulated indicator: a whole update, and one the indicator refuses for want of space, whose message the
# recipe must print; each run keeps one copy of its log in the history folder.
#   json_recipe_test.sh UPDATE SIM USAGE_MD MAKE_PAYLOADS WORK
set -u
update=$1 sim=$2 page=$3 make_payloads=$4 work=$5 status=0
command -v jq >/dev/null || { echo "FAILED: jq is missing; scripts/setup.sh installs it"; exit 1; }
recipe=$(awk '/^Updating from a script/ { f = 1 } f && /^    / { print substr($0, 5); g = 1; next } g { exit }' "$page")
for case in "updated with fw.bin crc16=|--exit-after-update" "This indicator does not have enough space.|--ft 9251"; do
  said=${case%|*}
  rm -rf "$work" && mkdir -p "$work/ports" "$work/bin" && cd "$work" && "$make_payloads" . >/dev/null && mv demo.bin fw.bin
  # The recipe gives brae-update the firmware alone: a copy carrying the loader, first on PATH.
  (cd bin && BRAE_CONSOLE=1 BRAE_LOG_DIR="$work/build-log" "$update" /l ../demo.s19 >/dev/null) &&
    ln -s UpdateLoad.exe bin/brae-update || exit 1
  "$sim" --link ports/com4 --timeout 60000 ${case#*|} >sim.txt 2>&1 &
  for _ in $(seq 100); do [ -L ports/com4 ] && break; sleep 0.05; done
  code=0
  out=$(PATH="$work/bin:$PATH" BRAE_PORT_DIR="$work/ports" BRAE_LOG_DIR="$work/log" DISPLAY= WAYLAND_DISPLAY= \
    timeout 90 bash -c "$recipe" 2>&1) || code=$?
  kill $! 2>/dev/null; wait $! 2>/dev/null
  expected=$(tail -n 1 update.jsonl | jq .exit_code)
  if ! grep -qF "$said" <<<"$out" || [ "$code" != "$expected" ] || [[ $said == updated* && $code != 0 ]] ||
    [ "$(ls log/history | wc -l)" != 1 ] || ! cmp -s log/history/*.TXT log/VeltronaUpdateBraeError.TXT; then
    echo "FAILED: $said (exit code $code, the result's $expected): $out"
    ls -l log log/history
    status=1
  fi
done
exit $status
