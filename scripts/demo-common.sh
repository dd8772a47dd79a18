# The steps both demos share (sourced by demo.sh and demo-windows.sh): the simulated indicator, and the
# result. Both use $work, the demo's folder, and $sim_pid, which their exit trap ends.

# start_indicator SIM LINK: the simulated indicator on a pseudo-terminal linked at LINK, paced at the line
# rate, keeping the image it confirms and its transcript in $work.
start_indicator() {
  rm -f "$2"
  "$1" --link "$2" --pace --image-out "$work/received.bin" --exit-after-update \
    --transcript "$work/indicator.txt" &
  sim_pid=$!
  for _ in $(seq 100); do [ -L "$2" ] && break; sleep 0.05; done
}

# demo_result STATUS: waits for the indicator, then says whether it confirmed demo.bin byte for byte.
demo_result() {
  wait "$sim_pid" || true
  sim_pid=
  echo
  echo "== 5. Result =="
  echo "updater exit code: $1 (diagnostic log: $work/logs/VeltronaUpdateBraeError.TXT)"
  echo "indicator transcript: $work/indicator.txt"
  if [ "$1" -eq 0 ] && cmp "$work/demo.bin" "$work/received.bin"; then
    echo "The indicator received demo.bin byte for byte ($(wc -c <"$work/received.bin") bytes) and confirmed it."
  else
    echo "The update did not complete."
    exit 1
  fi
}
