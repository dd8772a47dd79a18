#!/usr/bin/env bash
# Runs the README's commands as a newcomer would: in a bare Debian 12 (debootstrap --variant=minbase bookworm,
# this machine's Debian apt sources), entered with chroot, on a clone of the current commit in /root/<name>, as
# root. Each case prints its own summary; the last line counts the cases: "fresh check: N passed, N failed".
#
#   scripts/fresh-check.sh [--name DIR] [--rebuild-base] [--clean-clone] [CASE...]
#
# CASE is one of the names given to add_case below (all of them, in order, when none is given). The base root
# is made once and kept in $BRAE_FRESH_CACHE (default /var/cache/brae-fresh-check), with the packages the
# cases download; every run works on a fresh copy of it, removed afterwards. Where no root can be made
# (not root, no debootstrap, no mounts or chroot allowed) or with --clean-clone, the cases run in a clean
# clone on this machine instead, and the check says so. Serial ports: the tests keep to BRAE_PORT_DIR.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
repo=$PWD

# ---- The cases: a name, the command run in the clone's top folder, and a pattern for its own summary line.
# A case passes when its command ends with 0 and printed its summary line.
# A case may also name a command that runs afterwards on this machine, outside the root (it then gives the
# summary line): for checks that need a root of their own, such as installing the package in a new one.
case_names=()
declare -A case_command case_summary case_host
add_case() {  # add_case NAME COMMAND SUMMARY-REGEX [HOST-COMMAND]
  case_names+=("$1")
  case_command[$1]=$2
  case_summary[$1]=$3
  case_host[$1]=${4:-}
}
add_case demo "scripts/demo.sh" '^The indicator received|^The update did not complete'
add_case test "scripts/test.sh" '^all builds: [0-9]+ passed, [0-9]+ failed'
# The Debian package, built twice in the bare root (in two folders: the two must be the same), then installed,
# used and removed in another new bare root.
add_case package "scripts/setup.sh && cmake --preset package >/dev/null && cmake --build --preset package && \
cmake --preset package -B build-package-again >/dev/null && cmake --build build-package-again --target package" \
  '^package check: (passed|FAILED)' \
  package_check
package_check() {  # the package from the root's clone ($clone), in a new copy of the base root
  local scratch=$cache/runs/package-root.$$ rc
  scripts/package-check.sh --base "$cache/$suite" --again "$clone"/build-package-again/brae-update_*_amd64.deb \
    "$scratch" "$clone"/build-package/brae-update_*_amd64.deb
  rc=$?
  grep -q " $scratch/" /proc/self/mounts || rm -rf --one-file-system "$scratch"
  return "$rc"
}

# ---- Options
name=brae
rebuild=0
fallback_reason=
selected=()
while (($#)); do
  case $1 in
    --name) name=$2; shift 2 ;;
    --rebuild-base) rebuild=1; shift ;;
    --clean-clone) fallback_reason="asked for with --clean-clone"; shift ;;
    -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *)
      [ -n "${case_command[$1]+set}" ] || { echo "fresh check: no case named $1 (${case_names[*]})" >&2; exit 2; }
      selected+=("$1"); shift ;;
  esac
done
((${#selected[@]})) || selected=("${case_names[@]}")
case $name in */* | . | .. | '') echo "fresh check: --name takes a plain folder name" >&2; exit 2 ;; esac

cache=${BRAE_FRESH_CACHE:-/var/cache/brae-fresh-check}
suite=bookworm
commit=$(git -C "$repo" rev-parse HEAD) || { echo "fresh check: $repo is no git clone" >&2; exit 2; }
[ -z "$(git -C "$repo" status --porcelain --untracked-files=no)" ] ||
  echo "fresh check: note: uncommitted changes are not checked, only commit ${commit:0:12}"

# ---- Clean-up on every way out: stop what runs in the root, unmount what was bound, remove the copy.
root=
clone_dir=
logs=
mounted=()
case_pid=
tail_pid=
cleanup() {
  trap - EXIT INT TERM
  if [ -n "$case_pid" ] && kill -0 "$case_pid" 2>/dev/null; then
    kill -TERM -- "-$case_pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$case_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$case_pid" 2>/dev/null
  fi
  [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null ||
      echo "fresh check: could not unmount ${mounted[i]}" >&2
  done
  if [ -n "$root" ] && [ -d "$root" ]; then
    # Never remove through a mount that is still there (the host's /dev, say).
    if grep -q " $root/" /proc/self/mounts; then
      echo "fresh check: $root still has mounts; left in place" >&2
    else
      rm -rf --one-file-system "$root"
    fi
  fi
  [ -n "$clone_dir" ] && rm -rf "$clone_dir"
  [ -n "$logs" ] && rm -rf "$logs"
}
trap cleanup EXIT
trap 'echo "fresh check: interrupted"; exit 130' INT
trap 'echo "fresh check: terminated"; exit 143' TERM

# ---- The bare root
# This machine's apt sources for Debian itself (others may need keys or transports a bare root lacks).
debian_sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && grep -v '^[[:space:]]*#' "$f" | grep -q 'debian' && echo "$f"
  done
}
debian_mirror() {
  local f uri
  for f in $(debian_sources); do
    uri=$(grep -v '^[[:space:]]*#' "$f" | grep -oE '(URIs:[[:space:]]*|deb[[:space:]]+(\[[^]]*\][[:space:]]+)?)[a-z]+://[^[:space:]]+/debian/?([[:space:]]|$)' |
      grep -oE '[a-z]+://[^[:space:]]+' | head -1)
    [ -n "$uri" ] && { echo "$uri"; return; }
  done
  echo "http://deb.debian.org/debian"
}
make_base() {
  local base=$cache/$suite
  if ((rebuild)) || [ ! -x "$base/bin/bash" ]; then
    if ! command -v debootstrap >/dev/null; then
      echo "fresh check: installing debootstrap on this machine"
      apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null ||
        return 1
    fi
    local mirror
    mirror=$(debian_mirror)
    echo "fresh check: making the bare $suite root in $base from $mirror (once)"
    rm -rf --one-file-system "$base.partial" "$base"
    mkdir -p "$cache"
    debootstrap --variant=minbase "$suite" "$base.partial" "$mirror" >"$cache/debootstrap.log" 2>&1 || {
      tail -5 "$cache/debootstrap.log"
      return 1
    }
    mv "$base.partial" "$base"
  fi
  # The machine's own Debian sources, as a newcomer's machine would have them.
  local f sources
  sources=$(debian_sources)
  if [ -n "$sources" ]; then
    rm -f "$base"/etc/apt/sources.list "$base"/etc/apt/sources.list.d/*
    for f in $sources; do cp "$f" "$base$f"; done
  fi
}
bind() {  # bind SOURCE TARGET-IN-ROOT [mount options...]
  local source=$1 target=$root$2
  shift 2
  mkdir -p "$target" && mount "$@" "$source" "$target" && mounted+=("$target")
}
enter_root() {
  [ "$(id -u)" -eq 0 ] || { fallback_reason="not root"; return 1; }
  make_base || { fallback_reason="debootstrap failed"; return 1; }
  mkdir -p "$cache/runs" "$cache/apt-archives/partial"
  root=$(mktemp -d "$cache/runs/run.XXXXXX")
  cp -a "$cache/$suite/." "$root/" || { fallback_reason="could not copy the base root"; return 1; }
  cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null
  # This machine's certificate authorities, as its network is: a registry reached through a proxy of the
  # machine's own is trusted in the root as it is here (Node reads them for npm).
  [ -f /etc/ssl/certs/ca-certificates.crt ] && cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/machine-ca.crt"
  # debootstrap writes no /etc/hosts, which an installed Debian and every container have: without it the name
  # localhost does not resolve, and chromedriver reaches its browser by that name.
  [ -e "$root/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
  bind proc /proc -t proc || { fallback_reason="mounting /proc is not allowed here"; return 1; }
  bind /sys /sys --bind && bind /dev /dev --bind && bind /dev/pts /dev/pts --bind ||
    { fallback_reason="bind mounts are not allowed here"; return 1; }
  if mountpoint -q /dev/shm; then bind /dev/shm /dev/shm --bind || true; fi
  # Packages download once, into the cache, whatever run needs them.
  bind "$cache/apt-archives" /var/cache/apt/archives --bind || true
  chroot "$root" /bin/true || { fallback_reason="chroot is not allowed here"; return 1; }
  git clone -q --no-hardlinks "$repo" "$root/root/$name" && git -C "$root/root/$name" checkout -q "$commit" ||
    { fallback_reason="could not clone into the root"; return 1; }
}
leave_root() {  # after a failed enter_root: undo what it did
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"; done
  mounted=()
  [ -n "$root" ] && ! grep -q " $root/" /proc/self/mounts && rm -rf --one-file-system "$root"
  root=
}

# One check at a time on a machine: they share the base root and the package cache.
if [ -z "$fallback_reason" ] && [ "$(id -u)" -eq 0 ] && mkdir -p "$cache" && exec 9>"$cache/lock"; then
  flock -n 9 || { echo "fresh check: waiting for another check on this machine to end"; flock 9; }
fi

if [ -z "$fallback_reason" ] && enter_root; then
  where="a bare Debian 12 ($suite, minbase) in $root, clone in /root/$name"
  # A newcomer's shell: nothing of this machine's environment but what the cases may tune; no LANG either, as
  # in a container or a minbase root, so the commands must bring the locale they need.
  run_in() {
    local vars=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb)
    [ -f "$root/etc/machine-ca.crt" ] && vars+=(NODE_EXTRA_CA_CERTS=/etc/machine-ca.crt)
    [ -n "${BRAE_FUZZ_SECONDS:-}" ] && vars+=("BRAE_FUZZ_SECONDS=$BRAE_FUZZ_SECONDS")
    exec setsid chroot "$root" /usr/bin/env -i --default-signal "${vars[@]}" /bin/bash -c "cd \"/root/$name\" && $1"
  }
else
  [ -n "$root" ] && leave_root
  echo "fresh check: no bare Debian root here ($fallback_reason): running the cases in a clean clone on this machine instead"
  clone_dir=$(mktemp -d)
  git clone -q "$repo" "$clone_dir/$name" && git -C "$clone_dir/$name" checkout -q "$commit" || exit 1
  where="a clean clone in $clone_dir/$name on this machine (not bare)"
  run_in() { cd "$clone_dir/$name" && exec setsid env --default-signal bash -c "$1"; }
fi
echo "fresh check: commit ${commit:0:12} in $where"

# ---- Run the cases, one after the other in the same root, as the README orders them.
logs=$(mktemp -d)
passed=0
failed=0
results=()
for c in "${selected[@]}"; do
  echo
  echo "==== fresh check: $c: ${case_command[$c]} ===="
  # In a session of its own, so that it can be stopped as a whole; with the signals a terminal would give it
  # (a background job starts with SIGINT ignored).
  log=$logs/$c.log
  : >"$log"
  start=$SECONDS
  (run_in "${case_command[$c]}") </dev/null >"$log" 2>&1 &
  case_pid=$!
  tail -n +1 -f --pid="$case_pid" "$log" &
  tail_pid=$!
  wait "$case_pid"
  rc=$?
  wait "$tail_pid" 2>/dev/null
  case_pid=
  tail_pid=
  summary=$(grep -E "${case_summary[$c]}" "$log" | tail -1)
  if [ -n "${case_host[$c]}" ]; then
    if [ "$rc" -ne 0 ]; then
      summary="the command in the root failed"
    elif [ -n "$clone_dir" ]; then
      summary="skipped: it needs a bare root of its own, and there is none here"
      results+=("$c: $summary")
      continue
    else
      clone=$root/root/$name
      (cd "$repo" && eval "${case_host[$c]}") </dev/null >"$log.host" 2>&1
      rc=$?
      cat "$log.host"
      cat "$log.host" >>"$log"
      summary=$(grep -E "${case_summary[$c]}" "$log.host" | tail -1)
    fi
  fi
  took=$((SECONDS - start))
  if [ "$rc" -eq 0 ] && [ -n "$summary" ]; then
    verdict=passed
    passed=$((passed + 1))
  else
    verdict=FAILED
    failed=$((failed + 1))
  fi
  results+=("$c: $verdict in $((took / 60)) min $((took % 60)) s (exit $rc): ${summary:-no summary line}")
done

echo
echo "==== fresh check: $where ===="
for r in "${results[@]}"; do echo "$r"; done
echo "fresh check: $passed passed, $failed failed"
((failed == 0))
