#!/bin/bash
# The device server for the Windows build's remote-line tests under Wine: ser2net on the Linux side in front
# of a line of brae-pty-peer (which sends every byte back), on a free TCP port of 127.0.0.1 that it writes to
# DIR/ser2net.port for the tests.
#   ser2net_fixture.sh start DIR DEVICE   starts it in the background, returns once the port accepts
#   ser2net_fixture.sh stop DIR           ends the one started for DIR, by the PID it wrote
set -u
program=/usr/sbin/ser2net

stop() {
  local pidfile=$1/ser2net.pid pid
  pid=$(cat "$pidfile" 2>/dev/null) || return 0
  rm -f "$pidfile" "$1/ser2net.port"
  # Only the server this script started: a stale PID file may name another process by now.
  [ -n "$pid" ] && [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$program" ] || return 0
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq 40); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null
  return 0
}

# Whether something listens on 127.0.0.1:PORT, from the kernel's socket table: a trial connection would make
# the server open the line and refuse the next client for a moment.
listens() {
  local want
  want=$(printf '0100007F:%04X' "$1")
  awk -v want="$want" '$2 == want && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp
}

start() {
  local dir=$1 device=$2 port
  [ -x "$program" ] || { echo "ser2net is not installed (scripts/setup.sh installs it)" >&2; return 1; }
  stop "$dir"
  for _ in $(seq 100); do [ -e "$device" ] && break; sleep 0.05; done
  [ -e "$device" ] || { echo "no line at $device" >&2; return 1; }
  for _ in $(seq 10); do
    port=$((20000 + RANDOM % 30000))
    listens "$port" && continue
    printf 'connection: &line\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n  options:\n    chardelay: false\n' \
      "$port" "$device" >"$dir/ser2net.yaml"
    "$program" -u -P "$dir/ser2net.pid" -c "$dir/ser2net.yaml" >"$dir/ser2net.log" 2>&1
    for _ in $(seq 60); do
      if listens "$port"; then
        echo "$port" >"$dir/ser2net.port"
        return 0
      fi
      sleep 0.05
    done
    stop "$dir"
  done
  echo "ser2net did not start: $(cat "$dir/ser2net.log")" >&2
  return 1
}

case "${1:-}" in
  start) start "$2" "$3" ;;
  stop) stop "$2" ;;
  *) echo "usage: $0 start DIR DEVICE | stop DIR" >&2; exit 2 ;;
esac
